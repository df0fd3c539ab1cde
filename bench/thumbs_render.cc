// Thumbnail costs against the command-line tools, measured in the same run:
//
//   1. 640-pixel HEIC thumbnail of a 12-megapixel JPEG
//        vs `vips thumbnail IN OUT.jpg 640`          (goal: at most 3x)
//   2. the frame at 1 s of a 1080p H.264 video
//        vs `ffmpeg -ss 1 -i IN -frames:v 1 OUT.png`  (goal: at most 1x)
//   3. a preview cache hit vs a preview render        (goal: a file read)
//
// Also prints what the x265 preset is worth: the same picture encoded with
// the encoder's default preset.
//
// Usage: thumbs_render [repetitions]   (default 5; median times are shown)

#include <libheif/heif.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>
#include <vips/vips8>

#include "core/thumbs/thumbnailer.h"
#include "core/thumbs/vips_runtime.h"
#include "shared/file_util.h"

namespace fs = std::filesystem;
using tallowick::Thumbnailer;

namespace {

double medianMs(int repetitions, const std::function<bool()>& run) {
  std::vector<double> times;
  for (int i = 0; i < repetitions; ++i) {
    auto start = std::chrono::steady_clock::now();
    if (!run()) {
      std::fprintf(stderr, "a timed run failed\n");
      std::exit(1);
    }
    times.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

bool shell(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// A 4000 x 3000 picture with detail everywhere, as a camera JPEG has.
void makePhoto(const std::string& path) {
  using vips::VImage;
  VImage x = VImage::xyz(4000, 3000);
  VImage bands = x[0].bandjoin(x[1]).bandjoin((x[0] + x[1]) / 2);
  VImage pattern = (bands * 0.06).sin() * 60 + 128;
  VImage noise = VImage::gaussnoise(4000, 3000, VImage::option()->set("sigma", 20));
  VImage photo = (pattern + noise.bandjoin(noise).bandjoin(noise)).cast(VIPS_FORMAT_UCHAR);
  photo = photo.copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
  photo.jpegsave(path.c_str(), VImage::option()->set("Q", 90));
}

// The same encode as Thumbnailer::encodeHEIC but with x265's own default
// preset, to show what the preset choice is worth.
bool encodeWithDefaultPreset(const Thumbnailer::Image& image, double quality) {
  heif_context* context = heif_context_alloc();
  heif_encoder* encoder = nullptr;
  heif_context_get_encoder_for_format(context, heif_compression_HEVC, &encoder);
  heif_encoder_set_lossy_quality(encoder, static_cast<int>(quality * 100));
  heif_image* heifImage = nullptr;
  heif_image_create(image.width, image.height, heif_colorspace_RGB, heif_chroma_interleaved_RGB,
                    &heifImage);
  heif_image_add_plane(heifImage, heif_channel_interleaved, image.width, image.height, 8);
  int stride = 0;
  std::uint8_t* plane = heif_image_get_plane(heifImage, heif_channel_interleaved, &stride);
  for (int y = 0; y < image.height; ++y)
    std::memcpy(plane + y * stride, image.pixels.data() + y * image.width * 3, image.width * 3);
  bool ok = heif_context_encode_image(context, heifImage, encoder, nullptr, nullptr).code ==
            heif_error_Ok;
  heif_image_release(heifImage);
  heif_encoder_release(encoder);
  heif_context_free(context);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  if (!tallowick::ensureVipsStarted()) {
    std::fprintf(stderr, "libvips did not start\n");
    return 1;
  }
  char pattern[] = "/tmp/thumbs-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return 1;
  const std::string dir = pattern;
  const std::string photo = dir + "/photo.jpg";
  const std::string video = dir + "/video.mp4";
  makePhoto(photo);
  std::printf("repetitions: %d (median shown)\n\n", repetitions);

  // 1. Picture thumbnail.
  const double vipsMs = medianMs(repetitions, [&] {
    return shell("vips thumbnail '" + photo + "' '" + dir + "/out.jpg' 640");
  });
  Thumbnailer::Image decoded;
  const double decodeMs = medianMs(repetitions, [&] {
    auto image = Thumbnailer::imageThumbnail(photo, 640);
    if (image) decoded = std::move(*image);
    return image.has_value();
  });
  const double encodeMs =
      medianMs(repetitions, [&] { return Thumbnailer::encodeHEIC(decoded, 0.6).has_value(); });
  const double defaultPresetMs =
      medianMs(repetitions, [&] { return encodeWithDefaultPreset(decoded, 0.6); });
  const double thumbMs = medianMs(repetitions, [&] {
    auto image = Thumbnailer::imageThumbnail(photo, 640);
    return image && Thumbnailer::writeHEIC(*image, dir + "/out.heic", 0.6);
  });
  std::printf("12 MP JPEG -> %dx%d HEIC thumbnail\n", decoded.width, decoded.height);
  std::printf("  vips thumbnail (command)      %8.1f ms   baseline\n", vipsMs);
  std::printf("  decode + shrink (libvips)     %8.1f ms\n", decodeMs);
  std::printf("  HEIC encode, preset ultrafast %8.1f ms\n", encodeMs);
  std::printf("  HEIC encode, x265 default     %8.1f ms   (%.1fx the ultrafast encode)\n",
              defaultPresetMs, defaultPresetMs / encodeMs);
  std::printf("  whole thumbnail, written      %8.1f ms   ratio %.2f (goal <= 3.00)\n\n", thumbMs,
              thumbMs / vipsMs);

  // 2. Video frame.
  if (!shell("ffmpeg -nostdin -y -f lavfi -i testsrc=size=1920x1080:rate=30:duration=4 "
             "-c:v libx264 -pix_fmt yuv420p '" +
             video + "'")) {
    std::fprintf(stderr, "could not make the test video with ffmpeg\n");
    return 1;
  }
  const double ffmpegMs = medianMs(repetitions, [&] {
    return shell("ffmpeg -nostdin -y -ss 1 -i '" + video + "' -frames:v 1 '" + dir + "/frame.png'");
  });
  const double frameMs =
      medianMs(repetitions, [&] { return Thumbnailer::videoFrame(video, 640).has_value(); });
  const double videoThumbMs = medianMs(repetitions, [&] {
    auto image = Thumbnailer::videoFrame(video, 640);
    return image && Thumbnailer::writeHEIC(*image, dir + "/frame.heic", 0.6);
  });
  std::printf("1080p H.264 video, frame at 1 s\n");
  std::printf("  ffmpeg -ss 1 (command)        %8.1f ms   baseline\n", ffmpegMs);
  std::printf("  videoFrame, 640 px            %8.1f ms   ratio %.2f (goal <= 1.00)\n", frameMs,
              frameMs / ffmpegMs);
  std::printf("  videoFrame + HEIC written     %8.1f ms   ratio %.2f\n\n", videoThumbMs,
              videoThumbMs / ffmpegMs);

  // 3. Preview cache.
  Thumbnailer thumbnailer(dir + "/storage/thumbs");
  int counter = 0;
  const double renderMs = medianMs(repetitions, [&] {
    tallowick::Item item;  // a fresh id each time: always a render
    item.path = photo;
    item.kind = tallowick::Kind::image;
    ++counter;
    return thumbnailer.preview(item, 2048, 0.7).has_value();
  });
  tallowick::Item cached;
  cached.path = photo;
  cached.kind = tallowick::Kind::image;
  thumbnailer.preview(cached, 2048, 0.7);
  const int hitRepetitions = repetitions * 20;
  const double hitMs =
      medianMs(hitRepetitions, [&] { return thumbnailer.preview(cached, 2048, 0.7).has_value(); });
  const std::string stored = thumbnailer.previewPath(cached, 2048);
  const double readMs =
      medianMs(hitRepetitions, [&] { return tallowick::readWholeFile(stored).has_value(); });
  std::printf("2048-pixel preview of the 12 MP JPEG (%ju bytes stored)\n",
              static_cast<std::uintmax_t>(fs::file_size(stored)));
  std::printf("  render (cache miss)           %8.2f ms\n", renderMs);
  std::printf("  cache hit                     %8.3f ms   %.0fx faster than a render\n", hitMs,
              renderMs / hitMs);
  std::printf("  plain file read, same file    %8.3f ms   hit/read ratio %.2f\n", readMs,
              hitMs / readMs);

  std::error_code ignored;
  fs::remove_all(dir, ignored);
  return 0;
}
