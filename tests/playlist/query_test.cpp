// orderquery and entryquery run for real in a private sandbox.

#include "sandbox_run.h"

#include <gtest/gtest.h>

namespace {

const char order_list[] = "1 2 1 1\n2 2 1 2\n3 2 2 1\n4 5 1 1\n5 2 1 2\n";

const char usage_orderquery[] = "Usage: orderquery <opl-song-id>\n"
                                "   or: orderquery <device-nr> <list-nr> <song-nr>\n";

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
      {"3", "3\n", "2\n2\n1\n"},  {"5", "5\n", "2\n1\n2\n"}, // the last line
      {"6", "1\n", "2\n1\n1\n"},                             // past the end: the first song
      {"0", "1\n", "2\n1\n1\n"},  {"abc", "1\n", "2\n1\n1\n"},
      {"-4", "1\n", "2\n1\n1\n"}, {" 2x", "2\n", "2\n1\n2\n"}, // converted as atoi does
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

TEST(Orderquery, BySongAddress) {
  Sandbox sb;
  sb.put("/tmp/OPL", order_list);
  RunResult r = sb.run("orderquery 2 2 1");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "3\n");
  EXPECT_EQ(results(sb), "2\n2\n1\n");

  // Held twice (a device scanned twice): the first line counts.
  sb.put("/tmp/OPL", order_list);
  r = sb.run("orderquery 2 1 2");
  EXPECT_EQ(r.out, "2\n");

  // Not held: nothing printed, the asked address is left in the files.
  sb.put("/tmp/OPL", order_list);
  r = sb.run("orderquery 7 8 9");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(results(sb), "7\n8\n9\n");

  // The same on an empty order list.
  sb.put("/tmp/OPL", "");
  r = sb.run("orderquery 1 x 3");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(results(sb), "1\n0\n3\n");
}

TEST(Orderquery, EmptyOrderListHasNoFirstSong) {
  Sandbox sb;
  sb.put("/tmp/OPL", "\n");
  sb.put("/tmp/DEVICE", "4\n");
  sb.put("/tmp/LIST", "5\n");
  sb.put("/tmp/SONG", "6\n");
  RunResult r = sb.run("orderquery 1");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "OrderPlayList </tmp/OPL> is empty.\n");
  EXPECT_EQ(results(sb), "4\n5\n6\n");
}

TEST(Orderquery, Failures) {
  Sandbox sb;
  for (const char *args : {"", "1 2", "1 2 3 4"}) {
    RunResult r = sb.run(std::string("orderquery ") + args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_EQ(r.err, usage_orderquery);
  }
  RunResult r = sb.run("orderquery 1");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "Could not open OPL file </tmp/OPL>.\n");
  EXPECT_FALSE(sb.exists("/tmp/DEVICE"));

  // A result file cannot be opened: the order number is already out, the files that did
  // open are left empty.
  sb.put("/tmp/OPL", order_list);
  r = sb.run("mkdir /tmp/LIST && orderquery 2");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "2\n");
  EXPECT_EQ(r.err, "Could not open output files: </tmp/DEVICE>, </tmp/LIST>, </tmp/SONG>.\n");
  EXPECT_EQ(sb.read("/tmp/DEVICE"), "");
  EXPECT_EQ(sb.read("/tmp/SONG"), "");

  // A result that cannot be written is not reported as success.
  sb.put("/tmp/OPL", order_list);
  r = sb.run("ln -s /dev/full /tmp/SONG && orderquery 2");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "Could not write output files: </tmp/DEVICE>, </tmp/LIST>, </tmp/SONG>.\n");
}

namespace {

const char master_list[] = "2 0 0 /mnt/music\n"
                           "2 1 0 Rock\n"
                           "2 1 1 /mnt/music/Rock/a.Mp3\n"
                           "2 1 2 /mnt/music/Rock/b.mp3\n"
                           "0 0 0 /mnt/zero\n"
                           "0 1 0 Z\n"
                           "0 1 1 /mnt/zero/Z/z.mp3\n"
                           "2 0 0 /mnt/music\n"
                           "2 1 0 Rock\n"
                           "2 1 1 /mnt/music/Rock/a.Mp3\n"
                           "2 1 2 /mnt/music/Rock/b.mp3\n";

} // namespace

TEST(Entryquery, LooksUpEveryLineKind) {
  Sandbox sb;
  struct Case {
    const char *args;
    int status;
    const char *out;
  } const cases[] = {
      {"2 1 2", 0, "/mnt/music/Rock/b.mp3\n/mnt/music/Rock/b.mp3\n"}, // scanned twice; last line
      {"2 0 0", 0, "/mnt/music\n/mnt/music\n"},
      {"2 1 0", 0, "Rock\nRock\n"},
      {"0 1 1", 0, "/mnt/zero/Z/z.mp3\n"}, // device 0 is still found by its triple
      {"x 1 1", 0, "/mnt/zero/Z/z.mp3\n"},
      {"2 1 3", 1, ""},
      {"3 1 1", 1, ""},
  };
  for (const Case &c : cases) {
    sb.put("/tmp/MPL", master_list);
    RunResult r = sb.run(std::string("entryquery ") + c.args);
    EXPECT_EQ(r.status, c.status) << c.args;
    EXPECT_EQ(r.out, c.out) << c.args;
    EXPECT_EQ(r.err, "");
  }
}

TEST(Entryquery, LastSongOnceAndAfterOverlongLine) {
  Sandbox sb;
  std::string long_path = "/mnt/a/L/" + std::string(300, 'n') + ".mp3";
  sb.put("/tmp/MPL", "1 1 1 " + long_path + "\n1 1 2 /mnt/a/L/after.mp3\n");
  RunResult r = sb.run("entryquery 1 1 2; entryquery 1 1 1");
  EXPECT_EQ(r.out, "/mnt/a/L/after.mp3\n" + long_path.substr(0, 255) + "\n");
}

TEST(Entryquery, Failures) {
  Sandbox sb;
  for (const char *args : {"", "1", "1 2", "1 2 3 4"}) {
    RunResult r = sb.run(std::string("entryquery ") + args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_EQ(r.err, "Usage: entryquery <device> <list-nr> <song-nr>\n");
  }
  RunResult r = sb.run("entryquery 1 1 1");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "Could not open MPL file </tmp/MPL>.\n");
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
