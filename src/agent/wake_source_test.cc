// The logind wake source against a private bus that stands in for the
// system bus: a PrepareForSleep(false) from the name "org.freedesktop.login1"
// is a wake; the same signal from anyone else is not.

#include "agent/wake_source.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusMessage>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "agent/agent_test_util.h"

namespace tallowick {
namespace {

namespace fs = std::filesystem;
using testing::processUntil;

const auto* const kQt = ::testing::AddGlobalTestEnvironment(new testing::QtEnvironment);

QDBusMessage prepareForSleep(bool start) {
  QDBusMessage message = QDBusMessage::createSignal(
      "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PrepareForSleep");
  message << start;
  return message;
}

TEST(LogindWakeSourceTest, OnlyLogindsWakeSignalIsAWake) {
  std::string dir = (fs::temp_directory_path() / "wake-test-XXXXXX").string();
  ASSERT_NE(::mkdtemp(dir.data()), nullptr);
  const std::string socket = dir + "/bus";
  std::ofstream(dir + "/bus.conf")
      << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
         " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
         "<busconfig><type>system</type><listen>unix:path="
      << socket
      << "</listen><auth>EXTERNAL</auth>\n"
         "<policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
         "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy></busconfig>\n";
  pid_t bus = ::fork();
  ASSERT_GE(bus, 0);
  if (bus == 0) {
    const std::string config = "--config-file=" + dir + "/bus.conf";
    ::execl("/usr/bin/dbus-daemon", "dbus-daemon", config.c_str(), "--nofork", "--nopidfile",
            static_cast<char*>(nullptr));
    _exit(127);
  }
  const bool started = processUntil([&] { return fs::exists(socket); });
  const std::string address = "unix:path=" + socket;
  // Read once per process, at the first use of the system bus.
  testing::ScopedEnv env("DBUS_SYSTEM_BUS_ADDRESS", address);
  if (started) {
    QDBusConnection impostor =
        QDBusConnection::connectToBus(QString::fromStdString(address), "impostor");
    QDBusConnection logind =
        QDBusConnection::connectToBus(QString::fromStdString(address), "logind");
    ASSERT_TRUE(impostor.isConnected() && logind.isConnected());
    // logind runs before any session starts, so the source finds its owner
    // at once.
    ASSERT_TRUE(logind.registerService("org.freedesktop.login1"));
    auto source = LogindWakeSource::connectSystemBus();
    ASSERT_NE(source, nullptr);
    int wakes = 0;
    QObject::connect(source.get(), &WakeSource::woke, [&] { ++wakes; });
    ASSERT_TRUE(impostor.send(prepareForSleep(false)));
    // Once the bus answered the impostor, its signal is ahead of logind's
    // on the way to the source.
    QDBusMessage ping = QDBusMessage::createMethodCall(
        "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId");
    ASSERT_EQ(impostor.call(ping).type(), QDBusMessage::ReplyMessage);
    ASSERT_TRUE(logind.send(prepareForSleep(false)));
    EXPECT_TRUE(processUntil([&] { return wakes >= 1; }));
    EXPECT_EQ(wakes, 1);
    // Going to sleep is no wake.
    source->prepareForSleep(true);
    EXPECT_EQ(wakes, 1);
    source->prepareForSleep(false);
    EXPECT_EQ(wakes, 2);
    QDBusConnection::disconnectFromBus("impostor");
    QDBusConnection::disconnectFromBus("logind");
  }
  ::kill(bus, SIGTERM);
  ::waitpid(bus, nullptr, 0);
  fs::remove_all(dir);
  if (!started) GTEST_SKIP() << "dbus-daemon did not start";
}

}  // namespace
}  // namespace tallowick
