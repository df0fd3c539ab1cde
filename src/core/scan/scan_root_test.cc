#include "core/scan/scan_root.h"

#include <gtest/gtest.h>

namespace tallowick {
namespace {

TEST(ScanRootTest, JsonFormAndIdentity) {
  ScanRoot root = ScanRoot::fromPath("/home/ann/My Pictures");
  EXPECT_EQ(root.url, "file:///home/ann/My%20Pictures");
  EXPECT_EQ(root.id(), "/home/ann/My Pictures");
  EXPECT_TRUE(root.duplicates && root.screenshots && root.stale);
  root.stale = false;
  EXPECT_EQ(ScanRoot::fromJson(root.toJson()), root);
  EXPECT_NE(ScanRoot::fromJson(root.toJson()), ScanRoot::fromPath("/home/ann/My Pictures"));
  Json missing = root.toJson();
  missing.erase("screenshots");
  EXPECT_THROW(ScanRoot::fromJson(missing), DecodeError);
}

TEST(ScanRootTest, AnythingButAFileURLHasNoPath) {
  for (const char* url : {"", "/home/ann", "http://host/home/ann", "file://relative"}) {
    ScanRoot root;
    root.url = url;
    EXPECT_EQ(root.path(), "") << url;
  }
}

}  // namespace
}  // namespace tallowick
