// The perceptual hash of a 12-megapixel JPEG against a full decode of the
// same file (goal: at most a quarter of it). The decoder can shrink a JPEG
// by 8 while decoding, which skips most of its work but not the reading of
// the compressed data, so the ratio depends on how much there is of that:
// two pictures are measured, a smooth one and a grainy one.
// Usage: scan_phash [ROUNDS] (default 7).

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <vips/vips8>

#include "core/scan/hashing.h"
#include "core/thumbs/vips_runtime.h"
#include "scan_bench_util.h"

using vips::VImage;

namespace {

constexpr int kWidth = 4000;
constexpr int kHeight = 3000;

struct Figures {
  double decodeWall, hashWall, decodeCpu, hashCpu, floorCpu;
};

Figures measure(const std::string& path, int rounds) {
  // Every pixel decoded, rows in order, at the same one-thread setting the
  // scan uses.
  auto decode = [&] {
    VImage full =
        VImage::jpegload(path.c_str(), VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
    (void)full.avg();
  };
  auto hash = [&] {
    if (!tallowick::Hashing::perceptual(path)) std::exit(1);
  };
  // The decoder alone at an eighth of the size: the least any hash of the
  // picture can cost, since every coefficient must still be read.
  auto eighth = [&] {
    VImage small = VImage::jpegload(
        path.c_str(), VImage::option()->set("shrink", 8)->set("access", VIPS_ACCESS_SEQUENTIAL));
    (void)small.avg();
  };
  decode();  // the file into the page cache
  return {scan_bench::bestSeconds(rounds, decode), scan_bench::bestSeconds(rounds, hash),
          scan_bench::bestProcessSeconds(rounds, decode),
          scan_bench::bestProcessSeconds(rounds, hash),
          scan_bench::bestProcessSeconds(rounds, eighth)};
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 7;
  if (!tallowick::ensureVipsStarted()) return 1;
  // Every round must decode afresh, not reuse a cached result.
  vips_cache_set_max(0);
  scan_bench::TempDir dir("scan_phash");

  struct Fixture {
    const char* name;
    double grain;
  };
  const Fixture fixtures[] = {{"smooth", 1.5}, {"grainy", 4.0}};
  bool allMet = true;
  std::printf("%-8s %6s %13s %13s %12s %12s %12s\n", "picture", "MB", "decode ms", "phash ms",
              "ratio wall", "ratio cpu", "floor cpu");
  for (const auto& fixture : fixtures) {
    const std::string path = (dir.path() / (std::string(fixture.name) + ".jpg")).string();
    vips_concurrency_set(2);  // only to draw the picture sooner
    scan_bench::saveAsCameraJpeg(
        scan_bench::photoLike(kWidth, kHeight, 7,
                              scan_bench::grainField(kWidth, kHeight, fixture.grain)),
        path);
    vips_concurrency_set(1);
    const Figures f = measure(path, rounds);
    const double wallRatio = f.hashWall / f.decodeWall;
    const double cpuRatio = f.hashCpu / f.decodeCpu;
    allMet = allMet && wallRatio <= 0.25;
    std::printf("%-8s %6.2f %6.1f/%6.1f %6.1f/%6.1f %12.3f %12.3f %12.3f\n", fixture.name,
                std::filesystem::file_size(path) / 1e6, f.decodeWall * 1e3, f.decodeCpu * 1e3,
                f.hashWall * 1e3, f.hashCpu * 1e3, wallRatio, cpuRatio, f.floorCpu / f.decodeCpu);
  }
  std::printf(
      "(ms as wall/processor time, best of %d; floor: the decoder alone at 1/8 against the full\n"
      " decode; goal: ratio at most 0.250) %s\n",
      rounds, allMet ? "OK" : "OVER");
  std::printf("%s\n", scan_bench::loadAverage().c_str());
  return 0;
}
