// velm_display run for real in a sandbox: its FIFO, its loop and timer, and the bytes it
// writes to /dev/lcd (a plain file, or a FIFO when the test plays the panel's reader).

#include "lcdscreen.h"
#include "sandbox_run.h"

#include "panel_rows.h"
#include <algorithm>

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

const std::string FAREWELL = "\033R\033c\033p00,0Thanx for using VELM\033p00,1(powered by Linux!)";

// Shell text: the FIFO and a plain file for the panel, then velm_display with `options`
// fed `lines` (as given) from a writer that keeps the FIFO open `hold` seconds more.
std::string display_run(const std::string &options, const std::string &lines, double hold = 0,
                        bool lcd_file = true) {
  return std::string("mkfifo /tmp/fifo.display\n") + (lcd_file ? ": >/dev/lcd\n" : "") +
         "(printf '%s' " + shell_quote(lines) + "; sleep " + std::to_string(hold) +
         ") >/tmp/fifo.display &\n"
         "velm_display " +
         options + " >/tmp/out 2>/tmp/err; echo $? >/tmp/status\n";
}

std::string trace(const std::string &text) {
  return "\r\n[velm_display] " + text + "\r\n";
}

std::string traces(const std::vector<std::string> &texts) {
  std::string all;
  for (const std::string &text : texts)
    all += trace(text);
  return all;
}

constexpr int TIMEOUT_MS = 60000;

} // namespace

