#include "agent/tray_icon.h"

#include <QApplication>
#include <QCursor>
#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "agent/agent_test_util.h"
#include "agent/popover_view.h"
#include "agent/review_window.h"

namespace tallowick {
namespace {

using testing::AgentTest;
using testing::processUntil;

// An X server of our own (Xvfb) for the whole test program, with the
// application on it; none when Xvfb is missing (the tests then skip).
class XvfbEnvironment : public ::testing::Environment {
 public:
  static inline QString display;
  static inline QString skipReason;

  void SetUp() override {
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (xvfb.isEmpty()) {
      skipReason = QStringLiteral("Xvfb is not installed");
      return makeApplication("offscreen");
    }
    // A display number nobody uses.
    for (int n = 90 + ::getpid() % 400;; ++n) {
      if (!QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(n)) &&
          !QFileInfo::exists(QStringLiteral("/tmp/.X%1-lock").arg(n))) {
        display = QStringLiteral(":%1").arg(n);
        break;
      }
    }
    server_ = std::make_unique<QProcess>();
    server_->start(
        xvfb, {display, QStringLiteral("-screen"), QStringLiteral("0"),
               QStringLiteral("1280x800x24"), QStringLiteral("-nolisten"), QStringLiteral("tcp")});
    const QString socket = QStringLiteral("/tmp/.X11-unix/X") + display.mid(1);
    for (int i = 0; i < 200 && !QFileInfo::exists(socket); ++i) QThread::msleep(50);
    if (!QFileInfo::exists(socket)) {
      skipReason = QStringLiteral("Xvfb did not start");
      return makeApplication("offscreen");
    }
    qputenv("DISPLAY", display.toLocal8Bit());
    makeApplication("xcb");
  }
  void TearDown() override {
    app_.reset();
    if (server_) {
      server_->terminate();
      server_->waitForFinished();
    }
  }

 private:
  void makeApplication(const char* platform) {
    qputenv("QT_QPA_PLATFORM", platform);
    static int argc = 1;
    static char name[] = "tray_icon_test";
    static char* argv[] = {name, nullptr};
    app_ = std::make_unique<QApplication>(argc, argv);
  }

