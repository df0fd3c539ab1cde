#pragma once
// Where the agent learns that the machine woke from sleep (after which the
// server restarts its listener: the network may have changed under it).

#include <QObject>

#include <memory>

namespace tallowick {

// Emits woke() after each wake. Tests drive their own.
class WakeSource : public QObject {
  Q_OBJECT

 Q_SIGNALS:
  void woke();
};

// systemd-logind's PrepareForSleep signal on the system bus: its argument is
// true before sleep and false after the wake.
class LogindWakeSource : public WakeSource {
  Q_OBJECT

 public:
  // Null when there is no system bus to listen on (a container, a box
  // without systemd): then the agent simply has no wake observer.
  static std::unique_ptr<LogindWakeSource> connectSystemBus();
  ~LogindWakeSource() override;

 public Q_SLOTS:
  // The signal's handler; `start` false is the wake.
  void prepareForSleep(bool start);

 private:
  LogindWakeSource() = default;
};

}  // namespace tallowick
