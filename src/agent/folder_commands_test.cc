#include "agent/folder_commands.h"

#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "agent/agent_test_util.h"
#include "core/scan/root_list.h"

namespace tallowick {
namespace {

using testing::AgentTest;

const auto* const kQt = ::testing::AddGlobalTestEnvironment(new testing::QtEnvironment);

class FolderEditTest : public AgentTest {
 protected:
  // Runs the edit on a fresh agent (a new process, as the program does).
  int run(const FolderEdit& edit) {
    out_.str("");
    err_.str("");
    return runFolderEdit(makeAgent(), edit, out_, err_);
  }
  std::ostringstream out_, err_;
};

TEST_F(FolderEditTest, ListsAddsSetsAndRemovesThroughTheStoredList) {
  makeFolders({"Desktop", "a", "b"});
  FolderEdit list;
  list.list = true;
  EXPECT_EQ(run(list), 0);
  EXPECT_EQ(out_.str(), home_ + "/Desktop\tduplicates=on\tscreenshots=on\tstale=on\n");

  FolderEdit add;
  add.add = {home_ + "/a/", home_ + "/b", home_ + "/a"};
  EXPECT_EQ(run(add), 0);
  EXPECT_EQ(out_.str(), home_ + "/Desktop\tduplicates=on\tscreenshots=on\tstale=on\n" + home_ +
                            "/a\tduplicates=on\tscreenshots=on\tstale=on\n" + home_ +
                            "/b\tduplicates=on\tscreenshots=on\tstale=on\n");

  FolderEdit set;
  set.set = home_ + "/a";
  set.duplicates = false;
  set.stale = false;
  FolderEdit remove;
  remove.remove = {home_ + "/Desktop", home_ + "/b"};
  EXPECT_EQ(run(set), 0);
  EXPECT_EQ(run(remove), 0);
  EXPECT_EQ(err_.str(), "");
  EXPECT_EQ(out_.str(), home_ + "/a\tduplicates=off\tscreenshots=on\tstale=off\n");
  EXPECT_EQ(run(list), 0);
  EXPECT_EQ(out_.str(), home_ + "/a\tduplicates=off\tscreenshots=on\tstale=off\n");
}

TEST_F(FolderEditTest, UnknownFoldersAreRefused) {
  makeFolders({"Desktop", "a"});
  FolderEdit add;
  add.add = {home_ + "/a", home_ + "/missing"};
  EXPECT_EQ(run(add), 2);
  EXPECT_EQ(err_.str(), "tallowick-agent: no such folder: " + home_ + "/missing\n");
  EXPECT_EQ(out_.str(), "");
  EXPECT_FALSE(settings()->contains(Agent::kScanRootsKey));

  FolderEdit remove;
  remove.remove = {home_ + "/a"};
  EXPECT_EQ(run(remove), 1);
  EXPECT_EQ(err_.str(), "tallowick-agent: not in the folder list: " + home_ + "/a\n");
  EXPECT_EQ(out_.str(), home_ + "/Desktop\tduplicates=on\tscreenshots=on\tstale=on\n");

  FolderEdit set;
  set.set = home_ + "/a";
  set.screenshots = false;
  EXPECT_EQ(run(set), 1);
  EXPECT_EQ(err_.str(), "tallowick-agent: not in the folder list: " + home_ + "/a\n");
  EXPECT_EQ(makeAgent().roots(), defaultRoots());
}

}  // namespace
}  // namespace tallowick
