#pragma once
// Test helpers for the review window: a temporary home whose folders hold
// what the scan suggests (two copies of a photo, an old screenshot, an old
// installer), an agent serving it on loopback with only that home's Trash,
// and the Trash's files.

#include <sys/stat.h>

#include <vips/vips8>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "agent/agent_test_util.h"
#include "core/thumbs/vips_runtime.h"

namespace tallowick::testing {

class ReviewTest : public AgentTest {
 protected:
  void SetUp() override {
    AgentTest::SetUp();
    makeFolders({"Desktop", "Downloads", "Pictures", "Pictures/Trip"});
    photo_ = home_ + "/Pictures/Beach.png";
    copy_ = home_ + "/Pictures/Trip/Beach.png";
    screenshot_ = home_ + "/Desktop/Screenshot from 2026-09-01 10-00-00.png";
    installer_ = home_ + "/Downloads/tool_1.0_amd64.deb";
    drawBeach(photo_);
    std::filesystem::copy_file(photo_, copy_);
    drawScreenshot(screenshot_);
    setAge(screenshot_, 60);
    std::ofstream(installer_) << std::string(1'500'000, 'd');
    setAge(installer_, 30);
  }

  // The agent over the home's folders, only that home's Trash emptied,
  // started (it scans at once).
  Agent& startAgent() {
    Agent& agent = makeAgent();
    agent.start();
    return agent;
  }

  std::string trashFiles() const { return home_ + "/.local/share/Trash/files"; }
  int trashCount() const {
    if (!std::filesystem::exists(trashFiles())) return 0;
    return static_cast<int>(std::distance(std::filesystem::directory_iterator(trashFiles()),
                                          std::filesystem::directory_iterator()));
  }

  static void setAge(const std::string& path, int days) {
    struct timespec times[2] = {{0, UTIME_OMIT}, {std::time(nullptr) - days * 86400L, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
  }

  // Pictures of more than the scan's smallest size (1 MiB): stored without
  // compression, so their size is known.
  static void drawBeach(const std::string& path) {
    ASSERT_TRUE(ensureVipsStarted());
    const int w = 1200, h = 800;
    vips::VImage xyz = vips::VImage::xyz(w, h);
    vips::VImage x = xyz[0], y = xyz[1];
    vips::VImage sky = (120 + y * (100.0 / h)).bandjoin(170 + y * (60.0 / h)).bandjoin(235);
    vips::VImage sea = (20 + y * 0.0).bandjoin(60 + y * (60.0 / h)).bandjoin(120 + y * (60.0 / h));
    vips::VImage sun = ((x - 850) * (x - 850) + (y - 300) * (y - 300)) < 90 * 90;
    vips::VImage picture = (y < 480).ifthenelse(sky, sea);
    picture = sun.ifthenelse(std::vector<double>{255, 214, 110}, picture);
    picture.cast(VIPS_FORMAT_UCHAR)
        .pngsave(path.c_str(), vips::VImage::option()->set("compression", 0));
  }

  static void drawScreenshot(const std::string& path) {
    ASSERT_TRUE(ensureVipsStarted());
    const int w = 1280, h = 800;
    vips::VImage xyz = vips::VImage::xyz(w, h);
    vips::VImage x = xyz[0], y = xyz[1];
    vips::VImage picture = vips::VImage::black(w, h, vips::VImage::option()->set("bands", 3)) + 236;
    // A title bar, a side bar and a few lines of text.
    picture = (y < 48).ifthenelse(std::vector<double>{52, 56, 66}, picture);
    picture = ((y >= 48) & (x < 240)).ifthenelse(std::vector<double>{214, 218, 226}, picture);
    for (int line = 0; line < 8; ++line) {
      const int top = 110 + line * 60;
      picture = ((y >= top) & (y < top + 18) & (x >= 300) & (x < 1100 - line * 70))
                    .ifthenelse(std::vector<double>{150, 154, 164}, picture);
    }
    picture.cast(VIPS_FORMAT_UCHAR)
        .pngsave(path.c_str(), vips::VImage::option()->set("compression", 0));
  }

  std::string photo_;
  std::string copy_;
  std::string screenshot_;
  std::string installer_;
};

}  // namespace tallowick::testing
