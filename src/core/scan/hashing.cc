#include "core/scan/hashing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string_view>
#include <system_error>
#include <vector>

#include "core/thumbs/media_module.h"
#include "shared/file_util.h"
#include "shared/read_chunk.h"
#include "shared/unique_fd.h"

namespace tallowick::Hashing {
namespace {

// Opens for reading without touching the access time when we may (only the
// owner or a privileged process may ask for that), and without blocking: a
// FIFO put in the place of a file must not hang the scan. Returns -1 with
// errno set on failure, including when the path is not a regular file.
int openRegularFile(const std::string& path, bool followLink) {
  int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  if (!followLink) flags |= O_NOFOLLOW;
  int fd = ::open(path.c_str(), flags | O_NOATIME);
  if (fd < 0 && errno == EPERM) fd = ::open(path.c_str(), flags);
  if (fd < 0) return -1;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

std::optional<FileStamp> stampOf(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return std::nullopt;
  return FileStamp{static_cast<std::int64_t>(st.st_size),
                   dateFromFileTime(st.st_mtim.tv_sec, st.st_mtim.tv_nsec)};
}

// A SHA-256 computation in progress. A copy carries on from the same point,
// so bytes several files share need hashing once.
class Sha256 {
 public:
  Sha256() : ctx_(EVP_MD_CTX_new()) {
    if (!ctx_ || EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr) != 1) fail();
  }
  Sha256(const Sha256& other) : ctx_(EVP_MD_CTX_new()) {
    if (!ctx_ || EVP_MD_CTX_copy_ex(ctx_.get(), other.ctx_.get()) != 1) fail();
  }
  Sha256(Sha256&&) = default;
  Sha256& operator=(Sha256&&) = default;

  void update(const unsigned char* data, std::size_t size) {
    EVP_DigestUpdate(ctx_.get(), data, size);
  }

  std::string finishHex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(ctx_.get(), digest, &length);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
      hex.push_back(kHex[digest[i] >> 4]);
      hex.push_back(kHex[digest[i] & 0xF]);
    }
    return hex;
  }

 private:
  [[noreturn]] static void fail() {
    throw std::system_error(ENOMEM, std::generic_category(), "sha256 init");
  }

  struct Free {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
  };
  std::unique_ptr<EVP_MD_CTX, Free> ctx_;
};

// The digest as hex. Throws std::system_error on a read failure.
std::string digestOf(int fd) {
  Sha256 sha;
  // One buffer per thread: a fresh megabyte per file would be mapped,
  // zeroed and unmapped again every time.
  thread_local std::vector<unsigned char> buffer(kReadChunk);
  // The kernel may read further ahead for a file read once from start to end.
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  for (;;) {
    ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "read");
    }
    if (n == 0) break;
    sha.update(buffer.data(), static_cast<std::size_t>(n));
  }
  return sha.finishHex();
}

// One file of a sha256Together batch.
struct Member {
  std::size_t index = 0;  // into the caller's lists
  UniqueFd fd;
  std::vector<unsigned char>* buffer = nullptr;
  std::int64_t bytesRead = 0;
  ssize_t chunk = 0;  // bytes in `buffer` from the latest read
};

// Files whose bytes have been alike so far, and the digest of those bytes.
struct Run {
  Sha256 sha;
  std::vector<Member*> members;
};

bool sameChunk(const Member& a, const Member& b) {
  return a.chunk == b.chunk &&
         std::memcmp(a.buffer->data(), b.buffer->data(), static_cast<std::size_t>(a.chunk)) == 0;
}

