#include "shared/file_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "shared/paths.h"
#include "shared/prefault.h"
#include "shared/uuid.h"

namespace tallowick {

bool writeFileAtomically(const std::string& path, std::string_view data, mode_t mode) {
  AtomicFileWriter file(path, mode);
  return file.write(data) && file.commit();
}

AtomicFileWriter::AtomicFileWriter(std::string path, mode_t mode)
    : path_(std::move(path)), temp_(path_ + ".tmp-" + Uuid::random().shortString()), mode_(mode) {
  fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode_);
  ok_ = fd_ >= 0 && ::fchmod(fd_, mode_) == 0;
  if (!ok_) failed();
}

void AtomicFileWriter::failed() {
  if (!error_) error_ = std::error_code(errno != 0 ? errno : EIO, std::generic_category());
}

AtomicFileWriter::~AtomicFileWriter() {
  if (fd_ < 0) return;
  ::close(fd_);
  ::unlink(temp_.c_str());
}

bool AtomicFileWriter::write(std::string_view data) {
  if (!ok_) return false;
  errno = 0;
  ok_ = writeAll(fd_, data);
  if (!ok_) failed();
  return ok_;
}

bool AtomicFileWriter::commit() {
  if (fd_ < 0) return false;
  bool ok = ok_ && ::fsync(fd_) == 0;
  if (!ok) failed();
  if (::close(fd_) != 0) {
    failed();
    ok = false;
  }
  fd_ = -1;
  if (!ok || ::rename(temp_.c_str(), path_.c_str()) != 0) {
    failed();
    ::unlink(temp_.c_str());
    return false;
  }
  // Make the rename itself durable.
  int dirfd = ::open(parentOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirfd >= 0) {
    ::fsync(dirfd);
    ::close(dirfd);
  }
  return true;
}

std::optional<std::string> readWholeFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string out;
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    out.reserve(static_cast<std::size_t>(st.st_size));
    prefault(out.data(), out.capacity());
  }
  char buf[1 << 16];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return out;
}

bool createDirectories(const std::string& path, mode_t mode) {
  std::error_code ec;
  // Like mkdir -p -m: the mode applies to a directory made here, never to one
  // that exists (a user who tightened it keeps it tight).
  bool created = std::filesystem::create_directories(path, ec);
  if (!ec && created) ::chmod(path.c_str(), mode);
  return std::filesystem::is_directory(path, ec);
}

namespace {
bool isUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~' || c == '/';
}
int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

std::string pathToFileURL(std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string url = "file://";
  for (unsigned char c : path) {
    if (isUnreserved(c)) {
      url.push_back(static_cast<char>(c));
    } else {
      url.push_back('%');
      url.push_back(kHex[c >> 4]);
      url.push_back(kHex[c & 15]);
    }
  }
  return url;
}

std::optional<std::string> fileURLToPath(std::string_view url) {
  constexpr std::string_view kScheme = "file://";
  if (url.substr(0, kScheme.size()) != kScheme) return std::nullopt;
  url.remove_prefix(kScheme.size());
  // "file://localhost/x" names the local host too.
  if (url.substr(0, 9) == "localhost") url.remove_prefix(9);
  if (url.empty() || url.front() != '/') return std::nullopt;
  std::string path;
  for (std::size_t i = 0; i < url.size(); ++i) {
    if (url[i] == '%') {
      if (i + 2 >= url.size()) return std::nullopt;
      int hi = hexDigit(url[i + 1]), lo = hexDigit(url[i + 2]);
      if (hi < 0 || lo < 0) return std::nullopt;
      path.push_back(static_cast<char>(hi << 4 | lo));
      i += 2;
    } else {
      path.push_back(url[i]);
    }
  }
  // A directory URL ends in "/"; the path does not (except the root).
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

bool isValidUTF8(std::string_view text) {
  std::size_t i = 0, n = text.size();
  while (i < n) {
    // Paths are mostly ASCII: eight bytes at a time while no high bit is set.
    constexpr std::uint64_t kHighBits = 0x8080808080808080ull;
    std::uint64_t word;
    while (i + sizeof word <= n &&
           (std::memcpy(&word, text.data() + i, sizeof word), (word & kHighBits) == 0)) {
      i += sizeof word;
    }
    if (i == n) break;
    auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    std::uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
      len = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (std::size_t k = 1; k < len; ++k) {
      auto cc = static_cast<unsigned char>(text[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = cp << 6 | (cc & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
        (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
      return false;
    }
    i += len;
  }
  return true;
}

Date dateFromFileTime(std::int64_t seconds, std::int64_t nanoseconds) {
  using std::chrono::floor;
  constexpr std::int64_t kFirst =
      floor<std::chrono::seconds>(kDistantPast).time_since_epoch().count();
  constexpr std::int64_t kLast =
      floor<std::chrono::seconds>(kLatestDate).time_since_epoch().count();
  // Compared in whole seconds first: converting a far time would overflow.
  if (seconds < kFirst) return kDistantPast;
  if (seconds > kLast) return kLatestDate;
  return Date{std::chrono::seconds{seconds}} +
         floor<Date::duration>(std::chrono::nanoseconds{nanoseconds});
}

}  // namespace tallowick
