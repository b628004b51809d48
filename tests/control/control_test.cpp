// velm_control run for real in a sandbox, fed through its FIFO.

#include "control_rig.h"

#include <cctype>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <vector>

TEST(ControlRig, JumpAndScriptLinesReachTheirReaders) {
  Sandbox sb;
  RunResult r = sb.run(control_rig_run("player_jumpfw\n  player_stop\nplayer_jumpto 500\n"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sb.read("/tmp/control.status"), "0\n");
  EXPECT_EQ(sb.read("/tmp/player.out"), "JUMP +200\nJUMP 500\n");
  EXPECT_EQ(sb.read("/tmp/scripts.log"), "stop.sh\n");
  EXPECT_EQ(sb.read("/tmp/control.out"), "1");
  EXPECT_EQ(sb.read("/tmp/display.out"), "display_setbalance 0\ndisplay_setvolume 0\n"
                                         "display_setvolume 0\ndisplay_setbass 0\n"
                                         "display_settreble 0\n");
}

namespace {

// A run that hangs (a daemon waiting on a FIFO) fails the test after this long.
constexpr int RUN_TIMEOUT_MS = 30000;

// One control line and everything it must cause.
struct LineCase {
  std::string line;    // written followed by a newline
  std::string scripts; // the script runs it causes, as the stand-ins log them
  std::string player;  // the lines it writes to the player
};

// A line made readable for failure messages.
std::string shown(const std::string &text) {
  std::string out;
  for (char c : text) {
    if (c == '\r')
      out += "\\r";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\t')
      out += "\\t";
    else
      out += c;
  }
  if (out.size() > 80)
    out = out.substr(0, 40) + "...(" + std::to_string(text.size()) + " chars)..." +
          out.substr(out.size() - 30);
  return out;
}

// Splits a log at its marker lines (prefix + base + i for the i-th marker, in order): part
// i holds what came before marker i and after marker i - 1; the last part what followed
// the last marker. Returns how many markers were found.
size_t split_at_markers(const std::string &log, const std::string &prefix, int base,
                        std::vector<std::string> &parts) {
  size_t found = 0;
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find('\n', start);
    std::string line = log.substr(start, end == std::string::npos ? end : end - start);
    start = end == std::string::npos ? log.size() : end + 1;
    if (found + 1 < parts.size() && line == prefix + std::to_string(base + static_cast<int>(found)))
      ++found;
    else
      parts[found] += line + "\n";
  }
  return found;
}

// Marker lines follow each case line: "player_gotosong 9000+i" and "player_jumpto 900000+i"
// leave "gotosong.sh 9000+i" and "JUMP 900000+i", which no case line causes, so every
// script run and every player line is laid to the case that caused it.
constexpr int SCRIPT_MARK = 9000;
constexpr int PLAYER_MARK = 900000;

// Runs all cases through one daemon, then `tail` (written as given) as the last input, and
// checks each case's effects; what the tail causes is left in tail_scripts and tail_player.
void check_line_cases(const std::vector<LineCase> &cases, const std::string &tail,
                      std::string *tail_scripts = nullptr, std::string *tail_player = nullptr) {
  std::string input;
  for (size_t i = 0; i < cases.size(); ++i) {
    input += cases[i].line + "\n";
    input += "player_gotosong " + std::to_string(SCRIPT_MARK + static_cast<int>(i)) + "\n";
    input += "player_jumpto " + std::to_string(PLAYER_MARK + static_cast<int>(i)) + "\n";
  }
  input += tail;
  Sandbox sb;
  RunResult r = sb.run(control_rig_run(input), "", RUN_TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sb.read("/tmp/control.status"), "0\n");
  EXPECT_EQ(sb.read("/tmp/control.err"), "DEBUG messages DISABLED.\n");

  std::vector<std::string> scripts(cases.size() + 1), player(cases.size() + 1);
  ASSERT_EQ(split_at_markers(sb.read("/tmp/scripts.log"), "gotosong.sh ", SCRIPT_MARK, scripts),
            cases.size());
  ASSERT_EQ(split_at_markers(sb.read("/tmp/player.out"), "JUMP ", PLAYER_MARK, player),
            cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE("line \"" + shown(cases[i].line) + "\"");
    EXPECT_EQ(scripts[i], cases[i].scripts);
    EXPECT_EQ(player[i], cases[i].player);
  }
  if (tail_scripts != nullptr)
    *tail_scripts = scripts.back();
  if (tail_player != nullptr)
    *tail_player = player.back();
}

} // namespace

