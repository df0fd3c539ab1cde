#include "core/media/jpeg_grey.h"

// jpeglib.h needs size_t and FILE declared before it.
#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>

namespace tallowick {
namespace {

// libjpeg reports a fatal error by calling error_exit, which must not
// return; the decoder jumps back to where it started.
struct ErrorManager {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
};

[[noreturn]] void onFatalError(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->jump, 1);
}

// Warnings (a damaged or truncated stream) are not printed: the decoder
// goes on, and what it cannot read comes out grey.
void onMessage(j_common_ptr, int) {}

// The libjpeg state of one decode; destroyed on every exit, including after
// a fatal error.
struct Decoder {
  jpeg_decompress_struct cinfo{};
  ErrorManager errors{};

  Decoder() {
    cinfo.err = jpeg_std_error(&errors.pub);
    errors.pub.error_exit = onFatalError;
    errors.pub.emit_message = onMessage;
    jpeg_create_decompress(&cinfo);
  }
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;
  ~Decoder() { jpeg_destroy_decompress(&cinfo); }
};

int orientationFromMarkers(jpeg_saved_marker_ptr marker) {
  for (; marker; marker = marker->next) {
    if (marker->marker != JPEG_APP0 + 1) continue;
    const std::span<const std::uint8_t> payload(marker->data, marker->data_length);
    if (payload.size() >= 6 && std::memcmp(payload.data(), "Exif\0\0", 6) == 0) {
      return exifOrientation(payload);
    }
  }
  return 1;
}

// Every libjpeg call happens in here, under the jump target set at its
// start; nothing in this frame needs destroying, and after a jump only
// `out` (owned by the caller) is looked at. Writes the picture into `out`.
JpegGreyStatus runDecoder(Decoder& decoder, std::span<const std::uint8_t> file, int minLongerSide,
                          long long maxPixels, JpegGrey& out) {
  jpeg_decompress_struct& cinfo = decoder.cinfo;
  if (setjmp(decoder.errors.jump) != 0) return JpegGreyStatus::failed;

  // An empty file is a fatal error here. One that ends early is given an
  // end marker, with a warning: the rest of the picture comes out grey.
  jpeg_mem_src(&cinfo, file.data(), static_cast<unsigned long>(file.size()));
  jpeg_save_markers(&cinfo, JPEG_APP0 + 1, 0xFFFF);
  if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) return JpegGreyStatus::failed;
  out.width = static_cast<int>(cinfo.image_width);
  out.height = static_cast<int>(cinfo.image_height);
  if (out.width <= 0 || out.height <= 0) return JpegGreyStatus::failed;
  if (static_cast<long long>(out.width) * out.height > maxPixels) return JpegGreyStatus::failed;
  if (cinfo.jpeg_color_space != JCS_YCbCr && cinfo.jpeg_color_space != JCS_GRAYSCALE) {
    return JpegGreyStatus::unsupported;
  }
  out.orientation = orientationFromMarkers(cinfo.marker_list);

  cinfo.out_color_space = JCS_GRAYSCALE;
  cinfo.scale_num = 1;
  cinfo.scale_denom = static_cast<unsigned>(jpegScaleDownFor(out.width, out.height, minLongerSide));
  jpeg_start_decompress(&cinfo);
  out.scaledWidth = static_cast<int>(cinfo.output_width);
  out.scaledHeight = static_cast<int>(cinfo.output_height);
  out.pixels.resize(static_cast<std::size_t>(out.scaledWidth) * out.scaledHeight);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = out.pixels.data() + std::size_t{cinfo.output_scanline} * out.scaledWidth;
    if (jpeg_read_scanlines(&cinfo, &row, 1) != 1) return JpegGreyStatus::failed;
  }
  jpeg_finish_decompress(&cinfo);
  return JpegGreyStatus::decoded;
}

std::uint16_t read16(const std::uint8_t* p, bool bigEndian) {
  return bigEndian ? static_cast<std::uint16_t>(p[0] << 8 | p[1])
                   : static_cast<std::uint16_t>(p[1] << 8 | p[0]);
}

std::uint32_t read32(const std::uint8_t* p, bool bigEndian) {
  return bigEndian ? std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 |
                         std::uint32_t{p[2]} << 8 | p[3]
                   : std::uint32_t{p[3]} << 24 | std::uint32_t{p[2]} << 16 |
                         std::uint32_t{p[1]} << 8 | p[0];
}

}  // namespace

bool looksLikeJpeg(std::span<const std::uint8_t> head) {
  return head.size() >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF;
}

int jpegScaleDownFor(long long width, long long height, int minLongerSide) {
  const long long longer = std::max(width, height);
  for (int denominator : {8, 4, 2}) {
    if (longer / denominator >= minLongerSide) return denominator;
  }
  return 1;
}

int exifOrientation(std::span<const std::uint8_t> app1) {
  constexpr std::uint16_t kOrientationTag = 0x0112;
  constexpr std::uint16_t kShortType = 3;
  if (app1.size() < 6 || std::memcmp(app1.data(), "Exif\0\0", 6) != 0) return 1;
  // The TIFF structure; its offsets count from here.
  const std::span<const std::uint8_t> tiff = app1.subspan(6);
  if (tiff.size() < 8) return 1;
  bool bigEndian;
  if (tiff[0] == 'M' && tiff[1] == 'M') {
    bigEndian = true;
  } else if (tiff[0] == 'I' && tiff[1] == 'I') {
    bigEndian = false;
  } else {
    return 1;
  }
  if (read16(&tiff[2], bigEndian) != 42) return 1;
  const std::uint32_t ifd = read32(&tiff[4], bigEndian);
  if (ifd > tiff.size() || tiff.size() - ifd < 2) return 1;
  const std::uint16_t entries = read16(&tiff[ifd], bigEndian);
  for (std::uint32_t i = 0; i < entries; ++i) {
    const std::size_t at = ifd + 2 + std::size_t{i} * 12;
    if (at + 12 > tiff.size()) return 1;
    if (read16(&tiff[at], bigEndian) != kOrientationTag) continue;
    if (read16(&tiff[at + 2], bigEndian) != kShortType || read32(&tiff[at + 4], bigEndian) != 1) {
      return 1;
    }
    const int value = read16(&tiff[at + 8], bigEndian);
    return value >= 1 && value <= 8 ? value : 1;
  }
  return 1;
}

JpegGreyResult decodeJpegGrey(std::span<const std::uint8_t> file, int minLongerSide,
                              long long maxPixels) {
  JpegGreyResult result;
  Decoder decoder;
  result.status = runDecoder(decoder, file, minLongerSide, maxPixels, result.image);
  if (result.status != JpegGreyStatus::decoded) result.image.pixels.clear();
  return result;
}

}  // namespace tallowick
