#pragma once

// The two content fingerprints of a scan: the SHA-256 of a whole file, which
// decides exact duplicates, and a 64-bit difference hash of an image with its
// pixel size, which decides similar photos. Every function here may be called
// from any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "shared/json_codec.h"

namespace tallowick::Hashing {

// What the walk saw of a file. A hash taken from a file that no longer
// matches it is worthless (the file was replaced or edited in between).
struct FileStamp {
  std::int64_t size = 0;
  Date modifiedAt;
  friend bool operator==(const FileStamp&, const FileStamp&) = default;
};

struct Perceptual {
  std::uint64_t phash = 0;
  // Pixel size of the full image as its header states it, 0 when unknown.
  int width = 0;
  int height = 0;
  friend bool operator==(const Perceptual&, const Perceptual&) = default;
};

// SHA-256 of the file's content as 64 lower-case hex digits, read in 1 MiB
// chunks. Throws std::system_error when the file cannot be opened or a read
// fails, and when `path` is not a regular file (a FIFO or device is never
// read). A file that shrinks while being read is hashed over what was read.
std::string sha256(const std::string& path);

// As above, but no value unless the file still has `expected` size and
// modification time before and after the read, and every byte was read.
std::optional<std::string> sha256(const std::string& path, const FileStamp& expected);

// The digests of files that share a size, each exactly what
// sha256(paths[i], expected[i]) gives. The files are read side by side,
// chunk by chunk, and the digest of bytes that several files hold alike is
// computed once for all of them: a set of copies costs one digest and a
// comparison per copy.
// At most kFilesSideBySide files are read at a time, so memory stays at
// that many chunks per calling thread however many files are given.
// REQUIRES: paths.size() == expected.size().
std::vector<std::optional<std::string>> sha256Together(const std::vector<std::string>& paths,
                                                       const std::vector<FileStamp>& expected);

// Difference hash of the image upright as displayed: a thumbnail of at most
// 64 pixels, stretched to 9 x 8 grey; bit 63 is set when the top-left pixel
// is brighter than its right-hand neighbour, bit 0 compares the two
// bottom-right pixels. No value when the file is not a decodable image or
// claims more than kMaxImagePixels pixels.
std::optional<Perceptual> perceptual(const std::string& path);

// As above, but no value unless the file still has `expected` size and
// modification time before and after decoding.
std::optional<Perceptual> perceptual(const std::string& path, const FileStamp& expected);

// Number of differing bits, 0 to 64.
int distance(std::uint64_t a, std::uint64_t b);

// 1 MiB: the read size of sha256.
inline constexpr std::size_t kReadChunk = 1 << 20;

inline constexpr std::size_t kFilesSideBySide = 16;

}  // namespace tallowick::Hashing
