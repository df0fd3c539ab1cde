#pragma once

// libvips' start and per-thread end, called through the media object's
// table (see core/thumbs/vips_runtime.h for what callers are promised).

namespace tallowick::media {

// Starts libvips once per process: every loader blocked but JPEG, PNG,
// HEIF, WebP, TIFF and GIF (and those libvips marks untrusted even then),
// a small operation cache, no threads of its own. False when it cannot
// start.
bool startVips();

// Hands back what libvips keeps for the calling thread, if startVips()
// succeeded on it.
void endVipsThread();

}  // namespace tallowick::media
