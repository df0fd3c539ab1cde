#include "core/pairing/qr_code.h"

#include <qrencode.h>

#include <algorithm>
#include <memory>
#include <string>

#include "core/pairing/qrencode_functions.h"

namespace tallowick {

namespace {

// ECI designator of UTF-8. Without it byte-mode data means ISO 8859-1, and
// readers guess: zbar reads a name with a typographic apostrophe as
// Shift JIS.
constexpr unsigned kUTF8Designator = 26;

using Symbol = std::unique_ptr<QRcode, decltype(&QRcode_free)>;

Symbol encodeSymbol(std::string_view payload) {
  const bool ascii = std::all_of(payload.begin(), payload.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii) {
    // Lets libqrencode pack runs of digits and capitals more tightly.
    const std::string text(payload);
    return Symbol(QRcode_encodeString(text.c_str(), 0, QR_ECLEVEL_M, QR_MODE_8, 1), &QRcode_free);
  }
  std::unique_ptr<QRinput, decltype(&QRinput_free)> input(QRinput_new2(0, QR_ECLEVEL_M),
                                                          &QRinput_free);
  if (!input || QRinput_appendECIheader(input.get(), kUTF8Designator) != 0 ||
      QRinput_append(input.get(), QR_MODE_8, static_cast<int>(payload.size()),
                     reinterpret_cast<const unsigned char*>(payload.data())) != 0) {
    return Symbol(nullptr, &QRcode_free);
  }
  return Symbol(QRcode_encodeInput(input.get()), &QRcode_free);
}

}  // namespace

std::optional<QRCode> QRCode::encode(std::string_view payload) {
  if (!libqrencode.load()) return std::nullopt;
  Symbol code = encodeSymbol(payload);
  if (!code) return std::nullopt;
  const int width = code->width;
  std::vector<bool> modules(static_cast<std::size_t>(width) * static_cast<std::size_t>(width));
  // Bit 0 of each byte is the module's colour; the others say what it is for.
  for (std::size_t i = 0; i < modules.size(); ++i) modules[i] = (code->data[i] & 1) != 0;
  return QRCode(width, std::move(modules));
}

std::optional<std::string> terminalQRCode(const QRCode& code, int maxColumns) {
  const int size = code.width() + 2 * kQRQuietZone;
  if (size > maxColumns) return std::nullopt;
  auto dark = [&](int x, int y) {
    x -= kQRQuietZone;
    y -= kQRQuietZone;
    return x >= 0 && y >= 0 && x < code.width() && y < code.width() && code.dark(x, y);
  };
  // The foreground draws dark modules and the background light ones; both
  // are set outright rather than left to the terminal's theme, which on a
  // dark terminal would turn the code into its negative.
  static const char* const kCells[2][2] = {{" ", "▄"}, {"▀", "█"}};  // [top][bottom]
  std::string out;
  for (int y = 0; y < size; y += 2) {
    out += "\033[30;47m";
    for (int x = 0; x < size; ++x) out += kCells[dark(x, y)][dark(x, y + 1)];
    out += "\033[0m\n";
  }
  return out;
}

}  // namespace tallowick
