#include "shared/prefault.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace tallowick {

void prefault(void* data, std::size_t bytes) {
  // Below this a call costs about what the faults it saves do.
  constexpr std::size_t kWorthIt = 64 * 1024;
  if (bytes < kWorthIt) return;
  static const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto begin = (reinterpret_cast<std::uintptr_t>(data) + page - 1) / page * page;
  const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) / page * page;
  if (end <= begin) return;
  // A kernel that lacks it says EINVAL, and the pages fault in as before.
  ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
}

}  // namespace tallowick
