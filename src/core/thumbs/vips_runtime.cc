#include "core/thumbs/vips_runtime.h"

#include <vips/vips.h>

#include <mutex>

namespace tallowick {

bool ensureVipsStarted() {
  static bool started = false;
  static std::once_flag once;
  std::call_once(once, [] {
    if (VIPS_INIT("tallowick") != 0) return;
    vips_block_untrusted_set(TRUE);
    vips_cache_set_max(16);
    vips_cache_set_max_mem(64 * 1024 * 1024);
    // Each render runs on one of our own worker threads already.
    vips_concurrency_set(1);
    started = true;
  });
  return started;
}

}  // namespace tallowick
