#include "agent/popover_view.h"

#include <QCheckBox>
#include <QGraphicsOpacityEffect>
#include <QImage>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QToolButton>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "agent/agent_test_util.h"
#include "agent/qr_view.h"
#include "agent/view_text.h"
#include "agent/views_test_util.h"
#include "core/pairing/qr_reader_test_util.h"
#include "shared/pairing_payload.h"

namespace tallowick {
namespace {

using testing::AgentTest;
using testing::processUntil;
using testing::writePicture;

const auto* const kQt = ::testing::AddGlobalTestEnvironment(new testing::WidgetsEnvironment);

std::string payload() {
  return PairingPayload("Ann's Laptop", "6F1A2B3C-4D5E-4F60-8172-839405A6B7C8", Bytes(32, 0xA5))
      .jsonString();
}

PairingStore::Device device(const std::string& id, const std::string& name) {
  return {.deviceID = id, .name = name, .key = Bytes(32, 0x11), .pairedAt = Date{}};
}

// A ready agent's status after a scan: one phone paired, nothing pending.
ServerStatus readyStatus() {
  ServerStatus status;
  status.scannedAt =
      std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now()) -
      std::chrono::minutes(5);
  status.reclaimable = 1840000000;
  status.files = 42;
  status.groups = 7;
  status.listening = true;
  status.code = "482913";
  status.qrPayload = payload();
  return status;
}

std::string text(const PopoverView& view, const char* name) {
  auto* label = view.findChild<QLabel*>(name);
  EXPECT_NE(label, nullptr) << name;
  return label ? label->text().toStdString() : std::string();
}

// The QR codes zbar reads in a picture of `widget`.
std::vector<std::string> readQR(QWidget& widget) {
  const QImage image = widget.grab().toImage().convertToFormat(QImage::Format_Grayscale8);
  testing::Picture picture{image.width(), image.height(), {}};
  for (int y = 0; y < image.height(); ++y) {
    const uchar* row = image.constScanLine(y);
    picture.grey.insert(picture.grey.end(), row, row + image.width());
  }
  return testing::decodeQR(picture);
}

class PopoverViewTest : public AgentTest {
 protected:
  Agent& agentWith(const ServerStatus& status) {
    Agent& agent = makeAgent();
    agent.handle({Server::Event::Status{status}});
    return agent;
  }
};

TEST_F(PopoverViewTest, ShowsEachSectionFromTheAgentState) {
  Agent& agent = agentWith(readyStatus());
  PopoverView view(agent, nullptr, false);
  EXPECT_EQ(view.width(), PopoverView::kWidth);
  EXPECT_EQ(text(view, "statusLine"), "Ready");
  EXPECT_EQ(view.findChild<QLabel*>("statusLine")->palette().color(QPalette::WindowText),
            ViewText::toneColour(ViewText::Tone::Ready));
  EXPECT_EQ(text(view, "savings"), "1.8 GB reclaimable");
  EXPECT_EQ(text(view, "summaryLine"), "42 files · 7 groups");
  EXPECT_EQ(text(view, "lastScan"), "Last scan 5 minutes ago");
  EXPECT_EQ(text(view, "codeCaption"), "Scan with the iPhone app, or enter code");
  EXPECT_EQ(text(view, "codeLabel"), "4 8 2  9 1 3");
  EXPECT_TRUE(view.findChildren<QLabel*>("device").isEmpty());
  // The dates can always be read here: no hint.
  EXPECT_TRUE(view.findChild<QWidget*>("accessHint")->isHidden());
  EXPECT_EQ(text(view, "folderCount"), "0 folders");
  writePicture(view, "popover-idle");
}

TEST_F(PopoverViewTest, FreshStartBeforeTheFirstScan) {
  Agent& agent = makeAgent();
  PopoverView view(agent, nullptr, false);
  EXPECT_EQ(text(view, "statusLine"), "Starting…");
  EXPECT_EQ(text(view, "savings"), "0 bytes reclaimable");
  EXPECT_EQ(text(view, "summaryLine"), "nothing to clean up");
  EXPECT_EQ(text(view, "lastScan"), "Not scanned yet");
  // No payload yet: a white square, nothing to read.
  EXPECT_TRUE(readQR(*view.findChild<QRView*>("qr")).empty());
}

TEST_F(PopoverViewTest, ScanningShowsTheBarInsteadOfTheDate) {
  struct Case {
    std::int64_t done, total;
    int maximum, value;
    std::string text;
  };
  const Case cases[] = {{120, 0, 0, 0, "120 files"},  // indeterminate
                        {100, 400, 1000, 250, "100 of ~400"},
                        {600, 400, 1000, 1000, "600 of ~400"}};
  for (const Case& c : cases) {
    ServerStatus status = readyStatus();
    status.scanning = ServerProgress{c.done, c.total};
    Agent& agent = agentWith(status);
    PopoverView view(agent, nullptr, false);
    auto* bar = view.findChild<QProgressBar*>("scanProgress");
    EXPECT_FALSE(bar->isHidden());
    EXPECT_TRUE(view.findChild<QLabel*>("lastScan")->isHidden());
    EXPECT_EQ(bar->maximum(), c.maximum) << c.text;
    EXPECT_EQ(bar->value(), c.value) << c.text;
    EXPECT_EQ(text(view, "scanProgressText"), c.text);
    if (c.total == 400 && c.done == 100) {
      EXPECT_EQ(text(view, "statusLine"), "Scanning 25%…");
      writePicture(view, "popover-scanning");
    }
  }
}

TEST_F(PopoverViewTest, PausedPairingDimsTheCodeAndSaysWhy) {
  ServerStatus status = readyStatus();
  status.pairingPaused = true;
  status.pendingCount = 3;
  status.pendingBytes = 52000000;
  Agent& agent = agentWith(status);
  PopoverView view(agent, nullptr, false);
  EXPECT_EQ(text(view, "codeCaption"), "Too many wrong codes — try again in a minute");
  EXPECT_EQ(view.findChild<QLabel*>("codeCaption")->palette().color(QPalette::WindowText),
            ViewText::toneColour(ViewText::Tone::Scanning));
  auto* effect =
      qobject_cast<QGraphicsOpacityEffect*>(view.findChild<QLabel*>("codeLabel")->graphicsEffect());
  ASSERT_NE(effect, nullptr);
  EXPECT_DOUBLE_EQ(effect->opacity(), 0.35);
  EXPECT_EQ(text(view, "summaryLine"), "42 files · 7 groups · 3 pending · 52.0 MB");
  writePicture(view, "popover-paused");

  // Back to normal on the next status.
  agent.handle({Server::Event::Status{readyStatus()}});
  EXPECT_DOUBLE_EQ(effect->opacity(), 1.0);
}

TEST_F(PopoverViewTest, PhonesAreListedWithTheConnectedOneInTheHeader) {
  ServerStatus status = readyStatus();
  status.phone = "Ann's iPhone";
  status.devices = {device("A", "Ann's iPhone"), device("B", "Bo's iPhone")};
  Agent& agent = agentWith(status);
  PopoverView view(agent, nullptr, false);
  EXPECT_EQ(text(view, "statusLine"), "Ann's iPhone connected");
  std::vector<std::string> names;
  for (QLabel* label : view.findChildren<QLabel*>("device"))
    names.push_back(label->text().toStdString());
  EXPECT_EQ(names, (std::vector<std::string>{"Paired: Ann's iPhone", "Paired: Bo's iPhone"}));
  EXPECT_EQ(view.findChildren<QToolButton*>("forget").size(), 2);
  writePicture(view, "popover-two-phones");

  // One phone forgotten: its row goes, no row is left over.
  status.devices = {device("B", "Bo's iPhone")};
  agent.handle({Server::Event::Status{status}});
  EXPECT_EQ(view.findChildren<QLabel*>("device").size(), 1);
}

TEST_F(PopoverViewTest, TheQRCodeReadsBackAsThePayloadAtBothSizes) {
  Agent& agent = agentWith(readyStatus());
  PopoverView view(agent, nullptr, false);
  auto* qr = view.findChild<QRView*>("qr");
  ASSERT_NE(qr, nullptr);
  EXPECT_EQ(qr->size(), QSize(180 + 16, 180 + 16));
  EXPECT_EQ(readQR(view), std::vector<std::string>{payload()});
  // A click enlarges it, a second one shrinks it again.
  QTest::mouseClick(qr, Qt::LeftButton);
  EXPECT_EQ(qr->size(), QSize(280 + 16, 280 + 16));
  EXPECT_EQ(readQR(view), std::vector<std::string>{payload()});
  QTest::mouseClick(qr, Qt::LeftButton);
  EXPECT_EQ(qr->size(), QSize(180 + 16, 180 + 16));
}

TEST_F(PopoverViewTest, QRModulesAreSharpBlackAndWhite) {
  const QImage image = QRView::render(payload(), 2 * QRView::kSmallSide);
  ASSERT_FALSE(image.isNull());
  EXPECT_GE(image.width(), 2 * QRView::kSmallSide);
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const QRgb pixel = image.pixel(x, y);
      ASSERT_TRUE(pixel == qRgb(0, 0, 0) || pixel == qRgb(255, 255, 255)) << x << "," << y;
    }
  }
  EXPECT_TRUE(QRView::render("", 100).isNull());
}