// Every script word runs its script with exactly its command line; the goto words take up
// to four digits, after any white space, and have no zero test. Nothing reaches the player.
TEST(ControlCommands, ScriptWordsRunTheirCommandLines) {
  std::vector<LineCase> cases = {
      {"player_stop", "stop.sh\n", ""},
      {"player_pause", "pause.sh\n", ""},
      {"player_changernd", "changernd.sh\n", ""},
      {"player_changedev", "changedev.sh\n", ""},
      {"player_nextlist", "nextlist.sh\n", ""},
      {"player_nextsong", "nextsong.sh\n", ""},
      {"player_prevlist", "prevlist.sh\n", ""},
      {"player_prevsong", "prevsong.sh\n", ""},
      {"player_sayinfo", "sayinfo.sh\n", ""},
      {"player_gotolist 3", "gotolist.sh 3\n", ""},
      {"player_gotosong 42", "gotosong.sh 42\n", ""},
      {"player_gotolist 9999", "gotolist.sh 9999\n", ""},
      {"player_gotolist 12345", "gotolist.sh 1234\n", ""},
      {"player_gotosong 7x", "gotosong.sh 7\n", ""},
      {"player_gotolist 0", "gotolist.sh 0\n", ""},
      {"player_gotosong 0", "gotosong.sh 0\n", ""},
      {"player_gotosong0012", "gotosong.sh 12\n", ""},
      {"player_gotolist \t 5 6", "gotolist.sh 5\n", ""},
      {"player_gotolist", "", ""},
      {"player_gotolist ", "", ""},
      {"player_gotosong -3", "", ""},
      {"player_gotosong +3", "", ""},
      // Exact words: leading white space is skipped, anything after the word is not.
      {"  player_stop", "stop.sh\n", ""},
      {"\t \tplayer_pause", "pause.sh\n", ""},
      {"player_stop ", "", ""},
      {"player_stop\r", "", ""},
      {"player_stopx", "", ""},
      {"player_sto", "", ""},
      {"Player_stop", "", ""},
      {"PLAYER_NEXTSONG", "", ""},
      {"player_sayinfo 1", "", ""},
      {"player_stop player_pause", "", ""},
      // Empty lines and lines of white space only are passed over.
      {"", "", ""},
      {"\n\n", "", ""},
      {"   \t  ", "", ""},
      {" \r\n\t", "", ""},
      {"x", "", ""},
      // Lines longer than 255 characters keep their first 255; the rest is dropped, never
      // read as a line of its own. Leading white space does not count.
      {std::string(255, 'x') + "player_stop", "", ""},
      {std::string(254, 'x') + "\tplayer_stop", "", ""},
      {"player_stop" + std::string(289, ' '), "", ""},
      {"player_gotosong" + std::string(236, ' ') + "1234", "gotosong.sh 1234\n", ""},
      {"player_gotosong" + std::string(237, ' ') + "1234", "gotosong.sh 123\n", ""},
      {"player_gotolist 12" + std::string(237, ' ') + "player_pause", "gotolist.sh 12\n", ""},
      {std::string(300, ' ') + "player_stop", "stop.sh\n", ""},
  };
  // Every exact word of the player, in capitals or with a blank or a carriage return after
  // it, is no command.
  for (std::string word :
       {"player_startup", "player_restart", "player_stop", "player_pause", "player_changernd",
        "player_changedev", "player_nextlist", "player_nextsong", "player_jumpfw",
        "player_prevlist", "player_prevsong", "player_jumpbw", "player_sayinfo"}) {
    std::string capitals = word;
    for (char &c : capitals)
      c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    cases.push_back({capitals, "", ""});
    cases.push_back({word + " ", "", ""});
    cases.push_back({word + "\r", "", ""});
  }
  std::string tail_scripts, tail_player;
  // The last line has no newline and is still handled.
  check_line_cases(cases, "player_prevsong", &tail_scripts, &tail_player);
  EXPECT_EQ(tail_scripts, "prevsong.sh\n");
  EXPECT_EQ(tail_player, "");
}

