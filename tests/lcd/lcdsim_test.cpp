// The LCD simulator: its frames and terminal box for given streams, and the real lcdsim
// reading /dev/lcd in a sandbox while the real display daemon writes to it.

#include "lcdscreen.h"
#include "lcdview.h"
#include "panel_rows.h"
#include "sandbox_run.h"
#include "tool_options.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

constexpr int TIMEOUT_MS = 60000;

struct Frame {
  std::string row0, row1;
};

// Frames as lcdsim writes them, parsed back; a malformed text fails the test.
std::vector<Frame> parse_frames(const std::string &text) {
  std::vector<Frame> frames;
  size_t at = 0;
  while (at < text.size()) {
    std::string head = "frame " + std::to_string(frames.size() + 1) + "\n";
    EXPECT_EQ(text.compare(at, head.size(), head), 0) << text.substr(at, 40);
    if (text.compare(at, head.size(), head) != 0 || at + head.size() + 54 > text.size())
      break;
    at += head.size();
    Frame f{text.substr(at + 1, 24), text.substr(at + 28, 24)};
    EXPECT_EQ(text.substr(at, 1) + text.substr(at + 25, 3) + text.substr(at + 52, 2), "||\n||\n");
    frames.push_back(f);
    at += 54;
  }
  return frames;
}

std::string frames_of(const std::string &bytes, size_t chunk) {
  LcdScreen screen;
  LcdFrames frames;
  std::string out;
  for (size_t at = 0; at < bytes.size(); at += chunk)
    lcd_frames_feed(frames, screen, bytes.data() + at, std::min(chunk, bytes.size() - at), out);
  if (lcd_frame_take(frames, screen))
    out += lcd_frame_text(frames.count, lcd_screen_row(screen, 0), lcd_screen_row(screen, 1));
  return out;
}

// Rows with runs of the same row taken once.
std::vector<std::string> changes(const std::vector<std::string> &rows) {
  std::vector<std::string> changed;
  for (const std::string &row : rows)
    if (changed.empty() || changed.back() != row)
      changed.push_back(row);
  return changed;
}

std::vector<std::string> row1_changes(const std::vector<Frame> &frames) {
  std::vector<std::string> rows;
  for (const Frame &f : frames)
    rows.push_back(f.row1);
  return changes(rows);
}

const std::string FAREWELL_0 = "Thanx for using VELM    ";
const std::string FAREWELL_1 = "(powered by Linux!)     ";

// Shell text: lcdsim started with `options` (its status into /tmp/sim.status), then a wait
// until its FIFO is there.
std::string start_sim(const std::string &options) {
  return "(lcdsim " + options +
         " 2>/tmp/sim.err; echo $? >/tmp/sim.status) &\n"
         "i=0; while [ ! -p /dev/lcd ] && [ $i -lt 500 ]; do sleep 0.02; i=$((i + 1)); done\n";
}

// Stops lcdsim (the subshell's child) with `signal` and waits for it.
std::string stop_sim(const std::string &signal = "TERM") {
  return "pkill -" + signal + " -x lcdsim\nwait\n";
}

} // namespace

TEST(LcdFrames, TextOfAStreamWhateverItsReads) {
  const std::string bytes = "\033R\033K\033p00,0Hello\033p00,1\xff\xff\xff||\xe9"
                            "\033p00,1\xff\xff\xff||\xe9" // the same row again: no frame
                            "\033R\033c\033p00,0Thanx";
  const std::string expected = "frame 1\n|Hello                   |\n|                        |\n"
                               "frame 2\n|Hello                   |\n|###||e                  |\n"
                               "frame 3\n|                        |\n|                        |\n"
                               "frame 4\n|Thanx                   |\n|                        |\n";
  for (size_t chunk : {size_t{1}, size_t{2}, size_t{7}, bytes.size()})
    EXPECT_EQ(frames_of(bytes, chunk), expected) << "reads of " << chunk;
  EXPECT_EQ(frames_of("\033R\033c", 1), ""); // nothing ever shown: no frame
}

