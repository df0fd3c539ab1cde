#include "core/media/jpeg_dc.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace tallowick {
namespace {

// Codes of up to this many bits are decoded with one table lookup.
constexpr int kLookahead = 10;
constexpr int kLookaheadSize = 1 << kLookahead;
// Bits looked at to skip two AC codes in one lookup.
constexpr int kPairLookahead = 12;

// A pair entry: the first code's skip bits (bits 0-7) and advance (8-12);
// whether a second code is known (13); its skip bits (14-21) and advance
// (22-26). 0: the first code is longer than the single lookahead.
constexpr std::uint32_t kHasSecond = 1u << 13;

struct HuffmanTable {
  bool defined = false;
  // Indexed by the next kLookahead bits. For a code of at most kLookahead
  // bits: its length and symbol (length 0: a longer code, or none).
  std::array<std::uint8_t, kLookaheadSize> length{};
  std::array<std::uint8_t, kLookaheadSize> symbol{};
  // For AC codes, in one entry so one load serves: the bits the code and
  // its magnitude bits take together (low byte), and how many coefficient
  // positions it covers (high byte; 0: the block ends). 0: slow path.
  std::array<std::uint16_t, kLookaheadSize> skip{};
  // Two AC codes at once where the first leaves room in kPairLookahead bits
  // to recognise the second; see pairEntry.
  std::vector<std::uint32_t> pairs;
  // Canonical decoding of any code (ITU T.81 F.2.2.3): the largest code of
  // each length (-1: none) and the offset from a code to its symbol.
  std::array<std::int32_t, 17> maxCode{};
  std::array<std::int32_t, 17> valueOffset{};
  std::array<std::uint8_t, 256> values{};
};

// How AC symbol `rs` is skipped: libjpeg ends the block on a zero
// magnitude unless the run is 15 (sixteen zeros).
void setSkip(HuffmanTable& table, int entry, int codeLength, std::uint8_t rs) {
  const int run = rs >> 4;
  const int magnitude = rs & 15;
  const int bits = codeLength + magnitude;
  const int advance = magnitude != 0 ? run + 1 : run == 15 ? 16 : 0;
  table.skip[entry] = static_cast<std::uint16_t>(bits | advance << 8);
}

// Builds `table` from a DHT segment's counts and symbols; false where
// libjpeg would refuse the table.
bool buildTable(HuffmanTable& table, const std::uint8_t* counts, const std::uint8_t* symbols,
                int total, bool isDC) {
  table = HuffmanTable{};
  std::copy(symbols, symbols + total, table.values.begin());
  int code = 0;
  int index = 0;
  for (int length = 1; length <= 16; ++length) {
    const int count = counts[length - 1];
    table.valueOffset[length] = index - code;
    for (int i = 0; i < count; ++i, ++code, ++index) {
      // More codes than the length allows; libjpeg refuses the all-ones
      // code too.
      if (code + 1 >= (1 << length)) return false;
      if (length <= kLookahead) {
        const int shift = kLookahead - length;
        for (int entry = code << shift; entry < (code + 1) << shift; ++entry) {
          table.length[entry] = static_cast<std::uint8_t>(length);
          table.symbol[entry] = table.values[index];
          if (!isDC) setSkip(table, entry, length, table.values[index]);
        }
      }
    }
    table.maxCode[length] = count > 0 ? code - 1 : -1;
    code <<= 1;
  }
  if (isDC) {
    for (int i = 0; i < total; ++i) {
      if (table.values[i] > 15) return false;
    }
  } else {
    table.pairs.assign(1 << kPairLookahead, 0);
    for (std::uint32_t look = 0; look < table.pairs.size(); ++look) {
      const std::uint16_t first = table.skip[look >> (kPairLookahead - kLookahead)];
      if (first == 0) continue;
      std::uint32_t entry = first & 0x1FFF;
      const int firstBits = first & 0xFF;
      const int room = kPairLookahead - firstBits;
      if ((first >> 8) != 0 && room > 0) {
        // The next kLookahead bits after the first code, unknown ones zero:
        // the second code is known if it fits in the bits that are.
        const std::uint32_t next =
            ((look << firstBits) & ((1u << kPairLookahead) - 1)) >> (kPairLookahead - kLookahead);
        const int secondLength = table.length[next];
        if (secondLength != 0 && secondLength <= room) {
          const std::uint16_t second = table.skip[next];
          entry |= kHasSecond | std::uint32_t{second & 0xFFu} << 14 |
                   static_cast<std::uint32_t>(second >> 8) << 22;
        }
      }
      table.pairs[look] = entry;
    }
  }
  table.defined = true;
  return true;
}

// Reads the entropy-coded data: bytes 0xFF 0x00 stand for 0xFF, and a
// marker ends the data, after which zero bits are supplied (as libjpeg
// does) and counted, so that using any of them can be detected.
class BitReader {
 public:
  BitReader(const std::uint8_t* begin, const std::uint8_t* end) : p_(begin), end_(end) {}

