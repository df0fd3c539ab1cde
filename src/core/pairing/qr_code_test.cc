#include "core/pairing/qr_code.h"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/pairing/qr_reader_test_util.h"
#include "shared/pairing_payload.h"

namespace tallowick {
namespace {

using testing::decodeQR;
using testing::Picture;

// The grey levels a terminal paints: its own foreground and background for
// text with no colour set, and its palette's black and white.
struct Scheme {
  const char* name;
  std::uint8_t defaultForeground, defaultBackground, black, white;
};
constexpr Scheme kLight{"light", 0x20, 0xff, 0x00, 0xd3};
constexpr Scheme kDark{"dark", 0xd0, 0x1e, 0x2e, 0xd3};

// Paints `text` as `scheme`'s terminal would: each character cell one module
// wide and two high, `scale` pixels a module. Only the colours and glyphs a
// QR code needs are understood; anything else fails the test.
Picture paint(const std::string& text, const Scheme& scheme, int scale = 4) {
  std::vector<std::vector<std::uint8_t>> rows;  // two per text line
  std::vector<std::uint8_t> top, bottom;
  std::uint8_t fg = scheme.defaultForeground, bg = scheme.defaultBackground;
  auto cell = [&](bool upper, bool lower) {
    top.push_back(upper ? fg : bg);
    bottom.push_back(lower ? fg : bg);
  };
  for (std::size_t i = 0; i < text.size();) {
    auto at = [&](const char* glyph) {
      const std::string g(glyph);
      if (text.compare(i, g.size(), g) != 0) return false;
      i += g.size();
      return true;
    };
    if (at("\033[")) {
      std::size_t end = text.find('m', i);
      EXPECT_NE(end, std::string::npos);
      std::string params = text.substr(i, end - i) + ";";
      i = end + 1;
      for (std::size_t start = 0, semi; (semi = params.find(';', start)) != std::string::npos;
           start = semi + 1) {
        const std::string p = params.substr(start, semi - start);
        if (p == "0" || p.empty()) {
          fg = scheme.defaultForeground;
          bg = scheme.defaultBackground;
        } else if (p == "30") {
          fg = scheme.black;
        } else if (p == "37") {
          fg = scheme.white;
        } else if (p == "40") {
          bg = scheme.black;
        } else if (p == "47") {
          bg = scheme.white;
        } else {
          ADD_FAILURE() << "unexpected colour " << p;
        }
      }
    } else if (at("\n")) {
      rows.push_back(top);
      rows.push_back(bottom);
      top.clear();
      bottom.clear();
    } else if (at(" ")) {
      cell(false, false);
    } else if (at("▀")) {
      cell(true, false);
    } else if (at("▄")) {
      cell(false, true);
    } else if (at("█")) {
      cell(true, true);
    } else {
      ADD_FAILURE() << "unexpected byte " << int(text[i]) << " at " << i;
      ++i;
    }
  }
  EXPECT_TRUE(top.empty()) << "the last line has no newline";
  Picture picture;
  if (rows.empty()) return picture;
  picture.width = static_cast<int>(rows[0].size()) * scale;
  picture.height = static_cast<int>(rows.size()) * scale;
  for (const auto& row : rows) {
    EXPECT_EQ(row.size(), rows[0].size()) << "lines of different widths";
    for (int s = 0; s < scale; ++s) {
      for (std::size_t x = 0; x < rows[0].size(); ++x) {
        picture.grey.insert(picture.grey.end(), scale, x < row.size() ? row[x] : 0);
      }
    }
  }
  return picture;
}

std::string pairingPayload(const std::string& name) {
  return PairingPayload(name, "6F1A2B3C-4D5E-4F60-8172-839405A6B7C8", Bytes(32, 0xA5)).jsonString();
}

TEST(QRCodeTest, TerminalCodeScansOnLightAndDarkTerminals) {
  const std::string payloads[] = {
      "x",
      pairingPayload("Ada’s laptop"),
      pairingPayload(std::string(200, 'n')),
  };
  for (const std::string& payload : payloads) {
    auto code = QRCode::encode(payload);
    ASSERT_TRUE(code) << payload;
    auto text = terminalQRCode(*code);
    ASSERT_TRUE(text) << payload;
    for (const Scheme& scheme : {kLight, kDark}) {
      EXPECT_EQ(decodeQR(paint(*text, scheme)), std::vector<std::string>{payload})
          << scheme.name << " terminal, payload " << payload;
    }
  }
}

TEST(QRCodeTest, TerminalCodeHasFourLightModulesAroundIt) {
  auto code = QRCode::encode(pairingPayload("desk"));
  ASSERT_TRUE(code);
  Picture picture = paint(*terminalQRCode(*code), kLight, 1);
  const int quiet = 4;  // what readers need
  const int side = code->width() + 2 * quiet;
  ASSERT_EQ(picture.width, side);
  ASSERT_EQ(picture.height, side + side % 2);  // an odd side leaves half a line
  for (int y = 0; y < picture.height; ++y) {
    for (int x = 0; x < picture.width; ++x) {
      const bool margin = x < quiet || y < quiet || x >= side - quiet || y >= side - quiet;
      const std::uint8_t grey = picture.grey[static_cast<std::size_t>(y * picture.width + x)];
      const bool wanted = !margin && code->dark(x - quiet, y - quiet);  // dark module
      ASSERT_EQ(grey, wanted ? kLight.black : kLight.white) << x << "," << y;
    }
  }
}

TEST(QRCodeTest, PairingPayloadFitsEightyColumns) {
  // A computer name as long as people give them still fits a standard
  // terminal; a payload far longer does not, and one beyond any QR symbol
  // has no code at all.
  auto pairing = QRCode::encode(pairingPayload(std::string(63, 'n')));
  ASSERT_TRUE(pairing);
  EXPECT_LE(pairing->width() + 2 * kQRQuietZone, 80);
  EXPECT_TRUE(terminalQRCode(*pairing));

  auto wide = QRCode::encode(std::string(1000, 'w'));
  ASSERT_TRUE(wide);
  EXPECT_FALSE(terminalQRCode(*wide, 80));
  EXPECT_TRUE(terminalQRCode(*wide, 1000));

  EXPECT_FALSE(QRCode::encode(std::string(5000, 'z')));
}

}  // namespace
}  // namespace tallowick
