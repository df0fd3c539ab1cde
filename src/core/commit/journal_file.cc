#include "core/commit/journal_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <utility>

#include "shared/file_util.h"

namespace tallowick {

namespace {

std::error_code lastError() { return {errno, std::generic_category()}; }

// Opens `path` and accepts it only as a regular file. O_NONBLOCK keeps a
// FIFO put in its place from blocking the open; it means nothing for a
// regular file.
std::error_code openRegular(const std::string& path, int flags, mode_t mode, UniqueFd& out) {
  UniqueFd fd(::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode));
  if (!fd.valid()) return lastError();
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return lastError();
  if (!S_ISREG(st.st_mode)) return std::make_error_code(std::errc::invalid_argument);
  out = std::move(fd);
  return {};
}

}  // namespace

JournalFile::JournalFile(std::string path) : path_(std::move(path)) {}

JournalFile::~JournalFile() { endBatch(); }

UniqueFd JournalFile::openForReading() const {
  UniqueFd fd;
  openRegular(path_, O_RDONLY, 0, fd);
  return fd;
}

std::error_code JournalFile::open(UniqueFd& fd) {
  const int flags = O_WRONLY | O_APPEND | O_CREAT;
  std::error_code error = openRegular(path_, flags, 0600, fd);
  if (error == std::errc::no_such_file_or_directory) {
    // The storage folder holds the paired phones' keys too: private.
    createDirectories(std::filesystem::path(path_).parent_path().string(), 0700);
    error = openRegular(path_, flags, 0600, fd);
  }
  return error;
}

std::error_code JournalFile::descriptor(UniqueFd& own, int& fd) {
  if (held_.valid()) {
    fd = held_.get();
    return {};
  }
  if (std::error_code error = open(own)) return error;
  if (batch_) held_ = std::move(own);
  fd = batch_ ? held_.get() : own.get();
  return {};
}

std::error_code JournalFile::reserve(std::size_t bytes) {
  UniqueFd own;
  int fd = -1;
  if (std::error_code error = descriptor(own, fd)) return error;
  struct stat st;
  if (::fstat(fd, &st) != 0) return lastError();
  // Room already reserved by an earlier call is taken again at no cost, so
  // the reserve never grows beyond the largest batch.
  int err = ::fallocate(fd, FALLOC_FL_KEEP_SIZE, st.st_size, static_cast<off_t>(bytes));
  if (err == 0) return {};
  if (errno == EOPNOTSUPP || errno == ENOSYS) {
    return std::make_error_code(std::errc::operation_not_supported);
  }
  return lastError();
}

std::error_code JournalFile::append(std::string_view line) {
  std::string bytes;
  bytes.reserve(line.size() + 2);
  if (torn_) bytes.push_back('\n');
  bytes.append(line);
  bytes.push_back('\n');

  UniqueFd own;
  int fd = -1;
  if (std::error_code error = descriptor(own, fd)) return error;
  // One write of one whole line: with O_APPEND it lands at the end in one
  // piece. A short write (a disk filling up) is carried on, so the line is
  // completed if it can be and torn if it cannot.
  std::size_t done = 0;
  std::error_code error;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n == 0 ? std::make_error_code(std::errc::no_space_on_device) : lastError();
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  if (done > 0) batchWritten_ = true;
  if (!error) {
    torn_ = false;
  } else if (done > 0) {
    torn_ = true;
  }
  return error;
}

void JournalFile::beginBatch() {
  batch_ = true;
  batchWritten_ = false;
}

void JournalFile::endBatch() {
  if (!batch_) return;
  batch_ = false;
  // What the phone is told next must survive a power cut. One flush for the
  // whole batch; on journalling file systems it also carries the renames
  // made before it.
  if (held_.valid() && batchWritten_) ::fdatasync(held_.get());
  held_.reset(-1);
}

}  // namespace tallowick
