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
    vips_block_untrusted_set(TRUE);
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
