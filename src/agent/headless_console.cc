#include "agent/headless_console.h"

#include "agent/agent.h"
#include "cli/terminal_text.h"

namespace tallowick {

HeadlessConsole::HeadlessConsole(Agent& agent, std::ostream& out, QRDrawer drawQR)
    : agent_(agent), out_(out), drawQR_(std::move(drawQR)) {
  connect(&agent_, &Agent::lineAppended, this, &HeadlessConsole::printLine);
  connect(&agent_, &Agent::statusChanged, this, &HeadlessConsole::printStatus);
}

void HeadlessConsole::printLine(const QString& line) {
  // Phone and file names inside the lines are the phone's data; a terminal
  // must not obey escape sequences hidden in them.
  out_ << cli::escapedForTerminal(line.toStdString()) << std::endl;
}

void HeadlessConsole::printStatus() {
  const Server::Status& status = agent_.status();
  if (status.code != code_) {
    code_ = status.code;
    out_ << "code " << code_ << std::endl;
  }
  if (drawQR_ && status.qrPayload != qr_) {
    qr_ = status.qrPayload;
    out_ << "qr " << qr_ << std::endl << drawQR_(qr_) << std::flush;
  }
}

}  // namespace tallowick
