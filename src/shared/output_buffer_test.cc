#include "shared/output_buffer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tallowick {
namespace {

TEST(OutputBuffer, HandsOnChunksInOrderAndTheRestAtFinish) {
  std::vector<std::string> chunks;
  OutputBuffer out(
      [&](std::string_view chunk) {
        chunks.emplace_back(chunk);
        return true;
      },
      4);
  out.append("ab");
  out.append('c');
  EXPECT_TRUE(chunks.empty());
  out.append("defgh");  // past the chunk size: handed on whole
  out.append('i');
  EXPECT_EQ(chunks, (std::vector<std::string>{"abcdefgh"}));
  EXPECT_TRUE(out.finish());
  EXPECT_EQ(chunks, (std::vector<std::string>{"abcdefgh", "i"}));
}

TEST(OutputBuffer, ARefusedChunkFailsTheFinish) {
  int calls = 0;
  OutputBuffer out(
      [&](std::string_view) {
        ++calls;
        return calls != 1;
      },
      2);
  out.append("xyz");
  out.append("uvw");
  EXPECT_FALSE(out.finish());
  EXPECT_EQ(calls, 1);  // nothing more is handed on after a refusal
}

TEST(OutputBuffer, WithoutASinkKeepsEverything) {
  OutputBuffer out;
  out.append("a");
  out.append('b');
  EXPECT_TRUE(out.finish());
  EXPECT_EQ(out.take(), "ab");
}

}  // namespace
}  // namespace tallowick
