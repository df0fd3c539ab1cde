#pragma once

// The pairing QR code: the symbol of a payload, and that symbol drawn with
// text characters so a phone can scan it off a terminal.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallowick {

class QRCode {
 public:
  // The smallest symbol that holds `payload` at error-correction level M, or
  // no value when the payload is too long for any QR symbol.
  static std::optional<QRCode> encode(std::string_view payload);

  // Modules per side, without the quiet zone.
  int width() const { return width_; }
  // REQUIRES: 0 <= x, y < width().
  bool dark(int x, int y) const { return modules_[static_cast<std::size_t>(y * width_ + x)]; }

 private:
  QRCode(int width, std::vector<bool> modules) : width_(width), modules_(std::move(modules)) {}

  int width_;
  std::vector<bool> modules_;  // row by row
};

// Light modules around the symbol on every side; readers need four.
inline constexpr int kQRQuietZone = 4;

// `code` with its quiet zone, one text line per two module rows (upper and
// lower half blocks), one column per module, each line ending in "\n". Every
// line sets its own colours (black on white) and resets them at its end, so
// the code reads the same on light and dark terminals. No value when it is
// wider than `maxColumns`.
std::optional<std::string> terminalQRCode(const QRCode& code, int maxColumns = 80);

}  // namespace tallowick
