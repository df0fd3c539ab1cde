#pragma once

// Small helpers shared by the scan benchmarks: a temporary folder that
// removes itself, wall and processor clocks, and photo-like pictures.

#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include <vips/vips8>

namespace scan_bench {

class TempDir {
 public:
  explicit TempDir(const char* name) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / (std::string(name) + ".XXXXXX")).string();
    if (mkdtemp(pattern.data())) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Seconds taken by `work`, best of `rounds` (the least disturbed run).
template <class Work>
double bestSeconds(int rounds, Work work) {
  double best = 1e300;
  for (int i = 0; i < rounds; ++i) {
    auto start = std::chrono::steady_clock::now();
    work();
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (took.count() < best) best = took.count();
  }
  return best;
}

// "load average 0.42" (one minute), to print beside figures: a busy machine
// makes every wall time longer and parallel speed-ups smaller.
inline std::string loadAverage() {
  double load[1] = {-1};
  if (getloadavg(load, 1) != 1) return "load average unknown";
  char text[48];
  std::snprintf(text, sizeof text, "load average %.2f", load[0]);
  return text;
}

inline double processSeconds() {
  timespec now;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Processor seconds (all threads of the process) taken by `work`, best of
// `rounds`: what the work costs, whatever else the machine is doing.
template <class Work>
double bestProcessSeconds(int rounds, Work work) {
  double best = 1e300;
  for (int i = 0; i < rounds; ++i) {
    const double start = processSeconds();
    work();
    const double took = processSeconds() - start;
    if (took < best) best = took;
  }
  return best;
}

// Film grain shared by the pictures of one run (each cuts it at its own
// place), so a picture costs a resize and an encode, not a noise field.
inline vips::VImage grainField(int width, int height, double sigma) {
  return vips::VImage::gaussnoise(
             width + 256, height + 256,
             vips::VImage::option()->set("mean", 0.0)->set("sigma", sigma)->set("seed", 1))
      .copy_memory();
}

// A picture with the statistics of a photo: smooth scenery (a coarse random
// picture blown up, each colour band its own variant) under fine grain. Save
// it as JPEG at quality 90 with 4:2:0 chroma, as cameras do.
// REQUIRES: `grain` is at least width + 256 by height + 256.
inline vips::VImage photoLike(int width, int height, int seed, const vips::VImage& grain) {
  using vips::VImage;
  VImage coarse = VImage::gaussnoise(
      width / 64 + 2, height / 64 + 2,
      VImage::option()->set("mean", 128.0)->set("sigma", 45.0)->set("seed", seed));
  coarse = VImage::bandjoin(
      {coarse, coarse * 0.8 + 20, coarse.flip(VIPS_DIRECTION_HORIZONTAL) * 0.7 + 30});
  VImage scene = coarse.resize(64.0, VImage::option()->set("kernel", VIPS_KERNEL_LINEAR))
                     .crop(0, 0, width, height);
  VImage cut = grain.crop((seed * 37) % 256, (seed * 91) % 256, width, height);
  return (scene + cut)
      .cast(VIPS_FORMAT_UCHAR)
      .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
}

inline void saveAsCameraJpeg(const vips::VImage& picture, const std::string& path) {
  picture.jpegsave(path.c_str(), vips::VImage::option()->set("Q", 90)->set(
                                     "subsample_mode", VIPS_FOREIGN_SUBSAMPLE_ON));
}

}  // namespace scan_bench