// The jump words write exactly their player lines: relative jumps with a sign, absolute
// ones without; up to 16 digits clamped to the int range; no sign accepted; zero writes
// nothing.
TEST(ControlCommands, JumpWordsWriteTheirPlayerLines) {
  std::vector<LineCase> cases = {
      {"player_jumpfw", "", "JUMP +200\n"},
      {"player_jumpbw", "", "JUMP -200\n"},
      {"player_jump 150", "", "JUMP +150\n"},
      {"player_jump42", "", "JUMP +42\n"},
      {"player_jump\t\t 33", "", "JUMP +33\n"},
      {"player_jump 007", "", "JUMP +7\n"},
      {"player_jump 5 6", "", "JUMP +5\n"},
      {"player_jump 8\r", "", "JUMP +8\n"},
      {"player_jump 12abc", "", "JUMP +12\n"},
      {"player_jump 0", "", ""},
      {"player_jump 0000", "", ""},
      {"player_jump", "", ""},
      {"player_jump ", "", ""},
      {"player_jump -5", "", ""},
      {"player_jump +5", "", ""},
      {"player_jump x5", "", ""},
      {"player_jump 2147483647", "", "JUMP +2147483647\n"},
      {"player_jump 2147483648", "", "JUMP +2147483647\n"},
      {"player_jump 9999999999999999", "", "JUMP +2147483647\n"},
      // Sixteen digits are taken: a seventeenth is ignored.
      {"player_jump 00000000000000012", "", "JUMP +1\n"},
      {"player_jump " + std::string(300, '1'), "", "JUMP +2147483647\n"},
      {"player_jumpto 500", "", "JUMP 500\n"},
      {"player_jumpto5", "", "JUMP 5\n"},
      {"player_jumpto 0", "", ""},
      {"player_jumpto", "", ""},
      {"player_jumpto -500", "", ""},
      {"player_jumpto 9999999999999999", "", "JUMP 2147483647\n"},
      {"player_jumpto 00000000000000034", "", "JUMP 3\n"},
      {"player_jumpto 5" + std::string(240, ' ') + "player_jumpfw", "", "JUMP 5\n"},
      {"player_jumpto 5" + std::string(300, '0'), "", "JUMP 2147483647\n"},
      // Exact jump words: nothing may follow them.
      {"player_jumpfw ", "", ""},
      {"player_jumpfw\r", "", ""},
      {"player_jumpbw2", "", ""},
      {"player_jumpfwd", "", ""},
      {"  player_jumpbw", "", "JUMP -200\n"},
      {"PLAYER_JUMP 5", "", ""},
      {"player_jumpt 5", "", ""},
  };
  std::string tail_scripts, tail_player;
  check_line_cases(cases, "player_jumpto 77", &tail_scripts, &tail_player);
  EXPECT_EQ(tail_scripts, "");
  EXPECT_EQ(tail_player, "JUMP 77\n");
}

namespace {

// What velm_control -d traces at start in the sandbox, which has no /dev/mixer: the mixer
// start-up with its device failures.
std::string startup_trace() {
  const std::string no_mixer =
      "Failed to open mixer device (/dev/mixer): No such file or directory";
  return "DEBUG messages ENABLED.\n" + control_trace("ipc_init") +
         control_trace("oss_setvolume: " + no_mixer) + control_trace("mixer_load") +
         control_trace("mixer_setbalance 0") + control_trace("mixer_setvolume 0 0") +
         control_trace("oss_setvolume(): " + no_mixer) + control_trace("mixer_setvolume 0 0") +
         control_trace("oss_setvolume(): " + no_mixer) + control_trace("mixer_settone 0 0") +
         control_trace("oss_settone: " + no_mixer) + control_trace("ipc_read_started");
}

// The two traces every line read leaves.
const std::string line_read = control_trace("ipc_read") + control_trace("ipc_line_received");

// The end: the last read meets the end of the input and gives an empty line.
const std::string trace_end =
    line_read + control_trace("ipc_read_finished") + control_trace("ipc_close");

} // namespace

