// Results written to standard output: a write that fails (a full disk, a closed
// descriptor) reaches the exit status and names its cause, and the tools' other results
// are still written.

#include "output.h"
#include "sandbox_run.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <vector>

TEST(CloseOutput, NamesTheCauseOfAFailedWrite) {
  FILE *full = fopen("/dev/full", "we");
  ASSERT_NE(full, nullptr);
  // Fully buffered: the first write fails only when the buffer is flushed at the close.
  setvbuf(full, nullptr, _IOFBF, 1 << 12);
  // Before the write: capturing flushes every stream.
  testing::internal::CaptureStderr();
  fputs("a line\n", full);
  EXPECT_FALSE(close_output(full, "[tool]", "/dev/full"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "[tool]/dev/full: No space left on device\n");

  // A write that failed long before the close still counts.
  full = fopen("/dev/full", "we");
  ASSERT_NE(full, nullptr);
  setvbuf(full, nullptr, _IONBF, 0);
  testing::internal::CaptureStderr();
  fputs("lost", full);
  EXPECT_FALSE(close_output(full, "tool: ", "out"));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("tool: out: ", 0), 0u) << err;

  FILE *null = fopen("/dev/null", "we");
  ASSERT_NE(null, nullptr);
  testing::internal::CaptureStderr();
  fputs("kept", null);
  EXPECT_TRUE(close_output(null, "tool: ", "out"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

namespace {

struct Case {
  std::string command;
  std::string status; // as the shell prints it
  std::string err;    // the tool's standard error
};

} // namespace

TEST(ToolOutput, AFullDiskOrAClosedOutputIsAnError) {
  const std::string enospc = ": standard output: No space left on device\n";
  std::vector<Case> cases = {
      {"htmlcatalog >/dev/full", "1", "htmlcatalog" + enospc},
      {"htmlcatalog >&-", "1", "htmlcatalog: standard output: Bad file descriptor\n"},
      {"titleform /mnt/music/Rock/a.mp3 >/dev/full", "1", "titleform" + enospc},
      {"entryquery 2 1 1 >/dev/full", "2", "entryquery" + enospc},
      // Nothing to print, nothing that fails.
      {"entryquery 9 9 9 >/dev/full", "1", ""},
      {"orderquery 2 >/dev/full", "2", "orderquery" + enospc},
      {"orderquery 2 1 1 >/dev/full", "2", "orderquery" + enospc},
      {"orderquery 7 7 7 >/dev/full", "0", ""},
      {"scantree /mnt/music 3 >/dev/full", "1",
       "[scantree]standard output: No space left on device\n"},
      {"tonegen 0.1 440 >/dev/full", "1", "tonegen" + enospc},
      {"lcdsim -f - -r /tmp/lcd.bytes >/dev/full", "1",
       "lcdsim: frames: No space left on device\n"},
  };
  Sandbox sb;
  sb.put("/tmp/MPL", "2 0 0 /mnt/music\n2 1 0 Rock\n2 1 1 /mnt/music/Rock/a.mp3\n"
                     "2 1 2 /mnt/music/Rock/b.mp3\n");
  sb.put("/tmp/OPL", "1 2 1 1\n2 2 1 2\n");
  sb.put("/tmp/lcd.bytes", "hello");
  sb.put("/mnt/music/Rock/a.mp3", "");
  std::string script;
  for (size_t i = 0; i < cases.size(); ++i) {
    std::string n = std::to_string(i);
    // Each case's result files are kept apart from the next case's.
    script += "rm -f /tmp/DEVICE /tmp/LIST /tmp/SONG\n" + cases[i].command + " 2>/tmp/" + n +
              ".err; echo $? >/tmp/" + n + ".status\ncat /tmp/DEVICE /tmp/LIST /tmp/SONG >/tmp/" +
              n + ".result 2>/dev/null || :\n";
  }
  RunResult r = sb.run(script);
  ASSERT_EQ(r.status, 0) << r.err;
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].command);
    std::string n = std::to_string(i);
    EXPECT_EQ(sb.read("/tmp/" + n + ".status"), cases[i].status + "\n");
    EXPECT_EQ(sb.read("/tmp/" + n + ".err"), cases[i].err);
  }
  // orderquery's files are written whether or not the number could be printed; the
  // scan reached the master list whole.
  EXPECT_EQ(sb.read("/tmp/5.result"), "2\n1\n2\n");
  EXPECT_EQ(sb.read("/tmp/6.result"), "2\n1\n1\n");
  EXPECT_EQ(sb.read("/tmp/7.result"), "7\n7\n7\n");
  std::string mpl = sb.read("/tmp/MPL");
  EXPECT_NE(mpl.find("\n3 0 0 /mnt/music\n3 1 0 Rock\n3 1 1 /mnt/music/Rock/a.mp3\n"),
            std::string::npos)
      << mpl;
}
