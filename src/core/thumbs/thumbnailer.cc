#include "core/thumbs/thumbnailer.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "core/thumbs/media_module.h"
#include "shared/file_util.h"

#if defined(__SANITIZE_ADDRESS__)
#define TALLOWICK_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TALLOWICK_LEAK_CHECKED 1
#endif
#endif

#ifdef TALLOWICK_LEAK_CHECKED
// x265 3.5 (Debian 12) loses one parameter block (about 1 KB) in every
// x265_encoder_open, and libheif opens one encoder per picture. Nothing we
// own can free it; without this every program that renders a thumbnail
// fails the leak check. The stacks the leak checker records usually stop
// inside libx265 (built without frame pointers), so the library is named
// rather than the function. The larger loop-filter leak is avoided where the
// encoder is set up (core/media/picture_codec.cc) and watched by a
// heap-growth test instead. The hook must be in the program, not in the
// media object, for the leak checker to find it.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }
#endif

namespace tallowick {

namespace fs = std::filesystem;

namespace {

bool isNonEmptyRegularFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
}

bool rendersPicture(Kind kind) { return kind == Kind::image || kind == Kind::video; }

}  // namespace

Thumbnailer::Thumbnailer(std::string dir) {
  fs::path path = fs::absolute(fs::path(std::move(dir))).lexically_normal();
  // "a/thumbs/" names the same folder as "a/thumbs"; its parent must be "a".
  if (!path.has_filename() && path.has_relative_path()) path = path.parent_path();
  fs::create_directories(path);
  if (!fs::is_directory(path))
    throw fs::filesystem_error("thumbnail folder is not a directory", path,
                               std::make_error_code(std::errc::not_a_directory));
  dir_ = path.string();
}

std::string Thumbnailer::thumbnailPath(const Item& item) const {
  return (fs::path(dir_) / (item.id.string() + ".heic")).string();
}

std::string Thumbnailer::previewFolder() const {
  return (fs::path(dir_).parent_path() / "previews").string();
}

std::string Thumbnailer::previewPath(const Item& item, int maxPixel) const {
  return (fs::path(previewFolder()) / (item.id.string() + "-" + std::to_string(maxPixel) + ".heic"))
      .string();
}

std::optional<Thumbnailer::Image> Thumbnailer::render(const Item& item, int maxPixel) const {
  renders_.fetch_add(1, std::memory_order_relaxed);
  switch (item.kind) {
    case Kind::image:
      return imageThumbnail(item.path, maxPixel);
    case Kind::video:
      return videoFrame(item.path, maxPixel);
    default:
      return std::nullopt;
  }
}

std::optional<std::string> Thumbnailer::thumbnail(const Item& item) const {
  if (!rendersPicture(item.kind)) return std::nullopt;
  std::string target = thumbnailPath(item);
  // Files are only ever renamed into place whole, so an existing one is
  // complete.
  if (isNonEmptyRegularFile(target)) return target;
  std::optional<Image> image = render(item, maxPixel_);
  if (!image || !writeHEIC(*image, target, quality_)) return std::nullopt;
  return target;
}

std::optional<std::string> Thumbnailer::preview(const Item& item, int maxPixel,
                                                double quality) const {
  if (!rendersPicture(item.kind) || maxPixel <= 0) return std::nullopt;
  maxPixel = std::min(maxPixel, kMaxPreviewPixel);
  std::string target = previewPath(item, maxPixel);
  if (std::optional<std::string> stored = readWholeFile(target); stored && !stored->empty())
    return stored;
  std::optional<Image> image = render(item, maxPixel);
  if (!image) return std::nullopt;
  std::optional<std::string> data = encodeHEIC(*image, quality);
  if (!data) return std::nullopt;
  // The phone gets its preview even when the cache cannot be written (a full
  // disk, a read-only storage folder); the next request renders again.
  createDirectories(fs::path(target).parent_path().string());
  writeFileAtomically(target, *data);
  return data;
}

std::optional<Thumbnailer::Image> Thumbnailer::imageThumbnail(const std::string& path,
                                                              int maxPixel) {
  const MediaFunctions* media = mediaModule();
  return media ? media->imageThumbnail(path, maxPixel) : std::nullopt;
}

std::optional<Thumbnailer::Image> Thumbnailer::videoFrame(const std::string& path, int maxPixel) {
  const MediaFunctions* media = mediaModule();
  return media ? media->videoFrame(path, maxPixel) : std::nullopt;
}

std::optional<std::string> Thumbnailer::encodeHEIC(const Image& image, double quality) {
  const MediaFunctions* media = mediaModule();
  return media ? media->encodeHEIC(image, quality) : std::nullopt;
}

bool Thumbnailer::writeHEIC(const Image& image, const std::string& path, double quality) {
  std::optional<std::string> data = encodeHEIC(image, quality);
  return data && writeFileAtomically(path, *data);
}

}  // namespace tallowick
