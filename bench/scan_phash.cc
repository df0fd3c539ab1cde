// The perceptual hash of a 12-megapixel JPEG against a full decode of the
// same file (goal: at most a quarter of it), and a scan of many photos with
// hashes on worker threads against the same scan on one thread.
// Usage: scan_phash [PHOTOS] (default 8).

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <vips/vips8>

#include "core/scan/hashing.h"
#include "core/scan/scanner.h"
#include "core/thumbs/vips_runtime.h"
#include "scan_bench_util.h"

using vips::VImage;

namespace {

// A 4000 x 3000 picture with the texture of a landscape (a fractal surface
// per channel) and a little sensor noise, so it compresses like a photo.
VImage photo(int seed) {
  std::vector<VImage> channels;
  for (int band = 0; band < 3; ++band) {
    VImage surface = VImage::fractsurf(4000, 3000, 2.2 + 0.1 * ((seed + band) % 5));
    VImage noise = VImage::gaussnoise(4000, 3000, VImage::option()->set("sigma", 3));
    channels.push_back((surface * 60 + 128 + noise + seed % 7).cast(VIPS_FORMAT_UCHAR));
  }
  return channels[0]
      .bandjoin({channels[1], channels[2]})
      .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
}

}  // namespace

int main(int argc, char** argv) {
  const int photos = argc > 1 ? std::atoi(argv[1]) : 8;
  if (!tallowick::ensureVipsStarted()) return 1;
  // Every round must decode afresh, not reuse a cached result.
  vips_cache_set_max(0);
  scan_bench::TempDir dir("scan_phash");
  const std::string one = (dir.path() / "photo.jpg").string();
  photo(0).write_to_file(one.c_str(), VImage::option()->set("Q", 90));

  constexpr int kRounds = 5;
  const double decode = scan_bench::bestSeconds(kRounds, [&] {
    VImage full =
        VImage::new_from_file(one.c_str(), VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
    (void)full.avg();  // forces every pixel to be decoded
  });
  const double hash = scan_bench::bestSeconds(kRounds, [&] {
    if (!tallowick::Hashing::perceptual(one)) std::exit(1);
  });
  std::printf("file size: %.1f MB\n", std::filesystem::file_size(one) / 1e6);
  std::printf("12-megapixel JPEG, full decode: %.1f ms\n", decode * 1000);
  std::printf("12-megapixel JPEG, perceptual:  %.1f ms\n", hash * 1000);
  std::printf("ratio perceptual/decode: %.3f (goal: at most 0.250) %s\n", hash / decode,
              hash / decode <= 0.25 ? "OK" : "OVER");

  const std::string folder = (dir.path() / "photos").string();
  std::filesystem::create_directories(folder);
  for (int i = 0; i < photos; ++i) {
    const std::string path = folder + "/IMG_" + std::to_string(1000 + i) + ".jpg";
    photo(i).write_to_file(path.c_str(), VImage::option()->set("Q", 85));
  }
  tallowick::ScanOptions options;
  options.minBytes = 1;
  options.hashImages = true;
  options.home = dir.path().string();
  options.hashThreads = 0;
  const double single =
      scan_bench::bestSeconds(3, [&] { tallowick::Scanner(options).scan({folder}); });
  options.hashThreads = -1;
  const double pooled =
      scan_bench::bestSeconds(3, [&] { tallowick::Scanner(options).scan({folder}); });
  std::printf("scan of %d photos, hashes on the scanning thread: %.3f s\n", photos, single);
  std::printf("scan of %d photos, hashes on %u worker threads:   %.3f s\n", photos,
              std::max(1u, std::min(4u, std::thread::hardware_concurrency())), pooled);
  std::printf("speed-up: %.2fx\n", single / pooled);
  return 0;
}