// With -d every step is traced on standard error, byte for byte; without it only the
// start-up line is written. The option changes nothing else.
TEST(ControlTrace, DebugTraceIsExactAndOnlyWithOption) {
  const std::string lines = "player_jumpfw\n\n   \n\t\nplayer_sayinfo\nplayer_jumpbw\n"
                            "player_jumpto 7\nplayer_jump 0\nplayer_gotolist 2\nplayer_stop\n"
                            "no_such_word\n";
  Sandbox sb;
  RunResult r = sb.run(control_rig_scripts() + control_rig_fifos() + control_rig_runs() +
                           "rig_run traced -d " + shell_quote(lines) + "\n" + "rig_run quiet '' " +
                           shell_quote(lines) + "\n",
                       "", RUN_TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;

  EXPECT_EQ(sb.read("/tmp/traced.err"),
            startup_trace() + line_read + control_trace("player_jumpfw") +
                control_trace("player_jump") + control_trace("JUMP +200") +
                // The empty and blank lines leave no trace: they are skipped within one read.
                line_read + // player_sayinfo traces nothing of its own
                line_read + control_trace("player_jumpbw") + control_trace("player_jump") +
                control_trace("JUMP -200") + line_read + control_trace("player_jumpto") +
                line_read + control_trace("player_jump") + line_read +
                control_trace("player_gotolist") + line_read + control_trace("player_stop") +
                line_read + // no_such_word
                trace_end);
  EXPECT_EQ(sb.read("/tmp/quiet.err"), "DEBUG messages DISABLED.\n");

  for (const char *run : {"traced", "quiet"}) {
    SCOPED_TRACE(run);
    std::string name = std::string("/tmp/") + run;
    EXPECT_EQ(sb.read(name + ".status"), "0\n");
    EXPECT_EQ(sb.read(name + ".player"), "JUMP +200\nJUMP -200\nJUMP 7\n");
    EXPECT_EQ(sb.read(name + ".scripts"), "sayinfo.sh\ngotolist.sh 2\nstop.sh\n");
  }
  EXPECT_EQ(sb.read("/tmp/traced.out"), "2");
  EXPECT_EQ(sb.read("/tmp/quiet.out"), "1");
}

// "-h" and unknown options print the usage text and end the program before any FIFO is
// opened; otherwise the index of the first non-option argument is printed first.
TEST(ControlOptions, UsageAndOptionIndex) {
  Sandbox sb;
  std::string script = R"SH(
for run in h:-h x:-x dx:'-d -x' hd:'-h -d'; do
  name=${run%%:*}
  velm_control ${run#*:} >/tmp/$name.out 2>/tmp/$name.err
  echo $? >/tmp/$name.status
done
ls -A /tmp >/tmp/after-usage
)SH";
  script += control_rig_scripts() + control_rig_fifos() + control_rig_runs() + R"SH(
rig_run none '' 'player_jumpfw
'
rig_run d -d ''
rig_run dd '-d -d' ''
rig_run joined -dd ''
rig_run arg '-d music' ''
rig_run plainarg music ''
)SH";
  RunResult r = sb.run(script, "", RUN_TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;

  const std::string fixed_lines = "Usage: velm [-d] [-h]\n"
                                  "\td\tPrint debugging information\n"
                                  "\th\tShow this help\n\n"
                                  "For additional information read documentation in usr/doc of "
                                  "the distribution\n";
  std::string usage = sb.read("/tmp/h.out");
  const std::string banner = "\nVELM_CONTROL version 0.91";
  ASSERT_EQ(usage.compare(0, banner.size(), banner), 0) << usage;
  size_t banner_end = usage.find('\n', 1);
  ASSERT_NE(banner_end, std::string::npos);
  ASSERT_EQ(usage.compare(banner_end + 1, fixed_lines.size(), fixed_lines), 0) << usage;
  // Then one line naming the maker, and an empty line.
  std::string last = usage.substr(banner_end + 1 + fixed_lines.size());
  ASSERT_GE(last.size(), 3u) << usage;
  EXPECT_EQ(last.find('\n'), last.size() - 2) << usage;
  EXPECT_EQ(last.substr(last.size() - 2), "\n\n");
  EXPECT_EQ(sb.read("/tmp/h.err"), "");

  for (const char *run : {"h", "x", "dx", "hd"}) {
    SCOPED_TRACE(run);
    std::string name = std::string("/tmp/") + run;
    EXPECT_EQ(sb.read(name + ".status"), "0\n");
    EXPECT_EQ(sb.read(name + ".out"), usage);
  }
  // The unknown option is reported by the option parser, in one line naming it.
  for (const char *run : {"x", "dx"}) {
    SCOPED_TRACE(run);
    std::string err = sb.read(std::string("/tmp/") + run + ".err");
    EXPECT_NE(err.find("invalid option"), std::string::npos) << err;
    EXPECT_NE(err.find("'x'"), std::string::npos) << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
  }
  EXPECT_EQ(sb.read("/tmp/hd.err"), "");
  // No FIFO was opened, so none was made by an open either.
  std::string after = sb.read("/tmp/after-usage");
  EXPECT_EQ(after.find("fifo."), std::string::npos) << after;

  struct {
    const char *run;
    const char *out;
    const char *err;
  } const runs[] = {
      {"none", "1", "DEBUG messages DISABLED.\n"},
      {"d", "2", nullptr},
      {"dd", "3", nullptr},
      {"joined", "2", nullptr},
      {"arg", "2", nullptr},
      {"plainarg", "1", "DEBUG messages DISABLED.\n"},
  };
  for (const auto &run : runs) {
    SCOPED_TRACE(run.run);
    std::string name = std::string("/tmp/") + run.run;
    EXPECT_EQ(sb.read(name + ".status"), "0\n");
    EXPECT_EQ(sb.read(name + ".out"), run.out);
    std::string err = sb.read(name + ".err");
    if (run.err != nullptr)
      EXPECT_EQ(err, run.err);
    else
      EXPECT_EQ(err.rfind(startup_trace(), 0), 0u) << err;
  }
  EXPECT_EQ(sb.read("/tmp/none.player"), "JUMP +200\n");
}

// player_startup writes STATUS, runs stop.sh, then resumes at the frame saved in
// /tmp/FRAMEPOS; without a saved frame no jump follows.
TEST(ControlStartup, ResumesAtTheSavedFrame) {
  char framepos[32];
  snprintf(framepos, sizeof framepos, "%16d\n", 900);
  Sandbox sb;
  sb.put("/tmp/FRAMEPOS", framepos);
  sb.put("/tmp/STATUS", "playing something long\n");
  // stop.sh notes what STATUS holds while it runs and, a moment later, what the player has
  // received by then: the jump must wait for stop.sh to end.
  std::string stop_sh = "sleep 0.1\n"
                        "echo \"stop.sh STATUS=$(cat /tmp/STATUS) player=$(cat /tmp/player.out)\" "
                        ">>/tmp/scripts.log";
  RunResult r = sb.run(control_rig_scripts() + control_rig_script("stop", stop_sh) +
                           control_rig_fifos() + control_rig_runs() +
                           "rig_run saved -d 'player_startup\n'\n"
                           "cp /tmp/STATUS /tmp/saved.STATUS\n"
                           "rm /tmp/FRAMEPOS /tmp/STATUS\n"
                           "rig_run missing -d 'player_startup\n'\n"
                           "printf '               0\\n' >/tmp/FRAMEPOS\n"
                           "rig_run zero '' 'player_startup\n'\n"
                           "printf 'no frame\\n' >/tmp/FRAMEPOS\n"
                           "rig_run nodigits '' 'player_startup\n'\n",
                       "", RUN_TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;

  const std::string startup_steps = line_read + control_trace("player_startup") +
                                    control_trace("player_stop") + control_trace("player_jumpto");
  EXPECT_EQ(sb.read("/tmp/saved.status"), "0\n");
  EXPECT_EQ(sb.read("/tmp/saved.STATUS"), "startup\n");
  EXPECT_EQ(sb.read("/tmp/saved.scripts"), "stop.sh STATUS=startup player=\n");
  EXPECT_EQ(sb.read("/tmp/saved.player"), "JUMP 900\n");
  EXPECT_EQ(sb.read("/tmp/saved.err"), startup_trace() + startup_steps + trace_end);

  EXPECT_EQ(sb.read("/tmp/missing.status"), "0\n");
  EXPECT_EQ(sb.read("/tmp/missing.scripts"), "stop.sh STATUS=startup player=\n");
  EXPECT_EQ(sb.read("/tmp/missing.player"), "");
  EXPECT_EQ(sb.read("/tmp/missing.err"), startup_trace() + startup_steps + trace_end);
  EXPECT_EQ(sb.read("/tmp/STATUS"), "startup\n");

  for (const char *run : {"zero", "nodigits"}) {
    SCOPED_TRACE(run);
    std::string name = std::string("/tmp/") + run;
    EXPECT_EQ(sb.read(name + ".status"), "0\n");
    EXPECT_EQ(sb.read(name + ".scripts"), "stop.sh STATUS=startup player=\n");
    EXPECT_EQ(sb.read(name + ".player"), "");
  }
}

// player_restart opens the player FIFO again first (waiting for a reader), then writes
// STATUS and runs nextsong.sh and stop.sh; later jumps go to the new reader, and the
// daemon keeps one descriptor on the player FIFO however often it restarts.
TEST(ControlRestart, ReopensThePlayerFifoFirstAndKeepsOneDescriptor) {
  const std::string script_body =
      "echo \"$(basename $0) STATUS=$(cat /tmp/STATUS 2>/dev/null)\" >>/tmp/scripts.log";
  Sandbox sb;
  RunResult r = sb.run(control_rig_scripts() + control_rig_script("nextsong", script_body) +
                           control_rig_script("stop", script_body) + control_rig_fifos() + R"SH(
# The first player reads one line and goes away.
head -n 1 </tmp/fifo.player >/tmp/player1.out &
first_player=$!
cat /tmp/fifo.display >/tmp/display.out &
display_reader=$!
velm_control >/tmp/control.out 2>/tmp/control.err &
daemon=$!
exec 5>/tmp/fifo.control
printf 'player_jumpfw\n' >&5
wait $first_player
printf 'player_restart\n' >&5
# The daemon now waits for a new reader: nothing of the restart may have happened yet.
sleep 0.2
{ [ -e /tmp/STATUS ] && echo STATUS written; cat /tmp/scripts.log 2>/dev/null; } >/tmp/before-reader
cat /tmp/fifo.player >/tmp/player2.out 5>&- &
second_player=$!
printf 'player_jumpbw\nplayer_restart\nplayer_restart\nplayer_restart\nplayer_jumpto 9\n' >&5
i=0
while [ "$(cat /tmp/scripts.log | wc -l)" -lt 8 ] && [ $i -lt 1000 ]; do sleep 0.01; i=$((i+1)); done
for fd in /proc/$daemon/fd/*; do readlink $fd; done >/tmp/daemon-fds
exec 5>&-
wait $daemon
echo $? >/tmp/control.status
wait $second_player $display_reader
)SH",
                       "", RUN_TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sb.read("/tmp/control.status"), "0\n");
  EXPECT_EQ(sb.read("/tmp/control.err"), "DEBUG messages DISABLED.\n");
  EXPECT_EQ(sb.read("/tmp/before-reader"), "");
  EXPECT_EQ(sb.read("/tmp/player1.out"), "JUMP +200\n");
  EXPECT_EQ(sb.read("/tmp/player2.out"), "JUMP -200\nJUMP 9\n");
  EXPECT_EQ(sb.read("/tmp/STATUS"), "startup\n");
  std::string one_restart = "nextsong.sh STATUS=startup\nstop.sh STATUS=startup\n";
  EXPECT_EQ(sb.read("/tmp/scripts.log"), one_restart + one_restart + one_restart + one_restart);

  std::string fds = sb.read("/tmp/daemon-fds");
  auto count = [&fds](const std::string &target) {
    size_t n = 0;
    for (size_t at = fds.find(target + "\n"); at != std::string::npos;
         at = fds.find(target + "\n", at + 1)) {
      if (at == 0 || fds[at - 1] == '\n')
        ++n;
    }
    return n;
  };
  EXPECT_EQ(count("/tmp/fifo.player"), 1u) << fds;
  EXPECT_EQ(count("/tmp/fifo.control"), 1u) << fds;
  EXPECT_EQ(count("/tmp/fifo.display"), 1u) << fds;
}

// A reader gone from the player or display FIFO costs the lines written to it, not the
// daemon: it goes on with later lines and ends normally. The scripts it runs still start
// with the default action for SIGPIPE.
TEST(ControlFailures, SurvivesReadersThatGoAway) {
  Sandbox sb;
  RunResult r =
      sb.run(control_rig_scripts() +
                 control_rig_script("pause", "echo pause.sh >>/tmp/scripts.log\n"
                                             "sed -n 's/^SigIgn:\\t*//p' /proc/self/status "
                                             ">/tmp/pause.sigign") +
                 control_rig_fifos() + R"SH(
head -n 1 </tmp/fifo.player >/tmp/player.out &
first_player=$!
: </tmp/fifo.display &
display_reader=$!
velm_control >/tmp/control.out 2>/tmp/control.err &
daemon=$!
exec 5>/tmp/fifo.control
printf 'player_jumpfw\n' >&5
wait $first_player $display_reader
printf 'mixer_volumeup\nplayer_jumpbw\nplayer_jump 7\nplayer_stop\nplayer_jumpto 5\nmixer_bassup\nplayer_pause\n' >&5
exec 5>&-
wait $daemon
echo $? >/tmp/control.status
)SH",
             "", RUN_TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sb.read("/tmp/control.status"), "0\n");
  EXPECT_EQ(sb.read("/tmp/control.err"), "DEBUG messages DISABLED.\n");
  EXPECT_EQ(sb.read("/tmp/player.out"), "JUMP +200\n");
  EXPECT_EQ(sb.read("/tmp/scripts.log"), "stop.sh\npause.sh\n");
  unsigned long long ignored = ~0ULL;
  ASSERT_EQ(sscanf(sb.read("/tmp/pause.sigign").c_str(), "%llx", &ignored), 1);
  EXPECT_EQ(ignored & (1ULL << (13 - 1)), 0u) << "SIGPIPE ignored in scripts";
}

