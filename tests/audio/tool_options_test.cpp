// The small tools refuse numbers they cannot read whole, instead of running with whatever
// atoi made of them (0 for a typing slip, 5 for "5O").

#include "sandbox_run.h"
#include "tool_options.h"

#include <gtest/gtest.h>

TEST(ToolOptions, AudioToolsRefuseMalformedNumbers) {
  expect_usage_errors({
      {"audiopace -r 44100x /tmp/audio.fifo", "usage: audiopace"},
      {"audiopace -c two /tmp/audio.fifo", "usage: audiopace"},
      {"tonegen -1 440", "tonegen: SECONDS"},
      {"tonegen 1 440Hz", "tonegen: SECONDS"},
  });
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
