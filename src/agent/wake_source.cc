#include "agent/wake_source.h"

#include <QDBusConnection>

namespace tallowick {
namespace {

constexpr const char* kService = "org.freedesktop.login1";
constexpr const char* kPath = "/org/freedesktop/login1";
constexpr const char* kInterface = "org.freedesktop.login1.Manager";
constexpr const char* kSignal = "PrepareForSleep";

}  // namespace

std::unique_ptr<LogindWakeSource> LogindWakeSource::connectSystemBus() {
  QDBusConnection bus = QDBusConnection::systemBus();
  if (!bus.isConnected()) return nullptr;
  std::unique_ptr<LogindWakeSource> source(new LogindWakeSource());
  // Matched by the sender's name, so no other client of the bus can fake a
  // wake.
  if (!bus.connect(kService, kPath, kInterface, kSignal, source.get(),
                   SLOT(prepareForSleep(bool)))) {
    return nullptr;
  }
  return source;
}

LogindWakeSource::~LogindWakeSource() {
  QDBusConnection::systemBus().disconnect(kService, kPath, kInterface, kSignal, this,
                                          SLOT(prepareForSleep(bool)));
}

void LogindWakeSource::prepareForSleep(bool start) {
  if (!start) Q_EMIT woke();
}

}  // namespace tallowick