// Without a readable /tmp/fifo.control the daemon cannot work: one line on standard error
// names the path and the reason, and it exits with status 1 (at once when the FIFO is
// missing; at the first read when something unreadable stands there). Without the player
// and display FIFOs the opens make ordinary files, and the lines go into them.
TEST(ControlFailures, MissingOrUnreadableFifos) {
  Sandbox sb;
  RunResult r = sb.run(control_rig_scripts() + R"SH(
velm_control >/tmp/absent.out 2>/tmp/absent.err
echo $? >/tmp/absent.status
ls -A /tmp >/tmp/absent.ls
mkfifo /tmp/fifo.control
printf 'player_jumpfw\nplayer_stop\nplayer_jumpto 3\n' >/tmp/fifo.control &
velm_control >/tmp/control.out 2>/tmp/control.err
echo $? >/tmp/control.status
cp /tmp/fifo.player /tmp/regular.player
cp /tmp/fifo.display /tmp/regular.display
rm /tmp/fifo.control
mkdir /tmp/fifo.control
timeout 10 velm_control >/tmp/folder.out 2>/tmp/folder.err
echo $? >/tmp/folder.status
)SH",
                       "", RUN_TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  for (auto [run, reason] :
       {std::pair{"absent", "No such file or directory"}, std::pair{"folder", "Is a directory"}}) {
    SCOPED_TRACE(run);
    std::string name = std::string("/tmp/") + run;
    EXPECT_EQ(sb.read(name + ".status"), "1\n");
    EXPECT_EQ(sb.read(name + ".out"), "1");
    std::string err = sb.read(name + ".err");
    const std::string first = "DEBUG messages DISABLED.\n";
    ASSERT_EQ(err.rfind(first, 0), 0u) << err;
    std::string report = err.substr(first.size());
    EXPECT_EQ(report.find('\n'), report.size() - 1) << err;
    EXPECT_NE(report.find("/tmp/fifo.control"), std::string::npos) << err;
    EXPECT_NE(report.find(reason), std::string::npos) << err;
  }
  std::string listing = sb.read("/tmp/absent.ls");
  EXPECT_EQ(listing.find("fifo."), std::string::npos) << listing;

  EXPECT_EQ(sb.read("/tmp/control.status"), "0\n");
  EXPECT_EQ(sb.read("/tmp/control.err"), "DEBUG messages DISABLED.\n");
  EXPECT_EQ(sb.read("/tmp/scripts.log"), "stop.sh\n");
  const std::string mixer_start = "display_setbalance 0\ndisplay_setvolume 0\n"
                                  "display_setvolume 0\ndisplay_setbass 0\n"
                                  "display_settreble 0\n";
  EXPECT_EQ(sb.read("/tmp/regular.player"), "JUMP +200\nJUMP 3\n");
  EXPECT_EQ(sb.read("/tmp/regular.display"), mixer_start);
  // The run that found a folder appended its start to the files, truncating nothing.
  EXPECT_EQ(sb.read("/tmp/fifo.player"), "JUMP +200\nJUMP 3\n");
  EXPECT_EQ(sb.read("/tmp/fifo.display"), mixer_start + mixer_start);
}

