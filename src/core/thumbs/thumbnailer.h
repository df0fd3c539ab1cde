#pragma once

// Card thumbnails and phone previews, rendered from the scanned file itself
// (pictures through libvips, videos as one frame through FFmpeg, both in
// the media object of media_module.h) and stored as HEIC files in the
// server's storage directory:
//
//   <dir>/<ITEM-UUID>.heic                      thumbnail of an item
//   <parent of dir>/previews/<ITEM-UUID>-<N>.heic   preview at N pixels
//
// Nothing here deletes these files; the server keeps the preview folder
// within a size (see folder_bound.h).
//
// Thread safety: a Thumbnailer holds no mutable state; every operation may run
// on any thread, several at once. Files are written to a temporary name and
// renamed into place, so a reader never sees half a file.

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "shared/report.h"

namespace tallowick {

class Thumbnailer {
 public:
  static constexpr int kDefaultMaxPixel = 640;
  static constexpr double kDefaultQuality = 0.6;
  // The largest preview ever rendered, whatever size is asked for.
  static constexpr int kMaxPreviewPixel = 4096;

  // A decoded picture: 8-bit sRGB, interleaved, rows packed without padding.
  // `channels` is 3 (RGB) or 4 (RGBA, straight alpha).
  struct Image {
    int width = 0;
    int height = 0;
    int channels = 3;
    std::vector<std::uint8_t> pixels;  // width * height * channels bytes

    // True when the dimensions are positive and `pixels` has exactly the
    // size they call for.
    bool isValid() const {
      return width > 0 && height > 0 && (channels == 3 || channels == 4) &&
             pixels.size() == static_cast<std::size_t>(width) * static_cast<std::size_t>(height) *
                                  static_cast<std::size_t>(channels);
    }
  };

  // Creates `dir` with its intermediate directories.
  // Throws std::system_error (std::filesystem::filesystem_error) when that
  // fails or `dir` exists and is not a directory.
  explicit Thumbnailer(std::string dir);

  const std::string& dir() const { return dir_; }
  int maxPixel() const { return maxPixel_; }
  double quality() const { return quality_; }

  // The thumbnail file of `item`: dir + UUID + ".heic".
  std::string thumbnailPath(const Item& item) const;
  // The preview file of `item` at `maxPixel`: a "previews" folder beside
  // `dir` + UUID + "-" + maxPixel + ".heic".
  std::string previewPath(const Item& item, int maxPixel) const;
  // The folder previews are stored in.
  std::string previewFolder() const;

  // Renders the thumbnail of an image or video item (at most maxPixel() on
  // its longest side, HEIC at quality()) and returns the file's path; no
  // value for other kinds or when the file cannot be decoded or written.
  // An existing thumbnail file is reused without rendering: item ids are
  // fresh for every scan, so the file always shows the scanned state.
  std::optional<std::string> thumbnail(const Item& item) const;

  // HEIC bytes of a preview of an image or video item at most `maxPixel`
  // (clamped to kMaxPreviewPixel) on its longest side. A stored preview of
  // the same item and size is returned as it is (a file read, no decode);
  // otherwise it is rendered, stored and read back.
  // No value for other kinds, maxPixel <= 0, or any failure.
  std::optional<std::string> preview(const Item& item, int maxPixel, double quality) const;

  // The picture in the file at `path`, shrunk to at most `maxPixel` on its
  // longest side (never enlarged), EXIF / HEIF orientation applied. No value
  // when the file is not a regular file, cannot be decoded, is truncated,
  // claims more than kMaxImagePixels pixels, or maxPixel <= 0.
  static std::optional<Image> imageThumbnail(const std::string& path, int maxPixel);

  // The frame shown at 1.0 s of the video at `path` (the last frame of a
  // shorter video), turned as the stream's display matrix says and scaled to
  // fit maxPixel x maxPixel (never enlarged). No value on any failure.
  static std::optional<Image> videoFrame(const std::string& path, int maxPixel);

  // Encodes `image` as HEIC (HEVC) at `quality` in [0, 1] and writes it to
  // `path` atomically. Returns whether the file was written.
  static bool writeHEIC(const Image& image, const std::string& path, double quality);
  // The same encoding, returned as bytes; no value on failure.
  static std::optional<std::string> encodeHEIC(const Image& image, double quality);

  // How many pictures this thumbnailer decoded so far (thumbnails and
  // previews; files reused from disk are not counted). Safe from any thread.
  std::int64_t renders() const { return renders_.load(std::memory_order_relaxed); }

 private:
  std::optional<Image> render(const Item& item, int maxPixel) const;

  std::string dir_;
  int maxPixel_ = kDefaultMaxPixel;
  double quality_ = kDefaultQuality;
  mutable std::atomic<std::int64_t> renders_{0};
};

}  // namespace tallowick