  // At least 32 bits are then at hand.
  void ensure() {
    if (bits_ < 32) fill();
  }
  std::uint32_t peek(int n) const { return static_cast<std::uint32_t>(buffer_ >> (64 - n)); }
  void skip(int n) {
    buffer_ <<= n;
    bits_ -= n;
  }
  std::uint32_t take(int n) {
    const std::uint32_t value = peek(n);
    skip(n);
    return value;
  }
  // Skips one block's AC codes; false on a bit pattern that is no code.
  // The bit buffer lives in registers for the loop: this is where nearly
  // all the time goes, one table lookup per code.
  bool skipAC(const HuffmanTable& table) {
    std::uint64_t buffer = buffer_;
    int bits = bits_;
    bool ok = true;
    for (int k = 1; k < 64;) {
      if (bits < 32) {
        buffer_ = buffer, bits_ = bits;
        fill();
        buffer = buffer_, bits = bits_;
      }
      const std::uint32_t entry = table.pairs[buffer >> (64 - kPairLookahead)];
      if (entry != 0) {
        int used = entry & 0xFF;
        const int advance = (entry >> 8) & 31;
        if (advance == 0) {
          buffer <<= used;
          bits -= used;
          break;
        }
        k += advance;
        // The second code belongs to this block only if the first did not
        // fill it.
        if ((entry & kHasSecond) != 0 && k < 64) {
          used += (entry >> 14) & 0xFF;
          const int secondAdvance = (entry >> 22) & 31;
          buffer <<= used;
          bits -= used;
          if (secondAdvance == 0) break;
          k += secondAdvance;
          continue;
        }
        buffer <<= used;
        bits -= used;
        continue;
      }
      buffer_ = buffer, bits_ = bits;
      const int rs = decodeLongSymbol(table);
      buffer = buffer_, bits = bits_;
      if (rs < 0) {
        ok = false;
        break;
      }
      const int run = rs >> 4;
      const int magnitude = rs & 15;
      if (magnitude == 0) {
        if (run != 15) break;
        k += 16;
      } else {
        buffer <<= magnitude;
        bits -= magnitude;
        k += run + 1;
      }
    }
    buffer_ = buffer, bits_ = bits;
    return ok;
  }

  // A code longer than the lookahead; -1 for a bit pattern that is no code.
  int decodeLongSymbol(const HuffmanTable& table) {
    for (int length = 1; length <= 16; ++length) {
      const auto code = static_cast<std::int32_t>(peek(length));
      if (code <= table.maxCode[length]) {
        skip(length);
        return table.values[static_cast<std::size_t>(code + table.valueOffset[length])];
      }
    }
    return -1;
  }

  // Whether a bit past the end of the data has been used.
  bool overran() const { return bits_ < padded_; }

  // Moves past restart marker `number` (0 to 7), dropping the rest of the
  // current byte; false when the marker is not right there.
  bool restart(int number) {
    if (overran()) return false;
    buffer_ = 0;
    bits_ = 0;
    padded_ = 0;
    if (end_ - p_ < 2 || p_[0] != 0xFF) return false;
    while (p_ < end_ && *p_ == 0xFF) ++p_;
    if (p_ == end_ || *p_ != 0xD0 + number) return false;
    ++p_;
    return true;
  }

 private:
  void fill() {
    while (bits_ <= 56) {
      if (end_ - p_ >= 8) {
        // Whole bytes at once while none of them is 0xFF.
        std::uint64_t word;
        std::memcpy(&word, p_, 8);
        word = __builtin_bswap64(word);
        const std::uint64_t inverted = ~word;
        const bool anyFF = ((inverted - 0x0101010101010101ull) & ~inverted & 0x8080808080808080ull);
        if (!anyFF) {
          const int bytes = (64 - bits_) / 8;
          const std::uint64_t top = bytes == 8 ? word : word & ~(~0ull >> (8 * bytes));
          buffer_ |= top >> bits_;
          bits_ += 8 * bytes;
          p_ += bytes;
          continue;
        }
      }
      std::uint8_t byte = 0;
      if (p_ < end_ && *p_ != 0xFF) {
        byte = *p_++;
      } else if (end_ - p_ >= 2 && p_[1] == 0x00) {
        byte = 0xFF;
        p_ += 2;
      } else {
        padded_ += 8;  // a marker, or the end of the file
      }
      buffer_ |= std::uint64_t{byte} << (56 - bits_);
      bits_ += 8;
    }
  }

