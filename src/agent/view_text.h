#pragma once
// The texts the tray views show, worked out from the agent's state: the
// status line and its colour, the summary and scan lines, the pairing code
// as it is printed, byte counts and relative dates in the desktop's usual
// wording, and folder paths with the home folder shortened to "~". Kept
// apart from the widgets so each rule is checked without drawing anything.

#include <QColor>
#include <QCoreApplication>
#include <QString>

#include <cstdint>
#include <optional>
#include <string>

#include "core/server/server_status.h"
#include "shared/json_codec.h"

namespace tallowick {

class ViewText {
  Q_DECLARE_TR_FUNCTIONS(ViewText)

 public:
  enum class Tone { Scanning, Phone, Ready, Starting };
  struct StatusLine {
    QString text;
    Tone tone;
    friend bool operator==(const StatusLine&, const StatusLine&) = default;
  };

  // "Scanning 40%…", "<phone> connected", "Ready" or "Starting…", first
  // match wins in that order.
  static StatusLine statusLine(const ServerStatus& status);
  // Orange, blue, green; the palette's secondary text for "Starting…".
  static QColor toneColour(Tone tone);
  // "12 files · 3 groups · 2 pending · 4.2 MB", or "nothing to clean up".
  static QString summaryLine(const ServerStatus& status);
  // "1 2 3  4 5 6" for a six-character code, any other code unchanged.
  static QString codeText(const std::string& code);
  // The scan's progress bar: no value while the total is unknown (the bar
  // is indeterminate), else done / total capped at 1.
  static std::optional<double> scanFraction(const ServerProgress& progress);
  // "120 files" while the total is unknown, else "120 of ~400".
  static QString scanProgressText(const ServerProgress& progress);
  // "Not scanned yet" or "Last scan 5 minutes ago".
  static QString lastScanLine(const std::optional<Date>& scannedAt, Date now);
  // "just now", "5 minutes ago", "3 hours ago", "yesterday", "4 days ago",
  // then the date itself.
  static QString relativeDate(Date then, Date now);
  // Decimal units as the desktop's file managers print them ("0 bytes",
  // "1.5 MB").
  static QString byteCount(std::int64_t bytes);
  // "1 folder", "2 folders": countText() for the views.
  static QString counted(std::int64_t count, const char* one, const char* many);
  // `path` with a leading `home` folder written "~"; other paths unchanged.
  static QString homeRelativePath(const std::string& path, const std::string& home);
};

}  // namespace tallowick
