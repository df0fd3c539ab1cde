#include "shared/prefault.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

namespace tallowick {
namespace {

std::size_t residentPages(void* data, std::size_t bytes) {
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  std::vector<unsigned char> pages((bytes + page - 1) / page);
  if (::mincore(data, bytes, pages.data()) != 0) return 0;
  std::size_t resident = 0;
  for (unsigned char p : pages) resident += p & 1;
  return resident;
}

TEST(PrefaultTest, MakesFreshPagesResidentAndKeepsWhatIsWritten) {
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t pages = 64;
  void* room =
      ::mmap(nullptr, pages * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(room, MAP_FAILED);
  auto* bytes = static_cast<unsigned char*>(room);
  // Two pages written already, the rest never touched.
  std::memset(bytes + 3 * page, 0xAB, 2 * page);
  ASSERT_EQ(residentPages(room, pages * page), 2u);

  void* probe = ::mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(probe, MAP_FAILED);
  const bool supported = ::madvise(probe, page, MADV_POPULATE_WRITE) == 0;
  ::munmap(probe, page);
  if (!supported) {
    ::munmap(room, pages * page);
    GTEST_SKIP() << "the kernel cannot populate ranges";
  }
  // Unaligned ends: only the whole pages inside are populated.
  prefault(bytes + 1, pages * page - 2);
  EXPECT_EQ(residentPages(room, pages * page), pages - 2);
  for (std::size_t i = 0; i < 2 * page; ++i) ASSERT_EQ(bytes[3 * page + i], 0xAB) << i;
  EXPECT_EQ(bytes[10 * page], 0);
  ::munmap(room, pages * page);
}

}  // namespace
}  // namespace tallowick