TEST_F(PopoverViewTest, OneFolderIsCountedInTheSingular) {
  makeFolders({"Pictures"});
  Agent& agent = agentWith(readyStatus());
  PopoverView view(agent, nullptr, false);
  EXPECT_EQ(text(view, "folderCount"), "1 folder");
}

TEST_F(PopoverViewTest, MenuActionsReachTheAgent) {
  makeFolders({"Pictures", "Documents"});
  Agent& agent = agentWith(readyStatus());
  int foldersOpened = 0;
  PopoverView view(
      agent, [&] { ++foldersOpened; }, false);
  EXPECT_EQ(text(view, "folderCount"), "2 folders");
  EXPECT_EQ(view.findChild<QLabel*>("folderCount")->toolTip().toStdString(),
            home_ + "/Pictures\n" + home_ + "/Documents");

  view.findChild<QPushButton*>("folders")->click();
  EXPECT_EQ(foldersOpened, 1);
  int reviewsOpened = 0;
  view.setOpenReview([&] { ++reviewsOpened; });
  view.findChild<QPushButton*>("review")->click();
  EXPECT_EQ(reviewsOpened, 1);

  auto* login = view.findChild<QCheckBox*>("launchAtLogin");
  EXPECT_FALSE(login->isChecked());
  login->click();
  EXPECT_TRUE(std::filesystem::exists(autostartPath()));
  EXPECT_TRUE(login->isChecked());
  login->click();
  EXPECT_FALSE(Agent::autostartEnabled(autostartPath()));
  EXPECT_FALSE(login->isChecked());

  EXPECT_NE(
      view.findChild<QPushButton*>("checkForUpdates")->toolTip().toStdString().find("Version "),
      std::string::npos);
}