TEST(LcdFrames, TerminalBoxRedrawnInPlace) {
  LcdScreen screen;
  const std::string bytes = "\033p00,1\xff\xffok\xe9";
  lcd_screen_feed(screen, bytes.data(), bytes.size());
  const std::string line = [] {
    std::string l;
    for (int i = 0; i < 24; ++i)
      l += "\u2500";
    return l;
  }();
  // The panel's glyphs: "é" on A02, the plain letter on A00, which has no "é".
  for (LcdRom rom : {LcdRom::A00, LcdRom::A02}) {
    const std::string box = "\u250c" + line + "\u2510\n\u2502" + std::string(24, ' ') +
                            "\u2502\n\u2502\u2588\u2588ok" + (rom == LcdRom::A02 ? "\u00e9" : "e") +
                            std::string(19, ' ') + "\u2502\n\u2514" + line + "\u2518\n";
    EXPECT_EQ(lcd_terminal_text(screen, false, rom), box);
    EXPECT_EQ(lcd_terminal_text(screen, true, rom), "\r\033[4A" + box);
  }
}

TEST(LcdSim, ShowsTheRealDisplayDaemonFromWelcomeToFarewell) {
  Sandbox sb;
  std::string script = start_sim("-q -f /tmp/frames") +
                       "mkfifo /tmp/fifo.display\n"
                       "(echo display_startup; echo display_setstatus PLAY 1 2 3; sleep 6;"
                       " echo display_settitle Short title; sleep 0.6) >/tmp/fifo.display &\n"
                       "velm_display -l >/dev/null 2>/tmp/err; echo $? >/tmp/status\n" +
                       stop_sim() + "[ -e /dev/lcd ] && echo device left; exit 0\n";
  RunResult r = sb.run(script, "", TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(sb.read("/tmp/status"), "0\n");
  EXPECT_EQ(sb.read("/tmp/sim.status"), "0\n") << sb.read("/tmp/sim.err");

  std::vector<Frame> frames = parse_frames(sb.read("/tmp/frames"));
  ASSERT_GT(frames.size(), 56u);
  EXPECT_EQ(frames[0].row0, "1/002/03 PLAY           ");
  // The welcome enters from the right and passes through row 1, one column a frame.
  std::vector<std::string> welcome = changes(pass_through(WELCOME));
  std::vector<std::string> rows = row1_changes(frames);
  ASSERT_GT(rows.size(), welcome.size());
  EXPECT_EQ(std::vector<std::string>(rows.begin(), rows.begin() + welcome.size()), welcome);
  EXPECT_EQ(frames[1].row1, std::string(23, ' ') + "W");
  // Then the title, and the farewell at the end.
  auto title = std::find(rows.begin(), rows.end(), "Short title" + std::string(13, ' '));
  EXPECT_GT(title - rows.begin(), static_cast<long>(welcome.size()));
  EXPECT_EQ(frames.back().row0, FAREWELL_0);
  EXPECT_EQ(frames.back().row1, FAREWELL_1);
}

TEST(LcdSim, WritersComeAndGo) {
  Sandbox sb;
  // Two raw writers, then the daemon twice, each run a start and its farewell; between
  // writers the simulator must wait without spinning.
  std::string script = start_sim("-q -f /tmp/frames") +
                       "printf '\\033p00,0first writer' >/dev/lcd; sleep 0.3\n"
                       "printf '\\033p00,1second writer' >/dev/lcd; sleep 1\n"
                       "sim=$(pgrep -x lcdsim); set -- $(cut -d' ' -f14,15 /proc/$sim/stat); "
                       "echo $(($1 + $2)) >/tmp/sim.ticks\n"
                       "mkfifo /tmp/fifo.display\n"
                       "for run in 1 2; do (echo display_startup; sleep 1) >/tmp/fifo.display &\n"
                       "  velm_display -l >/dev/null 2>&1; sleep 0.3; done\n" +
                       stop_sim();
  RunResult r = sb.run(script, "", TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sb.read("/tmp/sim.status"), "0\n") << sb.read("/tmp/sim.err");
  EXPECT_LT(std::stoi(sb.read("/tmp/sim.ticks")), 20) << "CPU ticks while waiting";

  std::string text = sb.read("/tmp/frames");
  EXPECT_EQ(text.rfind("frame 1\n|first writer            |\n|                        |\n"
                       "frame 2\n|first writer            |\n|second writer           |\n",
                       0),
            0u)
      << text;
  std::vector<Frame> frames = parse_frames(text);
  int farewells = 0, welcomes = 0;
  for (const Frame &f : frames) {
    farewells += f.row0 == FAREWELL_0 && f.row1 == FAREWELL_1;
    welcomes += f.row1 == std::string(23, ' ') + "W";
  }
  EXPECT_EQ(farewells, 2);
  EXPECT_EQ(welcomes, 2);
  EXPECT_EQ(frames.back().row0, FAREWELL_0);
}

TEST(LcdSim, DeviceTakenMadeOrLeftAlone) {
  Sandbox sb;
  // A character device or a plain file at /dev/lcd is not touched. The device is /dev/null
  // bound there, as mknod is not allowed to a user without root.
  RunResult r = sb.run("touch /dev/lcd && mount --bind /dev/null /dev/lcd\nlcdsim -q; echo status "
                       "$?\n[ -c /dev/lcd ] && echo kept\numount /dev/lcd; rm /dev/lcd; echo plain "
                       ">/dev/lcd\nlcdsim -q; echo status $?\ncat /dev/lcd\n",
                       "", TIMEOUT_MS);
  EXPECT_EQ(r.out, "status 1\nkept\nstatus 1\nplain\n");
  EXPECT_EQ(r.err, "lcdsim: /dev/lcd: a character device is there (a real LCD driver?); "
                   "leaving it alone\nlcdsim: /dev/lcd: exists and is not a FIFO; leaving it "
                   "alone\n");

  // A FIFO that is there is taken as it is, with a writer already waiting on it, and left
  // in place at the end.
  r = sb.run("mkfifo -m 600 /dev/lcd\n(printf '\\033p02,1early' >/dev/lcd) &\nsleep 0.2\n" +
                 start_sim("-q -f /tmp/frames") + "sleep 0.5\n" + stop_sim("INT") +
                 "stat -c %a /dev/lcd\n",
             "", TIMEOUT_MS);
  EXPECT_EQ(r.out, "600\n");
  EXPECT_EQ(sb.read("/tmp/sim.status"), "0\n") << sb.read("/tmp/sim.err");
  EXPECT_EQ(sb.read("/tmp/frames"),
            "frame 1\n|                        |\n|  early                 |\n");
}

TEST(LcdSim, LiveViewSignalsAndBrokenPipes) {
  Sandbox sb;
  // The live view on a file: the box with the bar as full blocks, the cursor hidden
  // while it runs and shown again after SIGINT, and the FIFO gone.
  RunResult r = sb.run(start_sim("-i 20 >/tmp/view") +
                           "printf '\\033p00,0live\\033p00,1\\377\\377' >/dev/lcd\nsleep 0.3\n" +
                           stop_sim("INT") + "[ -e /dev/lcd ] || echo gone\n",
                       "", TIMEOUT_MS);
  EXPECT_EQ(r.out, "gone\n");
  EXPECT_EQ(sb.read("/tmp/sim.status"), "0\n");
  std::string view = sb.read("/tmp/view");
  EXPECT_EQ(view.rfind("\033[?25l\u250c", 0), 0u) << view;
  EXPECT_NE(view.find("\r\033[4A"), std::string::npos);
  EXPECT_NE(view.find("\u2502live" + std::string(20, ' ') + "\u2502\n\u2502\u2588\u2588" +
                      std::string(22, ' ') + "\u2502\n"),
            std::string::npos)
      << view;
  EXPECT_EQ(view.substr(view.size() - 6), "\033[?25h");

  // Frames into a pipe whose reader has gone: a clear error and status 1, not SIGPIPE.
  r = sb.run("((lcdsim -f - 2>/tmp/sim.err; echo $? >/tmp/sim.status) | head -n 1 >/tmp/head) &\n"
             "i=0; while [ ! -p /dev/lcd ] && [ $i -lt 500 ]; do sleep 0.02; i=$((i + 1)); done\n"
             "printf '\\033p00,0one\\033p00,1two' >/dev/lcd\n"
             // The frames' reader takes its line and goes, however busy the machine.
             "i=0; while pgrep -x head >/dev/null && [ $i -lt 1000 ]; do sleep 0.02; "
             "i=$((i + 1)); done\n"
             // More frames, unless the simulator already met the broken pipe and went.
             "[ -p /dev/lcd ] && printf '\\033p00,0three\\033R' >/dev/lcd 2>/dev/null\n"
             "wait\n[ -e /dev/lcd ] || echo gone\n",
             "", TIMEOUT_MS);
  EXPECT_EQ(r.out, "gone\n");
  EXPECT_EQ(sb.read("/tmp/head"), "frame 1\n");
  EXPECT_EQ(sb.read("/tmp/sim.status"), "1\n");
  EXPECT_EQ(sb.read("/tmp/sim.err"), "lcdsim: frames: Broken pipe\n");
}

TEST(LcdSim, RefusesMalformedIntervals) {
  expect_usage_errors({
      {"lcdsim -q -i 5O </dev/null", "lcdsim: -i 5O: not a time from 0 to 10000 ms\n"},
      {"lcdsim -q -i '' </dev/null", "not a time from 0 to 10000 ms\n"},
  });
}

TEST(LcdSim, ShowsThePanelsCharactersForEitherRom) {
  // A recorded stream with Latin-1 letters and signs: the glyphs each ROM has, the plain
  // letters on A00 for those it lacks, and never a "?".
  Sandbox sb;
  sb.put("/tmp/stream", "\033R\033p00,0Zo\xeb & the Caf\xe9 Band\033p00,1"
                        "\xe4\xf6\xfc\xdf\xf1 20\xb0 \xb5s \xc5\xd8 \xa9\\~?\xff\xff");
  RunResult r = sb.run("lcdsim -f - -r /tmp/stream; lcdsim -c a02 -f - -r /tmp/stream\n"
                       "lcdsim -c A02 -r /tmp/stream | tail -n 4 | head -n 2\n",
                       "", TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string top =
      "frame 1\n|Zoe & the Cafe Band     |\n|                        |\nframe 2\n";
  const std::string top_a02 =
      "frame 1\n|Zoë & the Café Band     |\n|                        |\nframe 2\n";
  EXPECT_EQ(r.out, top + "|Zoe & the Cafe Band     |\n|äöüßñ 20° µs AO    ?##  |\n" + top_a02 +
                       "|Zoë & the Café Band     |\n|äöüßñ 20° µs ÅØ ©\\~?##  |\n"
                       "│Zoë & the Café Band     │\n│äöüßñ 20° µs ÅØ ©\\~?██  │\n");
  EXPECT_EQ(r.err, "");
}

TEST(LcdSim, RefusesUnknownRoms) {
  expect_usage_errors({
      {"lcdsim -q -c A01 </dev/null", "lcdsim: -c A01: not a character ROM (A00 or A02)\n"},
      {"lcdsim -q -c '' </dev/null", "lcdsim: -c : not a character ROM (A00 or A02)\n"},
  });
}
