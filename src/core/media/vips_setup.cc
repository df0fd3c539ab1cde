#include "core/media/vips_setup.h"

#include <vips/vips.h>

#include <mutex>

namespace tallowick::media {
namespace {

// Whether libvips may hold buffers for this thread.
thread_local bool vipsUsedHere = false;

// libvips tells what it thinks of odd files ("unknown EXIF resolution unit")
// on standard error. Files in a user's folders are often odd, and a scan
// that meets one loses nothing; the programs' standard error is for what
// the user must act on.
void dropMessage(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

// The picture formats we decode: what cameras, phones, browsers and
// screenshot tools write. Every other loader (FITS, ImageMagick, PDF, Matlab,
// OpenEXR, raw matrices, ...) is a library we do not need, and a file in a
// scanned folder must never reach it: a hostile one only needs the right
// name or first bytes to be handed to the loader's probe.
constexpr const char* kNeededLoaders[] = {
    "VipsForeignLoadJpeg", "VipsForeignLoadPng",  "VipsForeignLoadHeif",
    "VipsForeignLoadWebp", "VipsForeignLoadTiff", "VipsForeignLoadNsgif",
};

void blockUnneededLoaders() {
  vips_operation_block_set("VipsForeignLoad", TRUE);
  for (const char* loader : kNeededLoaders) vips_operation_block_set(loader, FALSE);
  // Last, so that no loader the library itself marks unsafe on this
  // build is let through by the list above.
  vips_block_untrusted_set(TRUE);
}

}  // namespace

bool startVips() {
  static bool started = false;
  static std::once_flag once;
  std::call_once(once, [] {
    g_log_set_handler("VIPS",
                      static_cast<GLogLevelFlags>(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE |
                                                  G_LOG_LEVEL_INFO | G_LOG_LEVEL_DEBUG),
                      dropMessage, nullptr);
    if (VIPS_INIT("tallowick") != 0) return;
    blockUnneededLoaders();
    vips_cache_set_max(16);
    vips_cache_set_max_mem(64 * 1024 * 1024);
    // Each render runs on one of our own worker threads already.
    vips_concurrency_set(1);
    started = true;
  });
  if (started) vipsUsedHere = true;
  return started;
}

void endVipsThread() {
  if (!vipsUsedHere) return;
  vips_thread_shutdown();
  vipsUsedHere = false;
}

}  // namespace tallowick::media
