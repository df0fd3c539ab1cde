#include "agent/headless_console.h"

#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "agent/agent.h"
#include "agent/agent_test_util.h"

namespace tallowick {
namespace {

using testing::AgentTest;

const auto* const kQt = ::testing::AddGlobalTestEnvironment(new testing::QtEnvironment);

Server::Event statusEvent(const std::string& code, const std::string& qr) {
  Server::Status status;
  status.code = code;
  status.qrPayload = qr;
  return {Server::Event::Status{status}};
}

TEST_F(AgentTest, TheConsolePrintsWhatServePrints) {
  Agent& agent = makeAgent();
  std::ostringstream out;
  HeadlessConsole console(agent, out,
                          [](const std::string& text) { return "[QR " + text + "]\n"; });
  agent.handle(statusEvent("123456", "{\"v\":1}"));
  agent.handle({Server::Event::Listening{52000}});
  agent.handle({Server::Event::Log{"· hello from “phone” (code:phone)"}});
  agent.handle({Server::Event::Log{"· hello from “\033]0;owned\007”"}});
  // Only changes are printed again.
  agent.handle(statusEvent("123456", "{\"v\":1}"));
  agent.handle(statusEvent("654321", "{\"v\":1}"));
  EXPECT_EQ(out.str(),
            "code 123456\n"
            "qr {\"v\":1}\n"
            "[QR {\"v\":1}]\n"
            "listening on 52000\n"
            "· hello from “phone” (code:phone)\n"
            "· hello from “\\x1B]0;owned\\x07”\n"
            "code 654321\n");

  std::ostringstream plain;
  HeadlessConsole noTerminal(makeAgent(), plain);
  agents_.back()->handle(statusEvent("111111", "{}"));
  // Not a terminal: the key in the QR payload stays out of the output.
  EXPECT_EQ(plain.str(), "code 111111\n");
}

}  // namespace
}  // namespace tallowick