TEST(ControlOutput, LinesGoOutBeforeTheDaemonWaits) {
  // Commands that arrive together have their jump lines sent together, but always before
  // a script runs (stop.sh notes what the player has by then), and a lone command's line
  // reaches the player while the daemon waits for the next one.
  Sandbox sb;
  std::string stop_sh = "sleep 0.1\n"
                        "echo \"stop.sh player=$(tr '\\n' , </tmp/player.out)\" >>/tmp/scripts.log";
  RunResult r = sb.run(control_rig_scripts() + control_rig_script("stop", stop_sh) +
                           control_rig_fifos() + control_rig_runs() +
                           "rig_run together '' 'player_jumpfw\nplayer_jumpbw\nplayer_stop\n"
                           "player_jumpto 7\n'\n" +
                           R"SH(
cat /tmp/fifo.player >/tmp/player.out &
cat /tmp/fifo.display >/dev/null &
exec 7<>/tmp/fifo.control
velm_control >/dev/null 2>&1 7>&- &
echo player_jumpfw >&7
for i in $(seq 100); do [ -s /tmp/player.out ] && break; sleep 0.05; done
cp /tmp/player.out /tmp/lone.player
exec 7>&-
wait
)SH",
                       "", RUN_TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sb.read("/tmp/together.status"), "0\n");
  EXPECT_EQ(sb.read("/tmp/together.scripts"), "stop.sh player=JUMP +200,JUMP -200,\n");
  EXPECT_EQ(sb.read("/tmp/together.player"), "JUMP +200\nJUMP -200\nJUMP 7\n");
  EXPECT_EQ(sb.read("/tmp/lone.player"), "JUMP +200\n");
}

