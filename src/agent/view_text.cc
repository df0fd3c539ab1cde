#include "agent/view_text.h"

#include <QDateTime>
#include <QLocale>
#include <QStringList>

#include <algorithm>
#include <chrono>

#include "shared/count_text.h"

namespace tallowick {

ViewText::StatusLine ViewText::statusLine(const ServerStatus& status) {
  if (status.scanning) {
    const ServerProgress& p = *status.scanning;
    // `done` may pass the previous scan's count; the line never says more
    // than 100%.
    const std::int64_t percent =
        p.total < 1 ? 0 : std::min<std::int64_t>(100, p.done * 100 / p.total);
    return {tr("Scanning %1%…").arg(percent), Tone::Scanning};
  }
  if (status.phone) {
    return {tr("%1 connected").arg(QString::fromStdString(*status.phone)), Tone::Phone};
  }
  if (status.listening) return {tr("Ready"), Tone::Ready};
  return {tr("Starting…"), Tone::Starting};
}

QColor ViewText::toneColour(Tone tone) {
  switch (tone) {
    case Tone::Scanning:
      return QColor(0xf5, 0x79, 0x00);
    case Tone::Phone:
      return QColor(0x35, 0x84, 0xe4);
    case Tone::Ready:
      return QColor(0x2e, 0xc2, 0x7e);
    case Tone::Starting:
      break;
  }
  return QColor(0x77, 0x77, 0x77);
}

QString ViewText::summaryLine(const ServerStatus& status) {
  QStringList parts;
  if (status.files > 0) parts << counted(status.files, "file", "files");
  if (status.groups > 0) parts << counted(status.groups, "group", "groups");
  if (status.pendingCount >= 1) {
    parts << tr("%1 pending · ").arg(status.pendingCount) + byteCount(status.pendingBytes);
  }
  if (parts.isEmpty()) return tr("nothing to clean up");
  return parts.join(QStringLiteral(" · "));
}

QString ViewText::codeText(const std::string& code) {
  const QString text = QString::fromStdString(code);
  if (text.size() != 6) return text;
  return QStringList{text[0], text[1], text[2]}.join(' ') + QStringLiteral("  ") +
         QStringList{text[3], text[4], text[5]}.join(' ');
}

std::optional<double> ViewText::scanFraction(const ServerProgress& progress) {
  if (progress.total < 1) return std::nullopt;
  return std::min(1.0, static_cast<double>(progress.done) / static_cast<double>(progress.total));
}

QString ViewText::scanProgressText(const ServerProgress& progress) {
  if (progress.total < 1) return counted(progress.done, "file", "files");
  return tr("%1 of ~%2").arg(progress.done).arg(progress.total);
}

QString ViewText::lastScanLine(const std::optional<Date>& scannedAt, Date now) {
  if (!scannedAt) return tr("Not scanned yet");
  return tr("Last scan %1").arg(relativeDate(*scannedAt, now));
}

QString ViewText::relativeDate(Date then, Date now) {
  using namespace std::chrono;
  const auto seconds = duration_cast<std::chrono::seconds>(now - then).count();
  // A date a little in the future (another machine's clock) reads as now.
  if (seconds < 60) return tr("just now");
  if (seconds < 3600) {
    const auto minutes = seconds / 60;
    return tr("%1 ago").arg(counted(minutes, "minute", "minutes"));
  }
  const QDate today = QDateTime::fromSecsSinceEpoch(
                          duration_cast<std::chrono::seconds>(now.time_since_epoch()).count())
                          .date();
  const QDate day = QDateTime::fromSecsSinceEpoch(
                        duration_cast<std::chrono::seconds>(then.time_since_epoch()).count())
                        .date();
  const qint64 days = day.daysTo(today);
  if (days < 1) {
    const auto hours = seconds / 3600;
    return tr("%1 ago").arg(counted(hours, "hour", "hours"));
  }
  if (days == 1) return tr("yesterday");
  if (days < 7) return tr("%1 ago").arg(counted(days, "day", "days"));
  return QLocale().toString(day, QLocale::ShortFormat);
}

QString ViewText::byteCount(std::int64_t bytes) {
  if (bytes == 1) return tr("1 byte");
  if (bytes < 1000) return tr("%1 bytes").arg(std::max<std::int64_t>(0, bytes));
  return QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat);
}

QString ViewText::counted(std::int64_t count, const char* one, const char* many) {
  return QString::fromStdString(countText(count, one, many));
}

QString ViewText::homeRelativePath(const std::string& path, const std::string& home) {
  std::string base = home;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  if (!base.empty() && base != "/") {
    if (path == base) return QStringLiteral("~");
    if (path.size() > base.size() && path.compare(0, base.size(), base) == 0 &&
        path[base.size()] == '/') {
      return QStringLiteral("~") + QString::fromStdString(path.substr(base.size()));
    }
  }
  return QString::fromStdString(path);
}

}  // namespace tallowick
