// The perceptual hash of a 12-megapixel JPEG against a full decode of the
// same file (goal: at most a quarter of it). The decoder can shrink a JPEG
// by 8 while decoding, which skips most of its work but not the reading of
// the compressed data, so the ratio depends on how much there is of that:
// two pictures are measured, a smooth one and a grainy one.
// The goal's baseline is the image library's full decode; the decoder's
// own full decode (no library around it) is printed beside it, and so is
// libjpeg alone at 1/8 in grey, which the hash's own DC reader replaces.
// Usage: scan_phash [ROUNDS] (default 7).

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>

#include <vips/vips8>

#include "core/media/jpeg_grey.h"
#include "core/scan/hashing.h"
#include "core/thumbs/vips_runtime.h"
#include "scan_bench_util.h"

using vips::VImage;

namespace {

constexpr int kWidth = 4000;
constexpr int kHeight = 3000;

struct Figures {
  double decodeWall, hashWall, decodeCpu, hashCpu, decoderCpu, eighthCpu;
};

// Every pixel in RGB straight from the decoder, from the file in memory.
void decoderFullDecode(const std::vector<unsigned char>& file) {
  jpeg_decompress_struct cinfo;
  jpeg_error_mgr errors;
  cinfo.err = jpeg_std_error(&errors);
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, file.data(), file.size());
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&cinfo);
  std::vector<unsigned char> row(std::size_t{cinfo.output_width} * cinfo.output_components);
  JSAMPROW rows[1] = {row.data()};
  while (cinfo.output_scanline < cinfo.output_height) jpeg_read_scanlines(&cinfo, rows, 1);
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
}

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
  std::vector<unsigned char> file(std::filesystem::file_size(path));
  {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0 || ::read(fd, file.data(), file.size()) != static_cast<ssize_t>(file.size())) {
      std::exit(1);
    }
    ::close(fd);
  }
  // libjpeg alone at an eighth of the size, in grey.
  auto eighth = [&] {
    if (tallowick::decodeJpegGrey(file, 64, tallowick::kMaxImagePixels).status !=
        tallowick::JpegGreyStatus::decoded) {
      std::exit(1);
    }
  };
  decode();  // the file into the page cache
  return {scan_bench::bestSeconds(rounds, decode),
          scan_bench::bestSeconds(rounds, hash),
          scan_bench::bestProcessSeconds(rounds, decode),
          scan_bench::bestProcessSeconds(rounds, hash),
          scan_bench::bestProcessSeconds(rounds, [&] { decoderFullDecode(file); }),
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
  std::printf("%-8s %6s %13s %13s %11s %10s %11s %12s %10s\n", "picture", "MB", "decode ms",
              "phash ms", "ratio wall", "ratio cpu", "decoder ms", "vs decoder", "libjpeg/8");
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
    std::printf("%-8s %6.2f %6.1f/%6.1f %6.1f/%6.1f %11.3f %10.3f %11.1f %12.3f %10.3f\n",
                fixture.name, std::filesystem::file_size(path) / 1e6, f.decodeWall * 1e3,
                f.decodeCpu * 1e3, f.hashWall * 1e3, f.hashCpu * 1e3, wallRatio, cpuRatio,
                f.decoderCpu * 1e3, f.hashCpu / f.decoderCpu, f.eighthCpu / f.decodeCpu);
  }
  std::printf(
      "(ms as wall/processor time, best of %d; decode: the image library's full decode, the\n"
      " goal's baseline; decoder: libjpeg's own full decode, processor ms; libjpeg/8: libjpeg\n"
      " at 1/8 in grey against the library's full decode; goal: ratio at most 0.250) %s\n",
      rounds, allMet ? "OK" : "OVER");
  std::printf("%s\n", scan_bench::loadAverage().c_str());
  return 0;
}
