// orderquery and entryquery run for real in a private sandbox: the order numbers as atoi
// reads them, and the tools together as the player scripts use them. Each message, exit
// status and result file is a golden case (tests/golden/orderquery, entryquery).

#include "sandbox_run.h"

#include <gtest/gtest.h>

namespace {

const char order_list[] = "1 2 1 1\n2 2 1 2\n3 2 2 1\n4 5 1 1\n5 2 1 2\n";

std::string results(const Sandbox &sb) {
  return sb.read("/tmp/DEVICE") + sb.read("/tmp/LIST") + sb.read("/tmp/SONG");
}

} // namespace

TEST(Orderquery, ByOrderNumberWithFallbacks) {
  Sandbox sb;
  struct Case {
    const char *arg;
    const char *printed;
    const char *address;
  } const cases[] = {
      // No number, or none in the list: the first song.
      {"0", "1\n", "2\n1\n1\n"},
      {"abc", "1\n", "2\n1\n1\n"},
      {"-4", "1\n", "2\n1\n1\n"},
      {" 2x", "2\n", "2\n1\n2\n"}, // leading blanks and the digits, as atoi reads them
  };
  for (const Case &c : cases) {
    sb.put("/tmp/OPL", order_list);
    RunResult r = sb.run(std::string("orderquery ") + shell_quote(c.arg));
    EXPECT_EQ(r.status, 0) << c.arg;
    EXPECT_EQ(r.out, c.printed) << c.arg;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(results(sb), c.address) << c.arg;
  }
}

TEST(PlayListTools, ScanBuildAndLookUpTogether) {
  // The tools as the player scripts use them: scan two devices, shuffle per device,
  // then walk the order list and fetch each song's path.
  Sandbox sb;
  RunResult r = sb.run(R"(
    mkdir -p /mnt/one/A /mnt/one/B /mnt/two/C
    touch /mnt/one/A/1.mp3 /mnt/one/A/2.mp3 /mnt/one/B/3.mp3 /mnt/two/C/4.mp3 /mnt/two/C/5.mp3
    scantree /mnt/one 1 >/dev/null && scantree /mnt/two 2 >/dev/null && orderbuild -d 2>/dev/null
    n=1
    while [ $n -le 5 ]; do
      orderquery $n >/dev/null || exit 1
      entryquery $(cat /tmp/DEVICE) $(cat /tmp/LIST) $(cat /tmp/SONG) || exit 1
      n=$((n + 1))
    done
  )");
  ASSERT_EQ(r.status, 0) << r.err;
  // Device 1's songs fill positions 1 to 3, device 2's positions 4 and 5.
  std::string out = r.out;
  std::string first3 = out.substr(0, out.find("/mnt/two"));
  for (const char *song : {"/A/1.mp3\n", "/A/2.mp3\n", "/B/3.mp3\n"})
    EXPECT_NE(first3.find(song), std::string::npos) << out;
  EXPECT_NE(out.find("/mnt/two/C/4.mp3\n"), std::string::npos);
  EXPECT_NE(out.find("/mnt/two/C/5.mp3\n"), std::string::npos);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 5);
}
