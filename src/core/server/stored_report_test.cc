#include "core/server/stored_report.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

namespace tallowick {
namespace {

namespace fs = std::filesystem;

TEST(StoredReportTest, MissingOrUndecodableGivesNoneAndAStoredOneComesBack) {
  std::string dir = (fs::temp_directory_path() / "stored-report-XXXXXX").string();
  ASSERT_NE(::mkdtemp(dir.data()), nullptr);
  const std::string path = dir + "/report.json";
  EXPECT_EQ(loadStoredReport(path), std::nullopt);
  std::ofstream(path) << "{\"items\": [";
  EXPECT_EQ(loadStoredReport(path), std::nullopt);

  Report report;
  report.scannedAt = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
  report.filesSeen = 12;
  std::ofstream(path, std::ios::trunc) << report.storedJSON();
  auto loaded = loadStoredReport(path);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->filesSeen, 12);
  EXPECT_EQ(loaded->scannedAt, report.scannedAt);
  fs::remove_all(dir);
}

TEST(StoredReportTest, WrittenReportIsTheStoredFormAndANewOneReplacesIt) {
  std::string dir = (fs::temp_directory_path() / "stored-report-XXXXXX").string();
  ASSERT_NE(::mkdtemp(dir.data()), nullptr);
  const std::string path = dir + "/report.json";
  Report report;
  report.items.resize(3);
  report.items[1].path = "/home/zoë/a \"b\".jpg";
  ASSERT_FALSE(saveStoredReport(path, report));
  std::ifstream in(path);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, report.storedJSON());
  report.filesSeen = 7;
  ASSERT_FALSE(saveStoredReport(path, report));
  EXPECT_EQ(loadStoredReport(path)->filesSeen, 7);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 1);  // no temporary file left
  EXPECT_EQ(saveStoredReport(dir + "/missing/report.json", report),
            std::make_error_code(std::errc::no_such_file_or_directory));
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tallowick
