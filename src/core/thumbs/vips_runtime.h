#pragma once

namespace tallowick {

// Starts libvips once per process (loading the media object of
// media_module.h first), from any thread, before the first image is touched: every loader but
// JPEG, PNG, HEIF, WebP, TIFF and GIF (ImageMagick, FITS, PDF, slides and the like) is blocked,
// since files in Downloads must never reach them, and the operation cache is kept small because
// every image is read once. Returns false when the object is missing or libvips could not start;
// callers then skip images.
bool ensureVipsStarted();

// Hands back what libvips keeps for the calling thread. Call it as a thread
// of our own ends; it does nothing on a thread that never got true from
// ensureVipsStarted, where libvips may not even be started (its per-thread
// shutdown then crashes).
void endVipsThread();

// The largest image, in pixels, that any loader is asked to decode. A file
// that claims more is refused before decoding.
inline constexpr long long kMaxImagePixels = 200'000'000;

}  // namespace tallowick
