#include "core/thumbs/vips_runtime.h"

#include <unistd.h>
#include <vips/vips.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

namespace tallowick {
namespace {

// What `action` wrote to standard error.
template <class Action>
std::string standardErrorOf(Action action) {
  std::fflush(stderr);
  const int saved = ::dup(STDERR_FILENO);
  std::FILE* capture = std::tmpfile();
  ::dup2(::fileno(capture), STDERR_FILENO);
  action();
  std::fflush(stderr);
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  std::string text;
  std::rewind(capture);
  for (int c; (c = std::fgetc(capture)) != EOF;) text += static_cast<char>(c);
  std::fclose(capture);
  return text;
}

TEST(VipsRuntime, LibraryWarningsStayOffStandardError) {
  ASSERT_TRUE(ensureVipsStarted());
  // What libvips' EXIF parser says of a file with an odd resolution unit.
  EXPECT_EQ(
      standardErrorOf([] { g_log("VIPS", G_LOG_LEVEL_WARNING, "unknown EXIF resolution unit"); }),
      "");
  // Other libraries' warnings still reach it.
  EXPECT_NE(standardErrorOf([] { g_log("other", G_LOG_LEVEL_WARNING, "kept"); }), "");
}

}  // namespace
}  // namespace tallowick
