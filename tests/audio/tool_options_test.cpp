// The small jukebox tools refuse numbers they cannot read whole, instead of running with
// whatever atoi made of them (0 for a typing slip, 5 for "5O").

#include "sandbox_run.h"

#include <gtest/gtest.h>

TEST(ToolOptions, MalformedNumbersAreUsageErrors) {
  Sandbox sb;
  struct Case {
    const char *command;
    const char *message; // expected in standard error
  } const cases[] = {
      {"lcdsim -q -i 5O </dev/null", "lcdsim: -i 5O: not a time from 0 to 10000 ms\n"},
      {"lcdsim -q -i '' </dev/null", "not a time from 0 to 10000 ms\n"},
      {"velm_send -w soon /tmp/fifo.none line", "usage: velm_send"},
      {"velm_send -w -5 /tmp/fifo.none line", "usage: velm_send"},
      {"audiopace -r 44100x /tmp/audio.fifo", "usage: audiopace"},
      {"audiopace -c two /tmp/audio.fifo", "usage: audiopace"},
      {"tonegen -1 440", "tonegen: SECONDS"},
      {"tonegen 1 440Hz", "tonegen: SECONDS"},
  };
  for (const Case &c : cases) {
    RunResult r = sb.run(std::string("timeout 5 ") + c.command);
    EXPECT_EQ(r.status, 2) << c.command << "\n" << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.command << "\n" << r.err;
    EXPECT_EQ(r.out, "") << c.command;
  }
}

TEST(ToolOptions, WellFormedNumbersStillWork) {
  Sandbox sb;
  // One second of mono 16-bit sound at 44,100 frames a second after a 44-byte header.
  RunResult r = sb.run("tonegen 1 440 | wc -c");
  EXPECT_EQ(r.out, "88244\n") << r.err;
  // -h ends the program once the options before it have been read.
  r = sb.run("lcdsim -i 0 -i 10000 -h >/dev/null; echo $?");
  EXPECT_EQ(r.out, "0\n") << r.err;
}
