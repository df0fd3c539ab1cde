#pragma once
// A real QR reader for tests: zbar finds the codes in a grey picture.

#include <zbar.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tallowick::testing {

// One byte of grey per pixel, row by row.
struct Picture {
  int width = 0, height = 0;
  std::vector<std::uint8_t> grey;
};

// Every QR code zbar finds in `picture`.
inline std::vector<std::string> decodeQR(const Picture& picture) {
  using namespace zbar;  // the C interface, which the C++ build wraps in a namespace
  zbar_image_scanner_t* scanner = zbar_image_scanner_create();
  zbar_image_scanner_set_config(scanner, ZBAR_NONE, ZBAR_CFG_ENABLE, 0);
  zbar_image_scanner_set_config(scanner, ZBAR_QRCODE, ZBAR_CFG_ENABLE, 1);
  zbar_image_t* image = zbar_image_create();
  zbar_image_set_format(image, zbar_fourcc('Y', '8', '0', '0'));
  zbar_image_set_size(image, static_cast<unsigned>(picture.width),
                      static_cast<unsigned>(picture.height));
  zbar_image_set_data(image, picture.grey.data(), picture.grey.size(), nullptr);
  std::vector<std::string> found;
  if (zbar_scan_image(scanner, image) > 0) {
    for (const zbar_symbol_t* symbol = zbar_image_first_symbol(image); symbol;
         symbol = zbar_symbol_next(symbol)) {
      found.emplace_back(zbar_symbol_get_data(symbol), zbar_symbol_get_data_length(symbol));
    }
  }
  zbar_image_destroy(image);
  zbar_image_scanner_destroy(scanner);
  return found;
}

}  // namespace tallowick::testing