void digestSideBySide(const std::vector<std::string>& paths, const std::vector<FileStamp>& expected,
                      std::size_t begin, std::size_t end,
                      std::vector<std::optional<std::string>>& out) {
  // Chunks no longer than the files (plus a byte, to see one that grew):
  // sixteen small files need sixteen small buffers, not sixteen megabytes.
  std::int64_t largest = 0;
  for (std::size_t i = begin; i < end; ++i) largest = std::max(largest, expected[i].size);
  const std::size_t chunk = static_cast<std::size_t>(
      std::min<std::int64_t>(kReadChunk, std::max<std::int64_t>(largest, 0) + 1));
  thread_local std::vector<std::vector<unsigned char>> buffers;
  if (buffers.size() < end - begin) buffers.resize(end - begin);
  for (std::size_t i = 0; i < end - begin; ++i) {
    if (buffers[i].size() < chunk) buffers[i].resize(chunk);
  }

  std::vector<std::unique_ptr<Member>> members;
  Run first;
  for (std::size_t i = begin; i < end; ++i) {
    auto member = std::make_unique<Member>();
    member->fd.reset(openRegularFile(paths[i], /*followLink=*/false));
    if (!member->fd.valid() || stampOf(member->fd.get()) != expected[i]) continue;
    ::posix_fadvise(member->fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    member->index = i;
    member->buffer = &buffers[members.size()];
    first.members.push_back(member.get());
    members.push_back(std::move(member));
  }
  std::vector<Run> runs;
  if (!first.members.empty()) runs.push_back(std::move(first));
  while (!runs.empty()) {
    std::vector<Run> next;
    for (Run& run : runs) {
      std::vector<Member*> left;
      for (Member* member : run.members) {
        member->chunk = readChunk(member->fd.get(), member->buffer->data(), chunk);
        if (member->chunk < 0) continue;  // a read failed: no digest
        member->bytesRead += member->chunk;
        left.push_back(member);
      }
      // Split the run where the chunks differ; each part goes on with a
      // copy of the digest so far (the last part with the original).
      std::vector<std::vector<Member*>> parts;
      while (!left.empty()) {
        std::vector<Member*> alike, rest;
        for (Member* member : left)
          (sameChunk(*member, *left.front()) ? alike : rest).push_back(member);
        parts.push_back(std::move(alike));
        left = std::move(rest);
      }
      for (std::size_t p = 0; p < parts.size(); ++p) {
        Sha256 sha = p + 1 < parts.size() ? Sha256(run.sha) : std::move(run.sha);
        const Member& sample = *parts[p].front();
        if (sample.chunk == 0) {
          const std::string hex = sha.finishHex();
          for (const Member* member : parts[p]) {
            const FileStamp& stamp = expected[member->index];
            if (member->bytesRead == stamp.size && stampOf(member->fd.get()) == stamp) {
              out[member->index] = hex;
            }
          }
          continue;
        }
        sha.update(sample.buffer->data(), static_cast<std::size_t>(sample.chunk));
        next.push_back(Run{std::move(sha), std::move(parts[p])});
      }
    }
    runs = std::move(next);
  }
}

// Decoded in the media object (media_module.h), loaded on the first picture.
std::optional<Perceptual> perceptualOf(int fd) {
  const MediaFunctions* media = mediaModule();
  if (!media) return std::nullopt;
  std::optional<PictureHash> hash = media->pictureHash(fd);
  if (!hash) return std::nullopt;
  return Perceptual{hash->phash, hash->width, hash->height};
}

}  // namespace

std::string sha256(const std::string& path) {
  UniqueFd fd(openRegularFile(path, /*followLink=*/true));
  if (!fd.valid()) throw std::system_error(errno, std::generic_category(), "open " + path);
  return digestOf(fd.get());
}

std::optional<std::string> sha256(const std::string& path, const FileStamp& expected) {
  return sha256Together({path}, {expected}).front();
}

std::vector<std::optional<std::string>> sha256Together(const std::vector<std::string>& paths,
                                                       const std::vector<FileStamp>& expected) {
  std::vector<std::optional<std::string>> out(paths.size());
  try {
    for (std::size_t begin = 0; begin < paths.size(); begin += kFilesSideBySide) {
      digestSideBySide(paths, expected, begin, std::min(paths.size(), begin + kFilesSideBySide),
                       out);
    }
  } catch (const std::system_error&) {
    // Out of memory for a digest: what is done stands, the rest has none.
  }
  return out;
}

std::optional<Perceptual> perceptual(const std::string& path) {
  UniqueFd fd(openRegularFile(path, /*followLink=*/true));
  if (!fd.valid()) return std::nullopt;
  return perceptualOf(fd.get());
}

std::optional<Perceptual> perceptual(const std::string& path, const FileStamp& expected) {
  UniqueFd fd(openRegularFile(path, /*followLink=*/false));
  if (!fd.valid() || stampOf(fd.get()) != expected) return std::nullopt;
  auto result = perceptualOf(fd.get());
  if (!result || stampOf(fd.get()) != expected) return std::nullopt;
  return result;
}

int distance(std::uint64_t a, std::uint64_t b) { return std::popcount(a ^ b); }

}  // namespace tallowick::Hashing
