#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace tallowick {

// Reads until `length` bytes are in or the file ends; the byte count, or
// -1 on a read failure.
inline ssize_t readChunk(int fd, unsigned char* buffer, std::size_t length) {
  std::size_t filled = 0;
  while (filled < length) {
    const ssize_t n = ::read(fd, buffer + filled, length - filled);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(filled);
}

}  // namespace tallowick
