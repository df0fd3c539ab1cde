#pragma once

// The picture and video libraries (libvips, libheif, FFmpeg, libjpeg) and
// the code that calls them live in a shared object of their own,
// "libtallowick-media.so", loaded the first time something is decoded or
// encoded. A program that only talks to the agent (`tallowick phone`,
// `--version`) never maps those libraries: they are well over a hundred
// shared objects, and loading them costs more processor time than most
// such commands take.
//
// Where the object is looked for (the first that exists is loaded):
//   1. beside the running program (the build tree, a relocated install);
//   2. lib/tallowick/media beside the program's folder (an install under any
//      prefix: /usr/bin/tallowick finds /usr/lib/tallowick/media/).
//
// Thread safety: every function here may be called from any thread; the
// object is loaded at most once per process and never unloaded.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/thumbs/thumbnailer.h"

namespace tallowick {

// A 64-bit difference hash and the picture's pixel size from its header.
struct PictureHash {
  std::uint64_t phash = 0;
  int width = 0;
  int height = 0;
};

// What the object offers, one entry per operation. Both sides are built
// from this header; `version` changes whenever this table does, so an
// object left from another build is refused rather than called wrongly.
struct MediaFunctions {
  static constexpr int kVersion = 1;
  int version = kVersion;
  // Starts libvips for this process (see vips_runtime.h); false when it
  // cannot.
  bool (*startVips)() = nullptr;
  // Hands back what libvips keeps for the calling thread.
  void (*endVipsThread)() = nullptr;
  // See Thumbnailer::imageThumbnail, videoFrame and encodeHEIC.
  std::optional<Thumbnailer::Image> (*imageThumbnail)(const std::string& path,
                                                      int maxPixel) = nullptr;
  std::optional<Thumbnailer::Image> (*videoFrame)(const std::string& path, int maxPixel) = nullptr;
  std::optional<std::string> (*encodeHEIC)(const Thumbnailer::Image& image,
                                           double quality) = nullptr;
  // See heic_image.h.
  std::optional<Thumbnailer::Image> (*decodeHEIC)(std::string_view bytes) = nullptr;
  // The difference hash of the picture in the open file `fd` (read from its
  // start; the offset is left anywhere). See Hashing::perceptual.
  std::optional<PictureHash> (*pictureHash)(int fd) = nullptr;
};

// The name of the entry point the object exports: a C function taking
// nothing and returning `const MediaFunctions*`.
inline constexpr const char* kMediaEntryPoint = "tallowick_media_functions";
inline constexpr const char* kMediaModuleName = "libtallowick-media.so";

// The paths tried, in order.
std::vector<std::string> mediaModuleCandidates();

// The loaded object's functions, or nullptr when it is missing or unusable;
// the first such failure writes one line to standard error saying which
// file was missing or why it was refused, and pictures then go without.
const MediaFunctions* mediaModule();

// Whether the object is loaded already (nothing is loaded by asking).
bool mediaModuleLoaded();

}  // namespace tallowick