// The scripts the daemon runs get what the daemon was started with (standard input,
// output and error) and nothing of its own: no FIFO. So a speaker that sayinfo.sh leaves
// in the background holds no FIFO open, and the readers see their end when the daemon
// ends.
TEST(ControlDescriptors, ScriptsSeeOnlyWhatTheDaemonWasGiven) {
  // ls lists its own descriptors: those it inherited, then the folder it reads.
  const std::string list = "$(ls /proc/self/fd | sort -n | tr '\\n' ' ')";
  const std::string record = "echo \"$(basename $0) " + list + "\" >>/tmp/fds.log";
  Sandbox sb;
  RunResult r = sb.run(control_rig_scripts() + control_rig_script("stop", record) +
                           control_rig_script("nextsong", record) +
                           control_rig_script("sayinfo",
                                              record + "\nsleep 10 </dev/null >/dev/null 2>&1 &\n"
                                                       "echo $! >/tmp/speaker.pid") +
                           control_rig_fifos() + R"SH(
cat /tmp/fifo.player >/tmp/player.out &
player_reader=$!
cat /tmp/fifo.display >/tmp/display.out &
display_reader=$!
printf 'player_stop\nplayer_sayinfo\nplayer_nextsong\nplayer_startup\n' >/tmp/fifo.control &
echo ")SH" + list + R"SH(" >/tmp/fds.given
velm_control >/tmp/control.out 2>/tmp/control.err
echo $? >/tmp/control.status
wait $player_reader $display_reader
kill -0 "$(cat /tmp/speaker.pid)" 2>/dev/null && echo speaking >/tmp/speaker.state
kill "$(cat /tmp/speaker.pid)" 2>/dev/null || :
)SH",
                       "", RUN_TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sb.read("/tmp/control.status"), "0\n");
  std::string given = sb.read("/tmp/fds.given");
  // The sandbox starts the script with 0, 1 and 2 only; ls adds the folder it reads.
  ASSERT_EQ(given, "0 1 2 3 \n");
  given.pop_back();
  EXPECT_EQ(sb.read("/tmp/fds.log"), "stop.sh " + given + "\nsayinfo.sh " + given +
                                         "\nnextsong.sh " + given + "\nstop.sh " + given + "\n");
  // The readers ended while the speaker still ran.
  EXPECT_TRUE(sb.exists("/tmp/speaker.state"));
}