  std::unique_ptr<QProcess> server_;
  std::unique_ptr<QApplication> app_;
};

const auto* const kX = ::testing::AddGlobalTestEnvironment(new XvfbEnvironment);

class TrayIconTest : public AgentTest {
 protected:
  void TearDown() override {
    if (host_) {
      host_->terminate();
      host_->waitForFinished();
    }
    AgentTest::TearDown();
  }
  // Starts trayer, a panel with a tray, at the top of the screen.
  bool startTrayHost() {
    const QString trayer = QStandardPaths::findExecutable(QStringLiteral("trayer"));
    if (trayer.isEmpty()) return false;
    host_ = std::make_unique<QProcess>();
    host_->start(
        trayer,
        {QStringLiteral("--edge"), QStringLiteral("top"), QStringLiteral("--align"),
         QStringLiteral("right"), QStringLiteral("--height"), QStringLiteral("32"),
         QStringLiteral("--widthtype"), QStringLiteral("request"), QStringLiteral("--transparent"),
         QStringLiteral("false"), QStringLiteral("--tint"), QStringLiteral("0x303030"),
         QStringLiteral("--SetDockType"), QStringLiteral("true")});
    return processUntil([] { return QSystemTrayIcon::isSystemTrayAvailable(); },
                        std::chrono::seconds(20));
  }
  std::unique_ptr<QProcess> host_;
};

TEST_F(TrayIconTest, TheTwoIconsAreBuiltInAndDiffer) {
  const QImage idle = TrayIcon::icon(false).pixmap(32, 32).toImage();
  const QImage connected = TrayIcon::icon(true).pixmap(32, 32).toImage();
  ASSERT_FALSE(idle.isNull());
  ASSERT_FALSE(connected.isNull());
  EXPECT_NE(idle, connected);
}

TEST_F(TrayIconTest, WithoutATrayThePopoverIsANormalWindow) {
  if (!XvfbEnvironment::skipReason.isEmpty())
    GTEST_SKIP() << XvfbEnvironment::skipReason.toStdString();
  ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
  Agent& agent = makeAgent();
  TrayIcon tray(agent);
  tray.show();
  ASSERT_TRUE(processUntil([&] { return tray.popover()->isVisible(); }));
  EXPECT_FALSE(tray.popover()->windowFlags().testFlag(Qt::FramelessWindowHint));
  EXPECT_FALSE(tray.trayIcon().isVisible());
  // Losing the focus does not hide a window.
  QEvent away(QEvent::WindowDeactivate);
  QApplication::sendEvent(tray.popover(), &away);
  EXPECT_TRUE(tray.popover()->isVisible());
}

TEST_F(TrayIconTest, IconAppearsInARealTrayAndAClickOpensThePopover) {
  if (!XvfbEnvironment::skipReason.isEmpty())
    GTEST_SKIP() << XvfbEnvironment::skipReason.toStdString();
  if (!startTrayHost()) GTEST_SKIP() << "no tray host (trayer) here";
  const QString xdotool = QStandardPaths::findExecutable(QStringLiteral("xdotool"));
  if (xdotool.isEmpty()) GTEST_SKIP() << "xdotool is not installed";

  Agent& agent = makeAgent();
  TrayIcon tray(agent);
  tray.show();
  // Embedded: the tray gave the icon a place on the screen.
  ASSERT_TRUE(processUntil([&] {
    const QRect where = tray.trayIcon().geometry();
    // trayer sits at the right end of the top edge.
    return where.isValid() && !where.isEmpty() && where.top() < 40 && where.left() > 640;
  }));
  const QPoint centre = tray.trayIcon().geometry().center();
  // The tray may place the icon before its window takes clicks, and a busy
  // machine can lose the first one: click again while nothing opened.
  bool opened = false;
  for (int attempt = 0; attempt < 4 && !opened; ++attempt) {
    QProcess::execute(xdotool,
                      {QStringLiteral("mousemove"), QString::number(centre.x()),
                       QString::number(centre.y()), QStringLiteral("click"), QStringLiteral("1")});
    opened = processUntil([&] { return tray.popover()->isVisible(); }, std::chrono::seconds(5));
  }
  ASSERT_TRUE(opened);
  // A frameless panel below the icon, inside the screen.
  const QRect panel = tray.popover()->frameGeometry();
  EXPECT_TRUE(tray.popover()->windowFlags().testFlag(Qt::FramelessWindowHint));
  EXPECT_GE(panel.top(), tray.trayIcon().geometry().bottom());
  EXPECT_TRUE(QRect(0, 0, 1280, 800).contains(panel)) << panel.x() << "," << panel.y();

  // For a person to look at: the whole screen.
  const QString picture = qEnvironmentVariable("TALLOWICK_BINARY_DIR", QStringLiteral(".")) +
                          QStringLiteral("/views/tray-xvfb.png");
  QDir().mkpath(QFileInfo(picture).path());
  QProcess::execute(QStringLiteral("import"),
                    {QStringLiteral("-display"), XvfbEnvironment::display,
                     QStringLiteral("-window"), QStringLiteral("root"), picture});

  // Losing the focus hides the panel; the click on the icon that took the
  // focus does not open it again.
  QEvent away(QEvent::WindowDeactivate);
  QApplication::sendEvent(tray.popover(), &away);
  EXPECT_FALSE(tray.popover()->isVisible());
  tray.togglePopover();
  EXPECT_FALSE(tray.popover()->isVisible());

  // A phone connects: the icon changes.
  const qint64 idleKey = tray.trayIcon().icon().cacheKey();
  ServerStatus status;
  status.phone = "Ann's iPhone";
  agent.handle({Server::Event::Status{status}});
  EXPECT_NE(tray.trayIcon().icon().cacheKey(), idleKey);
}

TEST_F(TrayIconTest, TheMenuOffersEveryAction) {
  Agent& agent = makeAgent();
  TrayIcon tray(agent);
  QStringList texts;
  for (QAction* action : tray.menu()->actions()) {
    if (!action->isSeparator()) texts << action->text();
  }
  EXPECT_EQ(texts, (QStringList{"Show Tallowick", "Review…", "Rescan", "Folders…",
                                "Launch at login", "Show Trash", "Check for Updates…", "Quit"}));
  tray.menu()->actions()[3]->trigger();
  ASSERT_NE(tray.folders(), nullptr);
  EXPECT_TRUE(tray.folders()->isVisible());
  tray.menu()->actions()[1]->trigger();
  ASSERT_NE(tray.review(), nullptr);
  EXPECT_TRUE(tray.review()->isVisible());
  EXPECT_TRUE(tray.review()->windowTitle().contains("Review"));
}

}  // namespace
}  // namespace tallowick