TEST(DisplayDaemon, StartUpLinesUsageAndFarewellWithoutAStart) {
  Sandbox sb;
  RunResult r = sb.run(display_run("-l -t", ""), "", TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sb.read("/tmp/status"), "0\n");
  EXPECT_EQ(sb.read("/tmp/out"), "3");
  EXPECT_EQ(sb.read("/tmp/err"), "LCD display support ENABLED.\nID3TAG title display ENABLED.\n"
                                 "DEBUG messages DISABLED.\n");
  // The end of input before any start still bids farewell.
  EXPECT_EQ(sb.read("/dev/lcd"), "\033R" + FAREWELL);

  r = sb.run(display_run("-dt extra", ""), "", TIMEOUT_MS);
  EXPECT_EQ(sb.read("/tmp/out"), "2");
  EXPECT_EQ(sb.read("/tmp/err"), "LCD display support DISABLED.\nID3TAG title display ENABLED.\n"
                                 "DEBUG messages ENABLED.\n" +
                                     traces({"ipc_init", "display_init", "ipc_read_started",
                                             "ipc_read_finished", "display_close", "ipc_close"}));

  for (const char *option : {"-h", "-x"}) {
    r = sb.run(std::string("velm_display ") + option + "; echo status $?", "", TIMEOUT_MS);
    EXPECT_EQ(r.out.rfind("\nVELM_DISPLAY version 0.91", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\nUsage: velm [-l] [-d] [-h] [-t]\n\tl\tLcd display support\n"
                         "\tt\tUse Id3 Tags for title display\n\td\tPrint debugging information\n"
                         "\th\tShow this help\n\nFor additional information read documentation "
                         "in usr/doc of the distribution\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("status 0"), std::string::npos) << option;
  }
  EXPECT_NE(r.err.find("invalid option"), std::string::npos) << r.err;
}

TEST(DisplayDaemon, TracesOfTheStateMachine) {
  Sandbox sb;
  const std::string lines = "display_restart\n"
                            "display_startup\n"
                            "   display_startup\n"
                            "display_setstatus PLAY 1 2 3\n"
                            "display_settime +00:01 -00:02\n"
                            "display_setvolume 4\ndisplay_setbalance 5\n"
                            "display_setbass 6\ndisplay_settreble 7\n"
                            "display_restart\n"
                            "display_settitle t\n"
                            "display_setid3tagtitle i\n"
                            "display_setrandommode all\n"
                            "display_setmode 3\n" +
                            std::string(10000, 'x') + "display_setmode 4\n" + // one long line
                            "display_setmode 5";                              // no newline
  RunResult r = sb.run(display_run("-d", lines), "", TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sb.read("/tmp/err"), "LCD display support DISABLED.\nID3TAG title display DISABLED.\n"
                                 "DEBUG messages ENABLED.\n" +
                                     traces({"ipc_init",
                                             "display_init",
                                             "ipc_read_started",
                                             "display_restart",
                                             "display_not_yet_started",
                                             "display_startup",
                                             "display_setmode 0",
                                             "display_started",
                                             "display_startup",
                                             "display_already_started",
                                             "display_restart",
                                             "display_reset",
                                             "display_clear",
                                             "display_startup",
                                             "display_setmode 0",
                                             "display_started",
                                             "display_restarted",
                                             "display_settitle",
                                             "display_setid3tagtitle",
                                             "display_setrandommode",
                                             "display_setmode 3",
                                             "display_setmode 5",
                                             "ipc_read_finished",
                                             "display_close",
                                             "ipc_close"}));
  // Without "-l" the device is never opened.
  EXPECT_EQ(sb.read("/dev/lcd"), "");

  // With "-l", the panel's part of the same start.
  r = sb.run(display_run("-l -d", "display_startup\n"), "", TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string err = sb.read("/tmp/err");
  EXPECT_NE(err.find(traces({"ipc_init", "display_init", "lcd_init", "lcd_reset",
                             "ipc_read_started", "display_startup", "lcd_startup",
                             "display_setmode 0", "display_started", "ipc_read_finished",
                             "display_close", "lcd_close", "lcd_reset", "lcd_clear", "ipc_close"})),
            std::string::npos)
      << err;
  EXPECT_EQ(sb.read("/dev/lcd"), "\033R\033K" + FAREWELL);
}

TEST(DisplayDaemon, WithoutItsDeviceItRunsAsWithoutLcd) {
  Sandbox sb;
  const std::string lines = "display_startup\ndisplay_setmode 2\n";
  RunResult r = sb.run(display_run("-l -d", lines, 0.3, false) + "ls /dev\n", "", TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sb.read("/tmp/status"), "0\n");
  std::string err = sb.read("/tmp/err");
  EXPECT_NE(err.find("\nvelm_display: /dev/lcd: No such file or directory\n"), std::string::npos)
      << err;
  EXPECT_EQ(err.find("velm_display:"), err.rfind("velm_display:")); // one line
  EXPECT_NE(err.find(trace("display_setmode 2")), std::string::npos);
  EXPECT_EQ(err.find("lcd_close"), std::string::npos);
  EXPECT_EQ(r.out.find("lcd"), std::string::npos) << "no device made: " << r.out;

  // A panel FIFO whose reader never comes: waited for a while, then the same.
  r = sb.run("mkfifo /dev/lcd\n" + display_run("-l -d", lines, 0.3, false), "", TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  err = sb.read("/tmp/err");
  EXPECT_NE(err.find("\nvelm_display: /dev/lcd: No such device or address\n"), std::string::npos)
      << err;
  EXPECT_NE(err.find(trace("display_setmode 2")), std::string::npos);

  // And without "-l" a device that is there stays untouched.
  sb.run("echo untouched >/dev/lcd\n" + display_run("", lines, 0.3, false), "", TIMEOUT_MS);
  EXPECT_EQ(sb.read("/dev/lcd"), "untouched\n");
}

TEST(DisplayDaemon, TicksDrawTheWelcomeThenTheTitleWhileLinesFlood) {
  Sandbox sb;
  const std::string title = "ABCDEFGHIJKLMNOPQRSTUVWXY"; // 25 characters
  // The welcome runs 5.4 s on ticks alone while a writer floods the FIFO with lines that
  // change nothing on the panel; then a long title arrives and scrolls.
  std::string script = "mkfifo /tmp/fifo.display\n: >/dev/lcd\n"
                       "(echo display_startup; sleep 0.5\n"
                       " i=0; while [ $i -lt 4000 ]; do echo display_setbass $((i % 100)); "
                       "echo display_settime +00:00 -00:00; i=$((i + 1)); done\n"
                       " sleep 5.5; echo display_settitle " +
                       title +
                       "; sleep 8) >/tmp/fifo.display &\n"
                       "velm_display -l >/tmp/out 2>/tmp/err; echo $? >/tmp/status\n";
  RunResult r = sb.run(script, "", TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string bytes = sb.read("/dev/lcd");
  ASSERT_EQ(bytes.rfind("\033R\033K", 0), 0u);
  ASSERT_EQ(bytes.substr(bytes.size() - FAREWELL.size()), FAREWELL);

  std::vector<std::string> rows = drawn_rows(bytes, 1);
  std::vector<std::string> welcome = pass_through(WELCOME);
  ASSERT_GT(rows.size(), welcome.size());
  EXPECT_EQ(std::vector<std::string>(rows.begin(), rows.begin() + 54), welcome);

  // The title, where it first shows: 11 draws at column 0, then one column per draw.
  size_t first = 0;
  while (first < rows.size() && rows[first] != title.substr(0, 24))
    ++first;
  ASSERT_LT(first + 11 + 24 + 2, rows.size()) << "title not shown long enough";
  for (size_t i = first; i < first + 11; ++i)
    EXPECT_EQ(rows[i], title.substr(0, 24)) << i - first;
  for (size_t k = 1; k <= 24; ++k)
    EXPECT_EQ(rows[first + 10 + k], (title.substr(k) + BLANK_ROW).substr(0, 24)) << k;
  EXPECT_EQ(rows[first + 35], BLANK_ROW);

  // Row 0 drawn on every other tick during the welcome, once per two ticks after it.
  std::vector<std::string> status = drawn_rows(bytes, 0);
  EXPECT_EQ(status[0], "0/000/00                ");
  EXPECT_NE(std::find(status.begin(), status.end(), "0/000/00      -00:00    "), status.end());
}

TEST(DisplayDaemon, APanelReaderThatGoesAwayOrStallsCannotStopIt) {
  Sandbox sb;
  // The reader takes 200 bytes and leaves: later writes meet a broken pipe.
  std::string script = "mkfifo /tmp/fifo.display /dev/lcd\n"
                       "head -c 200 /dev/lcd >/tmp/lcd.head &\n"
                       "(echo display_startup; sleep 1.5; echo display_setmode 3; sleep 0.3) "
                       ">/tmp/fifo.display &\n"
                       "velm_display -l -d >/tmp/out 2>/tmp/err; echo $? >/tmp/status\n";
  RunResult r = sb.run(script, "", TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sb.read("/tmp/status"), "0\n");
  EXPECT_EQ(sb.read("/tmp/lcd.head").size(), 200u);
  std::string err = sb.read("/tmp/err");
  EXPECT_NE(err.find(trace("display_setmode 3") + trace("ipc_read_finished")), std::string::npos)
      << err;

  // A reader that holds the panel open and never reads: the pipe fills, and the daemon
  // still reads every line and ends at the end of its input.
  script = "mkfifo /tmp/fifo.display /dev/lcd\n"
           "sleep 600 </dev/lcd &\n"
           "(echo display_startup; i=0; while [ $i -lt 20000 ]; do echo display_restart; "
           "i=$((i + 1)); done; echo display_setmode 4) >/tmp/fifo.display &\n"
           "velm_display -l -d >/tmp/out 2>/tmp/err; echo $? >/tmp/status\n";
  r = sb.run(script, "", TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sb.read("/tmp/status"), "0\n");
  err = sb.read("/tmp/err");
  EXPECT_NE(err.find(trace("display_setmode 4") + trace("ipc_read_finished")), std::string::npos);
}
