#include "agent/folders_view.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QToolButton>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent/agent_test_util.h"
#include "agent/views_test_util.h"

namespace tallowick {
namespace {

using testing::AgentTest;
using testing::processUntil;
using testing::writePicture;

const auto* const kQt = ::testing::AddGlobalTestEnvironment(new testing::WidgetsEnvironment);

class FoldersViewTest : public AgentTest {
 protected:
  QWidget* cell(FoldersView& view, int row, FoldersView::Column column) {
    return view.table()->cellWidget(row, column);
  }
  QCheckBox* toggle(FoldersView& view, int row, FoldersView::Column column) {
    return cell(view, row, column)->findChild<QCheckBox*>();
  }
  std::string cellText(FoldersView& view, int row, const char* name) {
    return cell(view, row, FoldersView::kFolder)->findChild<QLabel*>(name)->text().toStdString();
  }
};

TEST_F(FoldersViewTest, RowsShowNameHomePathAndSwitches) {
  makeFolders({"Pictures"});
  std::filesystem::create_directories(root_ + "/elsewhere/Photos");
  Agent& agent = makeAgent();
  ScanRoot outside = ScanRoot::fromPath(root_ + "/elsewhere/Photos");
  outside.screenshots = false;
  agent.setRoots({ScanRoot::fromPath(home_ + "/Pictures"), outside});

  FoldersView view(agent);
  ASSERT_EQ(view.table()->rowCount(), 2);
  EXPECT_EQ(cellText(view, 0, "folderName"), "Pictures");
  EXPECT_EQ(cellText(view, 0, "folderPath"), "~/Pictures");
  EXPECT_EQ(cellText(view, 1, "folderName"), "Photos");
  EXPECT_EQ(cellText(view, 1, "folderPath"), root_ + "/elsewhere/Photos");
  EXPECT_TRUE(toggle(view, 1, FoldersView::kDuplicates)->isChecked());
  EXPECT_FALSE(toggle(view, 1, FoldersView::kScreenshots)->isChecked());
  EXPECT_TRUE(toggle(view, 1, FoldersView::kStale)->isChecked());
  std::vector<std::string> titles;
  for (int c = 0; c < FoldersView::kColumns; ++c) {
    titles.push_back(view.table()->horizontalHeaderItem(c)->text().toStdString());
  }
  EXPECT_EQ(titles,
            (std::vector<std::string>{"Folder", "Duplicates", "Screenshots", "Stale files", ""}));
}

TEST_F(FoldersViewTest, ASwitchChangesOnlyItsFolderAndIsStored) {
  makeFolders({"Desktop", "Downloads", "Pictures"});
  Agent& agent = makeAgent();
  FoldersView view(agent);
  ASSERT_EQ(view.table()->rowCount(), 3);
  toggle(view, 1, FoldersView::kDuplicates)->click();
  toggle(view, 2, FoldersView::kStale)->click();

  std::vector<ScanRoot> expected = {ScanRoot::fromPath(home_ + "/Desktop"),
                                    ScanRoot::fromPath(home_ + "/Downloads"),
                                    ScanRoot::fromPath(home_ + "/Pictures")};
  expected[1].duplicates = false;
  expected[2].stale = false;
  EXPECT_EQ(agent.roots(), expected);
  // Stored at once: a new agent reads the same list.
  EXPECT_EQ(makeAgent().roots(), expected);
  // The table redrew with the stored values.
  EXPECT_FALSE(toggle(view, 1, FoldersView::kDuplicates)->isChecked());
  EXPECT_TRUE(toggle(view, 0, FoldersView::kDuplicates)->isChecked());
}

TEST_F(FoldersViewTest, RemovingTheLastFolderLeavesAnEmptyTable) {
  makeFolders({"Pictures", "Documents"});
  Agent& agent = makeAgent();
  FoldersView view(agent);
  writePicture(view, "folders");
  cell(view, 0, FoldersView::kRemove)->findChild<QToolButton*>()->click();
  ASSERT_EQ(view.table()->rowCount(), 1);
  EXPECT_EQ(cellText(view, 0, "folderName"), "Documents");
  cell(view, 0, FoldersView::kRemove)->findChild<QToolButton*>()->click();
  EXPECT_EQ(view.table()->rowCount(), 0);
  EXPECT_TRUE(agent.roots().empty());
  // An empty stored list: the next launch takes the default folders.
  EXPECT_EQ(makeAgent().roots().size(), 2u);
}

TEST_F(FoldersViewTest, RescanNowStartsAScan) {
  makeFolders({"Pictures"});
  Agent& agent = makeAgent();
  int scans = 0;
  QObject::connect(&agent, &Agent::lineAppended, [&](const QString& line) {
    if (line.startsWith(QStringLiteral("✓ scan:"))) ++scans;
  });
  agent.start();
  FoldersView view(agent);
  ASSERT_TRUE(processUntil([&] { return scans == 1; }));
  view.findChild<QPushButton*>("rescanNow")->click();
  EXPECT_TRUE(processUntil([&] { return scans == 2; }));
  agent.stop();
}

}  // namespace
}  // namespace tallowick