  const std::uint8_t* p_;
  const std::uint8_t* end_;
  std::uint64_t buffer_ = 0;
  int bits_ = 0;
  int padded_ = 0;
};

// One symbol; -1 for a bit pattern that is no code.
// REQUIRES: reader.ensure() since the last read.
int decodeSymbol(BitReader& reader, const HuffmanTable& table) {
  const std::uint32_t look = reader.peek(kLookahead);
  if (const int length = table.length[look]; length != 0) {
    reader.skip(length);
    return table.symbol[look];
  }
  return reader.decodeLongSymbol(table);
}

// The DC difference; false on a bit pattern that is no code.
bool decodeDC(BitReader& reader, const HuffmanTable& table, int& difference) {
  reader.ensure();
  const int size = decodeSymbol(reader, table);
  if (size < 0) return false;
  difference = 0;
  if (size > 0) {
    const int bits = static_cast<int>(reader.take(size));
    difference = bits < (1 << (size - 1)) ? bits - (1 << size) + 1 : bits;
  }
  return true;
}

// libjpeg's limiting of a sample after the inverse transform (its
// "post-IDCT" table, indexed by the value masked to 10 bits).
std::uint8_t rangeLimited(int value) {
  const int index = value & 1023;
  if (index < 128) return static_cast<std::uint8_t>(index + 128);
  if (index < 512) return 255;
  if (index < 896) return 0;
  return static_cast<std::uint8_t>(index - 896);
}

struct FrameComponent {
  int id = 0;
  int h = 1, v = 1;
  int quantTable = 0;
};

struct ScanComponent {
  int frameIndex = 0;
  int dcTable = 0, acTable = 0;
};

std::uint16_t be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

class DcDecoder {
 public:
  explicit DcDecoder(std::span<const std::uint8_t> file) : file_(file) {}

