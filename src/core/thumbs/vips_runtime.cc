#include "core/thumbs/vips_runtime.h"

#include "core/thumbs/media_module.h"

namespace tallowick {

bool ensureVipsStarted() {
  const MediaFunctions* media = mediaModule();
  return media && media->startVips();
}

void endVipsThread() {
  // A thread of a program that never loaded the object has nothing to hand
  // back, and asking must not load it.
  if (mediaModuleLoaded()) mediaModule()->endVipsThread();
}

}  // namespace tallowick