// Rescan and forget reach the agent's real server on loopback.
TEST_F(PopoverViewTest, RescanAndForgetReachTheServer) {
  makeFolders({"Pictures"});
  // One paired phone in the storage before the server starts.
  const std::string storage = home_ + "/.local/share/Tallowick";
  std::filesystem::create_directories(storage);
  Json devices = Json::array();
  devices.push_back(device("9F1A2B3C-4D5E-4F60-8172-839405A6B7C8", "Ann's iPhone").toJson());
  std::ofstream(storage + "/devices.json") << devices.dump();

  Agent& agent = makeAgent();
  std::vector<std::string> lines;
  QObject::connect(&agent, &Agent::lineAppended,
                   [&](const QString& line) { lines.push_back(line.toStdString()); });
  auto scans = [&] {
    return std::count_if(lines.begin(), lines.end(),
                         [](const std::string& l) { return l.starts_with("✓ scan:"); });
  };
  agent.start();
  PopoverView view(agent, nullptr, false);
  ASSERT_TRUE(processUntil([&] { return scans() == 1 && agent.status().devices.size() == 1; }));

  view.findChild<QPushButton*>("rescan")->click();
  EXPECT_TRUE(processUntil([&] { return scans() == 2; }));

  auto* forget = view.findChild<QToolButton*>("forget");
  ASSERT_NE(forget, nullptr);
  forget->click();
  EXPECT_TRUE(processUntil([&] { return agent.status().devices.empty(); }));
  processUntil([&] { return view.findChildren<QToolButton*>("forget").isEmpty(); },
               std::chrono::seconds(5));
  EXPECT_TRUE(view.findChildren<QToolButton*>("forget").isEmpty());
  agent.stop();
}

}  // namespace
}  // namespace tallowick
