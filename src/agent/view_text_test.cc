#include "agent/view_text.h"

#include <QDate>
#include <QLocale>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

namespace tallowick {
namespace {

using Tone = ViewText::Tone;
using namespace std::chrono;

TEST(ViewTextTest, StatusLineFirstMatchWins) {
  auto scanning = [](std::int64_t done, std::int64_t total) {
    ServerStatus status;
    status.scanning = ServerProgress{done, total};
    // A phone and a listener do not change the line while a scan runs.
    status.phone = "Ann's iPhone";
    status.listening = true;
    return status;
  };
  ServerStatus phone;
  phone.phone = "Ann's iPhone";
  phone.listening = true;
  ServerStatus listening;
  listening.listening = true;
  struct Case {
    ServerStatus status;
    std::string text;
    Tone tone;
  };
  const Case cases[] = {
      {scanning(40, 0), "Scanning 0%…", Tone::Scanning},
      {scanning(1, 3), "Scanning 33%…", Tone::Scanning},
      {scanning(399, 400), "Scanning 99%…", Tone::Scanning},
      {scanning(600, 400), "Scanning 100%…", Tone::Scanning},
      {phone, "Ann's iPhone connected", Tone::Phone},
      {listening, "Ready", Tone::Ready},
      {ServerStatus{}, "Starting…", Tone::Starting},
  };
  for (const Case& c : cases) {
    const ViewText::StatusLine line = ViewText::statusLine(c.status);
    EXPECT_EQ(line.text.toStdString(), c.text);
    EXPECT_EQ(line.tone, c.tone) << c.text;
  }
  // Four different colours.
  EXPECT_NE(ViewText::toneColour(Tone::Scanning), ViewText::toneColour(Tone::Phone));
  EXPECT_NE(ViewText::toneColour(Tone::Phone), ViewText::toneColour(Tone::Ready));
  EXPECT_NE(ViewText::toneColour(Tone::Ready), ViewText::toneColour(Tone::Starting));
}

TEST(ViewTextTest, SummaryLineJoinsThePartsThatAreThere) {
  struct Case {
    int files, groups, pending;
    std::int64_t pendingBytes;
    std::string text;
  };
  const Case cases[] = {
      {0, 0, 0, 0, "nothing to clean up"},
      {12, 0, 0, 0, "12 files"},
      {0, 3, 0, 0, "3 groups"},
      {12, 3, 0, 0, "12 files · 3 groups"},
      {1, 1, 0, 0, "1 file · 1 group"},
      {0, 0, 2, 4200000, "2 pending · 4.2 MB"},
      {12, 3, 1, 999, "12 files · 3 groups · 1 pending · 999 bytes"},
      // Bytes staged without a file (cannot happen) still say nothing.
      {0, 0, 0, 5000, "nothing to clean up"},
  };
  for (const Case& c : cases) {
    ServerStatus status;
    status.files = c.files;
    status.groups = c.groups;
    status.pendingCount = c.pending;
    status.pendingBytes = c.pendingBytes;
    EXPECT_EQ(ViewText::summaryLine(status).toStdString(), c.text);
  }
}

TEST(ViewTextTest, CodeBlockSpacesSixCharactersOnly) {
  const std::pair<std::string, std::string> cases[] = {
      {"123456", "1 2 3  4 5 6"},
      {"000042", "0 0 0  0 4 2"},
      {"12345", "12345"},
      {"1234567", "1234567"},
      {"", ""},
      {"abcdef", "a b c  d e f"},
  };
  for (const auto& [code, shown] : cases) {
    EXPECT_EQ(ViewText::codeText(code).toStdString(), shown) << code;
  }
}

TEST(ViewTextTest, ScanProgress) {
  struct Case {
    std::int64_t done, total;
    std::optional<double> fraction;
    std::string text;
  };
  const Case cases[] = {
      {0, 0, std::nullopt, "0 files"}, {120, 0, std::nullopt, "120 files"},
      {1, 0, std::nullopt, "1 file"},  {100, 400, 0.25, "100 of ~400"},
      {600, 400, 1.0, "600 of ~400"},  // the bar is full, not beyond
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ViewText::scanFraction({c.done, c.total}), c.fraction) << c.text;
    EXPECT_EQ(ViewText::scanProgressText({c.done, c.total}).toStdString(), c.text);
  }
}

TEST(ViewTextTest, RelativeDatesAndLastScanLine) {
  // Noon, so "yesterday" and "hours ago" do not depend on the time zone's
  // midnight.
  const Date now = sys_days{2026y / 12 / 10} + hours(12);
  const std::pair<Date, std::string> cases[] = {
      {now, "just now"},
      {now + seconds(30), "just now"},
      {now - seconds(59), "just now"},
      {now - minutes(1), "1 minute ago"},
      {now - minutes(5), "5 minutes ago"},
      {now - hours(1), "1 hour ago"},
      {now - hours(3), "3 hours ago"},
      {now - hours(24), "yesterday"},
      {now - days(4), "4 days ago"},
  };
  for (const auto& [then, text] : cases) {
    EXPECT_EQ(ViewText::relativeDate(then, now).toStdString(), text);
  }
  // Older dates are the date itself.
  EXPECT_EQ(ViewText::relativeDate(now - days(30), now),
            QLocale().toString(QDate(2026, 11, 10), QLocale::ShortFormat));
  EXPECT_EQ(ViewText::lastScanLine(std::nullopt, now).toStdString(), "Not scanned yet");
  EXPECT_EQ(ViewText::lastScanLine(now - minutes(5), now).toStdString(), "Last scan 5 minutes ago");
}

TEST(ViewTextTest, ByteCounts) {
  const std::pair<std::int64_t, std::string> cases[] = {
      {0, "0 bytes"},   {1, "1 byte"},       {999, "999 bytes"},
      {1500, "1.5 kB"}, {4200000, "4.2 MB"}, {3100000000, "3.1 GB"},
  };
  for (const auto& [bytes, text] : cases) {
    EXPECT_EQ(ViewText::byteCount(bytes).toStdString(), text);
  }
}

TEST(ViewTextTest, HomeFolderIsWrittenAsTilde) {
  struct Case {
    std::string path, home, shown;
  };
  const Case cases[] = {
      {"/home/ann/Pictures", "/home/ann", "~/Pictures"},
      {"/home/ann/Pictures", "/home/ann/", "~/Pictures"},
      {"/home/ann", "/home/ann", "~"},
      {"/home/anna/Pictures", "/home/ann", "/home/anna/Pictures"},
      {"/media/disk/Photos", "/home/ann", "/media/disk/Photos"},
      {"/srv/x", "/", "/srv/x"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ViewText::homeRelativePath(c.path, c.home).toStdString(), c.shown);
  }
}

}  // namespace
}  // namespace tallowick
