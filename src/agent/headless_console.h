#pragma once
// The agent's face without a display: what `tallowick serve` prints, from the
// agent's state. One flushed line per log line the agent appends (the
// server's log lines and "listening on PORT"), and "code NNNNNN" at start and
// whenever it changes. The QR payload carries a key, so "qr PAYLOAD" and the
// QR code itself are printed only on a terminal, never into a log or the
// journal of a service.

#include <QObject>

#include <functional>
#include <ostream>
#include <string>

namespace tallowick {

class Agent;

class HeadlessConsole : public QObject {
  Q_OBJECT

 public:
  // Draws a QR code of a text for a terminal; empty when it cannot.
  using QRDrawer = std::function<std::string(const std::string&)>;

  // Prints to `out` what `agent` shows from now on; the QR payload and its
  // drawing only when `drawQR` is set (the output is a terminal).
  // REQUIRES: `agent` and `out` outlive this object.
  HeadlessConsole(Agent& agent, std::ostream& out, QRDrawer drawQR = nullptr);

 private:
  void printLine(const QString& line);
  void printStatus();

  Agent& agent_;
  std::ostream& out_;
  QRDrawer drawQR_;
  std::string code_;
  std::string qr_;
};

}  // namespace tallowick
