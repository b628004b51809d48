// Command lines taken from whatever the FIFO holds at a time.

#include "daemon.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// Feeds the input in chunks of `chunk` bytes; returns the lines, the last one without a
// newline included.
std::vector<std::string> lines_of(const std::string &input, size_t chunk) {
  LineAssembler a;
  std::vector<std::string> lines;
  for (size_t at = 0; at < input.size(); at += chunk) {
    std::string piece = input.substr(at, chunk);
    const char *p = piece.data();
    while (ipc_take_line(a, p, piece.data() + piece.size()))
      lines.emplace_back(a.line);
  }
  if (ipc_take_last_line(a))
    lines.emplace_back(a.line);
  return lines;
}

} // namespace

TEST(LineAssembler, SplitsAsTheScanPatternDoesWhateverTheChunks) {
  const std::string long_line(300, 'L');
  const std::string input = "\n\n  one\n\t two words  \r\n\v\fthree\r\n" + long_line +
                            "display_setmode 2\nlast without newline";
  const std::vector<std::string> expected = {"one", "two words  \r", "three\r",
                                             std::string(255, 'L'), "last without newline"};
  for (size_t chunk : {1, 2, 3, 7, 255, 256, 4096})
    EXPECT_EQ(lines_of(input, chunk), expected) << "chunk " << chunk;
  EXPECT_TRUE(lines_of("", 1).empty());
  EXPECT_TRUE(lines_of(" \n\t\n", 1).empty());
}