  std::optional<JpegGrey> run(int minLongerSide, long long maxPixels) {
    const std::uint8_t* data = file_.data();
    const std::size_t size = file_.size();
    if (size < 4 || data[0] != 0xFF || data[1] != 0xD8) return std::nullopt;
    std::size_t pos = 2;
    for (;;) {
      // A marker: 0xFF, any fill bytes 0xFF, the code.
      if (pos >= size || data[pos] != 0xFF) return std::nullopt;
      while (pos < size && data[pos] == 0xFF) ++pos;
      if (pos + 2 >= size) return std::nullopt;
      const int marker = data[pos++];
      // Every marker met before the scan carries a length.
      const std::size_t length = be16(&data[pos]);
      if (length < 2 || pos + length > size) return std::nullopt;
      const std::span<const std::uint8_t> segment(&data[pos + 2], length - 2);
      pos += length;
      bool ok = true;
      switch (marker) {
        case 0xC0:
        case 0xC1:  // baseline and extended sequential, Huffman-coded
          ok = readFrame(segment);
          break;
        case 0xC4:
          ok = readHuffmanTables(segment);
          break;
        case 0xDB:
          ok = readQuantTables(segment);
          break;
        case 0xDD:
          ok = segment.size() >= 2;
          if (ok) restartInterval_ = be16(segment.data());
          break;
        case 0xE0:
          if (segment.size() >= 5 && std::memcmp(segment.data(), "JFIF\0", 5) == 0) sawJfif_ = true;
          break;
        case 0xE1:
          if (orientation_ == 0 && segment.size() >= 6 &&
              std::memcmp(segment.data(), "Exif\0\0", 6) == 0) {
            orientation_ = exifOrientation(segment);
          }
          break;
        case 0xEE:
          sawAdobe_ = true;  // its colour transform is libjpeg's to interpret
          break;
        case 0xDA:
          return scan(segment, pos, minLongerSide, maxPixels);
        default:
          // Other frame types (progressive, lossless, arithmetic) and
          // misplaced markers are libjpeg's; application data is skipped.
          if ((marker >= 0xC2 && marker <= 0xCF) || marker == 0xD8 || marker == 0xD9 ||
              (marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) {
            return std::nullopt;
          }
      }
      if (!ok) return std::nullopt;
    }
  }

 private:
  bool readFrame(std::span<const std::uint8_t> s) {
    if (haveFrame_ || s.size() < 6 || s[0] != 8) return false;  // 8-bit samples only
    height_ = be16(&s[1]);
    width_ = be16(&s[3]);
    const int count = s[5];
    if (width_ == 0 || height_ == 0 || (count != 1 && count != 3)) return false;
    if (s.size() < 6 + 3 * static_cast<std::size_t>(count)) return false;
    for (int i = 0; i < count; ++i) {
      FrameComponent c;
      c.id = s[6 + 3 * i];
      c.h = s[7 + 3 * i] >> 4;
      c.v = s[7 + 3 * i] & 15;
      c.quantTable = s[8 + 3 * i];
      if (c.h < 1 || c.h > 4 || c.v < 1 || c.v > 4 || c.quantTable > 3) return false;
      components_.push_back(c);
    }
    haveFrame_ = true;
    return true;
  }

  bool readHuffmanTables(std::span<const std::uint8_t> s) {
    std::size_t at = 0;
    while (at < s.size()) {
      if (s.size() - at < 17) return false;
      const int tableClass = s[at] >> 4;
      const int id = s[at] & 15;
      if (tableClass > 1 || id > 3) return false;
      const std::uint8_t* counts = &s[at + 1];
      int total = 0;
      for (int i = 0; i < 16; ++i) total += counts[i];
      at += 17;
      if (total > 256 || s.size() - at < static_cast<std::size_t>(total)) return false;
      HuffmanTable& table = tableClass == 0 ? dcTables_[id] : acTables_[id];
      if (!buildTable(table, counts, &s[at], total, tableClass == 0)) return false;
      at += static_cast<std::size_t>(total);
    }
    return true;
  }

  bool readQuantTables(std::span<const std::uint8_t> s) {
    std::size_t at = 0;
    while (at < s.size()) {
      const int precision = s[at] >> 4;
      const int id = s[at] & 15;
      const std::size_t bytes = precision == 0 ? 64 : 128;
      if (precision > 1 || id > 3 || s.size() - at - 1 < bytes) return false;
      quant_[id] = precision == 0 ? s[at + 1] : be16(&s[at + 1]);
      haveQuant_[id] = true;
      at += 1 + bytes;
    }
    return true;
  }

  // Reads the scan header at `s` and the entropy-coded data from `pos`.
  std::optional<JpegGrey> scan(std::span<const std::uint8_t> s, std::size_t pos, int minLongerSide,
                               long long maxPixels) {
    if (!haveFrame_ || s.empty()) return std::nullopt;
    if (static_cast<long long>(width_) * height_ > maxPixels) return std::nullopt;
    if (std::max(width_, height_) / 8 < minLongerSide) return std::nullopt;
    const int count = s[0];
    // One scan with every component: baseline as cameras and editors write it.
    if (count != static_cast<int>(components_.size()) || s.size() < 4 + 2 * std::size_t(count)) {
      return std::nullopt;
    }
    if (count == 3) {
      // Colour spaces other than YCbCr are libjpeg's to convert.
      const bool rgbIds =
          components_[0].id == 'R' && components_[1].id == 'G' && components_[2].id == 'B';
      if (sawAdobe_ || (rgbIds && !sawJfif_)) return std::nullopt;
    }
    std::vector<ScanComponent> order;
    for (int i = 0; i < count; ++i) {
      const int id = s[1 + 2 * i];
      auto found = std::find_if(components_.begin(), components_.end(),
                                [id](const FrameComponent& c) { return c.id == id; });
      if (found == components_.end()) return std::nullopt;
      ScanComponent sc;
      sc.frameIndex = static_cast<int>(found - components_.begin());
      sc.dcTable = s[2 + 2 * i] >> 4;
      sc.acTable = s[2 + 2 * i] & 15;
      if (sc.dcTable > 3 || sc.acTable > 3 || !dcTables_[sc.dcTable].defined ||
          !acTables_[sc.acTable].defined) {
        return std::nullopt;
      }
      for (const auto& other : order) {
        if (other.frameIndex == sc.frameIndex) return std::nullopt;
      }
      order.push_back(sc);
    }
    const std::size_t tail = 1 + 2 * std::size_t(count);
    if (s[tail] != 0 || s[tail + 1] != 63 || s[tail + 2] != 0) return std::nullopt;

    const FrameComponent& luma = components_[0];
    const int hMax = std::max_element(components_.begin(), components_.end(), [](auto& a, auto& b) {
                       return a.h < b.h;
                     })->h;
    const int vMax = std::max_element(components_.begin(), components_.end(), [](auto& a, auto& b) {
                       return a.v < b.v;
                     })->v;
    if (luma.h != hMax || luma.v != vMax || !haveQuant_[luma.quantTable]) return std::nullopt;
    const int q0 = quant_[luma.quantTable];
    if (q0 > 32767) return std::nullopt;  // libjpeg holds it in 16 signed bits

    JpegGrey out;
    out.width = width_;
    out.height = height_;
    out.orientation = orientation_ == 0 ? 1 : orientation_;
    out.scaledWidth = (width_ + 7) / 8;
    out.scaledHeight = (height_ + 7) / 8;
    out.pixels.resize(static_cast<std::size_t>(out.scaledWidth) * out.scaledHeight);

    // A lone component is coded block by block; several, in MCUs holding
    // h x v blocks of each.
    const bool interleaved = count > 1;
    const int mcuWidth = interleaved ? 8 * hMax : 8;
    const int mcuHeight = interleaved ? 8 * vMax : 8;
    const int mcusAcross = (width_ + mcuWidth - 1) / mcuWidth;
    const int mcusDown = (height_ + mcuHeight - 1) / mcuHeight;

    BitReader reader(file_.data() + pos, file_.data() + file_.size());
    std::array<int, 3> predictions{};
    int untilRestart = restartInterval_;
    int nextRestart = 0;
    for (int my = 0; my < mcusDown; ++my) {
      for (int mx = 0; mx < mcusAcross; ++mx) {
        if (restartInterval_ != 0) {
          if (untilRestart == 0) {
            if (!reader.restart(nextRestart)) return std::nullopt;
            nextRestart = (nextRestart + 1) & 7;
            untilRestart = restartInterval_;
            predictions = {};
          }
          --untilRestart;
        }
        for (const ScanComponent& sc : order) {
          const FrameComponent& fc = components_[static_cast<std::size_t>(sc.frameIndex)];
          const int blocksAcross = interleaved ? fc.h : 1;
          const int blocksDown = interleaved ? fc.v : 1;
          const HuffmanTable& dc = dcTables_[sc.dcTable];
          const HuffmanTable& ac = acTables_[sc.acTable];
          int& prediction = predictions[static_cast<std::size_t>(sc.frameIndex)];
          for (int by = 0; by < blocksDown; ++by) {
            for (int bx = 0; bx < blocksAcross; ++bx) {
              int difference;
              if (!decodeDC(reader, dc, difference)) return std::nullopt;
              prediction += difference;
              // libjpeg keeps the coefficient in 16 bits.
              if (prediction < -32768 || prediction > 32767) return std::nullopt;
              if (!reader.skipAC(ac)) return std::nullopt;
              if (sc.frameIndex != 0) continue;
              const int column = mx * blocksAcross + bx;
              const int row = my * blocksDown + by;
              if (column >= out.scaledWidth || row >= out.scaledHeight) continue;
              const int value = (prediction * q0 + 4) >> 3;
              out.pixels[static_cast<std::size_t>(row) * out.scaledWidth + column] =
                  rangeLimited(value);
            }
          }
        }
      }
      // Data that ran out early is libjpeg's to fill in its own way.
      if (reader.overran()) return std::nullopt;
    }
    return out;
  }

  std::span<const std::uint8_t> file_;
  bool haveFrame_ = false;
  int width_ = 0, height_ = 0;
  std::vector<FrameComponent> components_;
  std::array<HuffmanTable, 4> dcTables_;
  std::array<HuffmanTable, 4> acTables_;
  std::array<int, 4> quant_{};
  std::array<bool, 4> haveQuant_{};
  int restartInterval_ = 0;
  int orientation_ = 0;
  bool sawJfif_ = false;
  bool sawAdobe_ = false;
};

}  // namespace

std::optional<JpegGrey> decodeJpegLumaDc(std::span<const std::uint8_t> file, int minLongerSide,
                                         long long maxPixels) {
  DcDecoder decoder(file);
  return decoder.run(minLongerSide, maxPixels);
}

}  // namespace tallowick
