#include "core/thumbs/media_module.h"

#include <vips/vips8>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "cli/program_test_util.h"
#include "core/thumbs/vips_runtime.h"

namespace tallowick {
namespace {

namespace fs = std::filesystem;

// A copy of the built program in a folder of its own, so where it finds the
// media object (or not) is up to each case.
class MediaModuleTest : public testing::ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    if (stopped()) return;
    built_ = fs::path(program_).parent_path() / kMediaModuleName;
    ASSERT_TRUE(fs::exists(built_)) << built_;
    fs::create_directories(dir_ / "bin");
    fs::copy_file(program_, dir_ / "bin/tallowick");
    program_ = (dir_ / "bin/tallowick").string();
    // Two copies of one photo: a duplicate pair whose thumbnails the scan
    // renders.
    ASSERT_TRUE(ensureVipsStarted());
    vips::VImage photo = vips::VImage::black(64, 48, vips::VImage::option()->set("bands", 3)) + 90;
    photo.jpegsave((dir_ / "root/a.jpg").c_str());
    fs::copy_file(dir_ / "root/a.jpg", dir_ / "root/b.jpg");
  }

  // Scans the pair with thumbnails; how many were written.
  int thumbnailsOfScan(testing::Outcome& outcome) {
    outcome = run("scan --json --min-bytes 1 --thumbs '" + (dir_ / "thumbs").string() + "' '" +
                  (dir_ / "root").string() + "'");
    int written = 0;
    if (fs::exists(dir_ / "thumbs")) {
      for (const auto& entry : fs::directory_iterator(dir_ / "thumbs")) {
        written += entry.path().extension() == ".heic";
      }
    }
    return written;
  }

  fs::path built_;
};

TEST_F(MediaModuleTest, FoundBesideTheProgramOrInItsPrivateLibraryFolder) {
  for (const fs::path& place : {dir_ / "bin", dir_ / "lib/tallowick/media"}) {
    SCOPED_TRACE(place.string());
    fs::create_directories(place);
    fs::copy_file(built_, place / kMediaModuleName);
    testing::Outcome outcome;
    EXPECT_EQ(thumbnailsOfScan(outcome), 2);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "");
    fs::remove(place / kMediaModuleName);
    fs::remove_all(dir_ / "thumbs");
  }
}

TEST_F(MediaModuleTest, MissingOrForeignObjectIsOneLineAndTheScanGoesOnWithoutPictures) {
  const std::string bin = (dir_ / "bin").string(), lib = (dir_ / "lib/tallowick/media").string();
  struct Case {
    const char* what;
    std::string content;  // of a file put beside the program; none when empty
    std::string line;
  } cases[] = {
      {"missing", "",
       "tallowick: pictures and videos are not decoded: libtallowick-media.so is missing "
       "(looked in " +
           bin + " " + lib + ")\n"},
      {"not an object", "not an ELF file",
       "tallowick: pictures and videos are not decoded: cannot load " + bin +
           "/libtallowick-media.so: " + bin + "/libtallowick-media.so: file too short\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.content.empty()) std::ofstream(dir_ / "bin" / kMediaModuleName) << c.content;
    testing::Outcome outcome;
    EXPECT_EQ(thumbnailsOfScan(outcome), 0);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, c.line);
    // The duplicate pair is found all the same: only pictures go without.
    EXPECT_NE(outcome.out.find("b.jpg"), std::string::npos);
    fs::remove(dir_ / "bin" / kMediaModuleName);
  }
}

}  // namespace
}  // namespace tallowick
