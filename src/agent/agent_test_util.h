#pragma once
// Test helpers for the agent: one QCoreApplication for the test program, a
// temporary home (HOME, XDG_CONFIG_HOME and XDG_DATA_HOME inside it) and an
// agent built on it with a settings file there, a wake source the test
// fires, and no DNS-SD.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSettings>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "agent/agent.h"
#include "shared/env_test_util.h"

namespace tallowick::testing {

// The test program's application object, made before the first test.
class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "agent_test";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance()) app_ = std::make_unique<QCoreApplication>(argc, argv);
  }
  // Before the exit handlers, which tear down Qt's own globals first.
  void TearDown() override { app_.reset(); }

 private:
  std::unique_ptr<QCoreApplication> app_;
};

// Runs the event loop until `done` holds or `limit` passes.
inline bool processUntil(const std::function<bool()>& done,
                         std::chrono::milliseconds limit = std::chrono::seconds(30)) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > limit.count()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

class FakeWake : public WakeSource {
 public:
  void fire() { Q_EMIT woke(); }
};

class AgentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "agent-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    home_ = root_ + "/home";
    std::filesystem::create_directories(home_ + "/.config");
    std::filesystem::create_directories(home_ + "/.local/share");
    env_.push_back(std::make_unique<ScopedEnv>("HOME", home_));
    env_.push_back(std::make_unique<ScopedEnv>("XDG_CONFIG_HOME", home_ + "/.config"));
    env_.push_back(std::make_unique<ScopedEnv>("XDG_DATA_HOME", home_ + "/.local/share"));
  }
  void TearDown() override {
    agents_.clear();
    std::filesystem::remove_all(root_);
  }

  std::string settingsPath() const { return home_ + "/.config/Tallowick/Tallowick Agent.conf"; }
  std::unique_ptr<QSettings> settings() const {
    return std::make_unique<QSettings>(QString::fromStdString(settingsPath()),
                                       QSettings::IniFormat);
  }
  std::string autostartPath() const { return home_ + "/.config/autostart/tallowick-agent.desktop"; }

  // A new agent on the test's home; the last one made is wake() 's target.
  Agent& makeAgent(std::chrono::milliseconds interval = Agent::kRescanInterval) {
    Agent::Parts parts;
    parts.settings = settings();
    auto wake = std::make_unique<FakeWake>();
    wake_ = wake.get();
    parts.wake = std::move(wake);
    parts.useSystemWake = false;
    parts.rescanInterval = interval;
    parts.macName = "Test Machine";
    parts.program = "/opt/tallowick/bin/tallowick-agent";
    parts.bindAddress = "127.0.0.1";
    parts.advertise = false;
    // Emptying the Trash clears the temporary home's alone.
    parts.trashTopdirs = std::vector<std::string>{};
    agents_.push_back(std::make_unique<Agent>(std::move(parts)));
    return *agents_.back();
  }
  void makeFolders(std::initializer_list<const char*> names) {
    for (const char* name : names) std::filesystem::create_directories(home_ + "/" + name);
  }

  std::string root_;
  std::string home_;
  FakeWake* wake_ = nullptr;
  std::vector<std::unique_ptr<ScopedEnv>> env_;
  std::vector<std::unique_ptr<Agent>> agents_;
};

}  // namespace tallowick::testing
