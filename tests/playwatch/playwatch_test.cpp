// playwatch run for real in a sandbox: player output in, display lines, checkpoints,
// commands and echo out.

#include "watch_rig.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int RUN_TIMEOUT_MS = 60000;

std::string pad(const std::string &text, size_t width) {
  return (text + std::string(width, ' ')).substr(0, width);
}

std::string id3_line(const std::string &title, const std::string &author,
                     const std::string &genre) {
  return "@I ID3:" + pad(title, 30) + pad(author, 30) + pad("Album", 30) + "2001" +
         pad("Comment", 30) + genre;
}

std::string joined(const std::vector<std::string> &lines) {
  std::string text;
  for (const std::string &line : lines)
    text += line + "\n";
  return text;
}

// The echo, the time lines and the last checkpoint that the watcher must make of a player
// output without information lines or song ends, worked out line by line with the C
// library: "\n%[^\n]" takes the lines, "%s\n" echoes them, sscanf matches them.
struct Outcome {
  std::string echo;
  std::string display;
  std::string framepos;
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
#pragma GCC diagnostic ignored "-Wformat-extra-args"
Outcome reference_outcome(const std::string &input) {
  Outcome out;
  int last_second = 0, counter = 0;
  size_t at = 0;
  for (;;) {
    while (at < input.size() && (input[at] == ' ' || (input[at] >= '\t' && input[at] <= '\r')))
      ++at;
    if (at >= input.size())
      break;
    size_t end = std::min(input.find('\n', at), input.size());
    std::string line = input.substr(at, std::min<size_t>(end - at, 655));
    line.resize(strlen(line.c_str()));
    at = end;
    out.echo += line + "\n";
    char frame[700], left[700], elapsed[700], fraction[700], remaining[700], fraction2[700];
    if (sscanf(line.c_str(),
               "@F %16[1234567890] %16[1234567890] %8[1234567890].%0s %8[1234567890].%0s", frame,
               left, elapsed, fraction, remaining, fraction2) != 6 ||
        atoi(elapsed) == last_second)
      continue;
    last_second = atoi(elapsed);
    if (++counter > 9) {
      counter = 0;
      long long value = atoll(frame);
      char text[32];
      snprintf(text, sizeof text, "%16d\n", value > 2147483647 ? 2147483647 : int(value));
      out.framepos = text;
    }
    int seconds = atoi(remaining);
    char text[64];
    snprintf(text, sizeof text, "display_settime +%02d:%02d -%02d:%02d\n", last_second / 60 % 100,
             last_second % 60, seconds / 60 % 100, seconds % 60);
    out.display += text;
  }
  return out;
}
#pragma GCC diagnostic pop

std::string framepos(const std::string &digits) {
  return std::string(16 - digits.size(), ' ') + digits + "\n";
}

} // namespace

// The time lines, when none is sent, the checkpoint at every tenth change of the second
// counted across songs, "@P 0" matched exactly, and the end with velm's signal.
TEST(Playwatch, TimeLinesCheckpointsAndSongEnds) {
  std::vector<std::string> input = {
      "@R MPG123 (ThOr) v10",
      "@F 0 100 0.00 10.00",      // second 0 at the start: no time line
      "@F 1 99 0.31 3.05",        // still second 0
      "@F 38 60 1.00 9.00",       // change 1
      "@F 39 59 1.50 8.50",       // same second
      "@F 76 20 2.90 8.00",       // change 2
      "@F 70 30 2.05 8.85",       // sought back within second 2: nothing
      "@F 1 2 -3.00 4.00",        // negative: ignored
      "@F 1 2 3 4",               // no decimal point: ignored
      "@F 5000 10 6125.00 59.99", // change 3: 102 minutes 5 seconds
      "@F 44 55 1.20 8.20",       // change 4: sought back to second 1
      "@P 1",                     // another state line: nothing
      "@P 0",                     // song over: checkpoint 0, next song
      "@F 0 300 0.00 7.80",       // change 5: second 0 differs from second 1
      "@F 38 200 1.00 6.80",      // 6
      "@F 76 100 2.00 5.80",      // 7
      "@F 114 50 3.00 4.80",      // 8
      "@P 0",                     // the counter runs on
      "@F 0 300 0.00 7.80",       // 9
      "@F 38 260 1.01 6.80",      // 10: checkpoint of frame 38
      "@P 0 ",                    // a trailing blank: no song end
      "   @P 0",                  // leading blanks are dropped: song end
  };
  std::vector<std::string> display = {
      "display_settime +00:01 -00:09", "display_settime +00:02 -00:08",
      "display_settime +02:05 -00:59", "display_settime +00:01 -00:08",
      "display_settime +00:00 -00:07", "display_settime +00:01 -00:06",
      "display_settime +00:02 -00:05", "display_settime +00:03 -00:04",
      "display_settime +00:00 -00:07", "display_settime +00:01 -00:06",
  };
  // Changes 11 to 20; the 20th has a frame number beyond the int range and comes without
  // a final newline.
  for (int second = 2; second <= 11; ++second) {
    std::string frame = second == 11 ? "9999999999999999" : std::to_string(second * 38);
    input.push_back("@F " + frame + " 10 " + std::to_string(second) + ".00 " +
                    std::to_string(100 - second) + ".50");
    char text[64];
    snprintf(text, sizeof text, "display_settime +00:%02d -01:%02d", second, (100 - second) % 60);
    display.push_back(text);
  }
  std::string player_output = joined(input);
  player_output.pop_back();

  Sandbox sb;
  RunResult r = sb.run(watch_rig_run(sb, player_output), "", RUN_TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sb.read("/tmp/watch.status"), "0\n");
  EXPECT_EQ(sb.read("/tmp/display.out"), joined(display));
  std::string zero = framepos("0");
  // Each song end: the checkpoint 0 is in place when the script runs. The last checkpoint
  // is the 20th change's frame, cut to the int range.
  std::string end = "nextsong.sh STOPCAUGHT\n" + zero;
  EXPECT_EQ(sb.read("/tmp/events.log"), end + end + end);
  EXPECT_EQ(sb.read("/tmp/FRAMEPOS"), "      2147483647\n");
  EXPECT_EQ(temporaries_beside(sb, "FRAMEPOS"), "");
  EXPECT_EQ(sb.read("/tmp/fifo.player"), "LOAD next-song.mp3\n");
  input[input.size() - 11] = "@P 0"; // the echo is of the line without its leading blanks
  EXPECT_EQ(sb.read("/tmp/watch.out"), joined(input));
  EXPECT_EQ(sb.read("/tmp/watch.err"), "");
  EXPECT_EQ(sb.read("/tmp/velm.log"), "USR2\n");
}

// ID3 lines: the report before the echo, byte for byte; the tag title or "(no-id3-tag)".
TEST(Playwatch, Id3LinesReportAndTitle) {
  std::string real =
      "@I ID3:Morning Ferry                 Harbour Lights                Low Tide         "
      "             1998                              Unknown";
  std::vector<std::string> input = {
      "@I {",
      real,
      "@I ID3.genre:255",
      id3_line("", "", "Blues"),                         // all blanks: one blank each
      id3_line("Tab\t", "Someone", "Instrumental Rock"), // tabs stay; genre cut to 10
      id3_line("Short", "Line", "").substr(0, 7 + 123),  // one character short
      id3_line("No", "Genre", ""),                       // no word after the comment
      "@I notag",
      "@F 0 1 0.00 1.00", // an @I line never counts as a frame line
  };
  Sandbox sb;
  RunResult r = sb.run(watch_rig_run(sb, joined(input)), "", RUN_TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string none = "display_setid3tagtitle (no-id3-tag)\n";
  EXPECT_EQ(sb.read("/tmp/display.out"), none +
                                             "display_setid3tagtitle Harbour Lights - Morning "
                                             "Ferry\n" +
                                             "display_setid3tagtitle   -  \n" +
                                             "display_setid3tagtitle Someone - Tab\t\n" + none +
                                             none + none);
  std::string album = "Album" + std::string(25, ' '), comment = "Comment" + std::string(23, ' ');
  std::string expected =
      input[0] + "\n" +
      "[playwatch]id3tagtitle: >Harbour Lights - Morning Ferry<\n"
      "title:>Morning Ferry<\nauthor>Harbour Lights<\nalbum>Low Tide                      <\n"
      "year>1998<\ncomment>                              <\ngenre>Unknown<\n\n" +
      real + "\n" + input[2] + "\n" +
      "[playwatch]id3tagtitle: >  -  <\ntitle:> <\nauthor> <\nalbum>" + album +
      "<\nyear>2001<\ncomment>" + comment + "<\ngenre>Blues<\n\n" + input[3] + "\n" +
      "[playwatch]id3tagtitle: >Someone - Tab\t<\ntitle:>Tab\t<\nauthor>Someone<\nalbum>" + album +
      "<\nyear>2001<\ncomment>" + comment + "<\ngenre>Instrument<\n\n" + input[4] + "\n" +
      input[5] + "\n" + input[6] + "\n" + input[7] + "\n" + input[8] + "\n";
  EXPECT_EQ(sb.read("/tmp/watch.out"), expected);
  EXPECT_EQ(sb.read("/tmp/events.log"), "");
}

// Lines as "\n%[^\n]" takes them: white space and empty lines skipped, the rest of the
// line kept; a line longer than 655 characters cut, its rest discarded, never a line of
// its own; the last line without its newline still handled.
TEST(Playwatch, LinesAreTakenCutAndEchoed) {
  std::string long_frame = "@F 5 10 1.00 2.00 " + std::string(700, 'x');
  std::string input = "\n\n  \t@F 5 10 1.00 2.00\r\n" +  // "\r" stays in the line
                      std::string(655, 'y') + "@P 0\n" + // the stop is in the cut part
                      long_frame + "\n" +                // matched on its first 655
                      "\n \n\v\f\r@P 0 trailing\n" + std::string(2000, 'z') + "\n" + "@P 0";
  Sandbox sb;
  RunResult r = sb.run(watch_rig_run(sb, input), "", RUN_TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sb.read("/tmp/watch.out"), "@F 5 10 1.00 2.00\r\n" + std::string(655, 'y') + "\n" +
                                           long_frame.substr(0, 655) + "\n@P 0 trailing\n" +
                                           std::string(655, 'z') + "\n@P 0\n");
  EXPECT_EQ(sb.read("/tmp/display.out"), "display_settime +00:01 -00:02\n");
  EXPECT_EQ(sb.read("/tmp/events.log"), "nextsong.sh STOPCAUGHT\n" + framepos("0"));
}

// A long player output read in many blocks, the block ends falling anywhere in its lines:
// the player's own frame lines, lines that the general match takes (other spacing, text
// after the fraction, too many digits), white space and empty lines, lines longer than
// 655 characters, zero bytes, and a last line without its newline.
TEST(Playwatch, LongOutputInBlocks) {
  std::mt19937 random(7);
  auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  std::string input;
  int second = 0;
  for (int i = 0; i < 40000; ++i) {
    if (pick(4) == 0)
      second += 1 + pick(2);
    std::string line = "@F " + std::to_string(pick(2) == 0 ? pick(100000) : random()) + " " +
                       std::to_string(pick(50000)) + " " + std::to_string(second) + "." +
                       std::to_string(pick(100)) + " " + std::to_string(pick(5000)) + "." +
                       std::to_string(pick(100));
    // Stretches of lines of every kind between long stretches of the player's own lines.
    bool rough = i / 400 % 8 == 0;
    switch (rough ? pick(10) : 10) {
    case 0:
      line = "  \t" + line; // white space before it
      break;
    case 1:
      line.insert(line.find(' '), "\t "); // spacing of another form
      break;
    case 2:
      line += " " + std::string(static_cast<size_t>(600 + pick(1500)), 'x'); // long
      break;
    case 3:
      line.insert(static_cast<size_t>(pick(static_cast<int>(line.size()))), 1, '\0');
      break;
    case 4:
      line = "@F 12345678901234567 " + line.substr(3); // 17 digits
      break;
    case 5:
      line += "\n\n \n"; // empty lines after it
      break;
    case 6:
      line = "@R MPG123 (ThOr) v10";
      break;
    case 7:
      line += "\r";
      break;
    default:
      break;
    }
    input += line + "\n";
  }
  input += "@F 1 2 999999.5 1.00"; // no newline at the end
  Outcome expected = reference_outcome(input);
  ASSERT_GT(expected.display.size(), 5000u);
  ASSERT_FALSE(expected.framepos.empty());

  // Once read as the blocks come from cat, once in blocks of 4093 bytes.
  for (const char *feed : {"cat /tmp/player.txt", "dd if=/tmp/player.txt bs=4093 2>/dev/null"}) {
    SCOPED_TRACE(feed);
    Sandbox sb;
    sb.put("/tmp/player.txt", input);
    RunResult r = sb.run(watch_rig_run_from(feed), "", RUN_TIMEOUT_MS);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(sb.read("/tmp/watch.status"), "0\n");
    EXPECT_TRUE(sb.read("/tmp/watch.out") == expected.echo); // not printed: megabytes
    EXPECT_EQ(sb.read("/tmp/display.out"), expected.display);
    EXPECT_EQ(sb.read("/tmp/FRAMEPOS"), expected.framepos);
    EXPECT_EQ(sb.read("/tmp/watch.err"), "");
  }
}

// Without a display FIFO there is nothing to do: one message, status 1, nothing read,
// nothing run. Where no FIFO of that name exists, an ordinary file takes the lines.
TEST(Playwatch, DisplayFifoThatCannotBeOpened) {
  Sandbox sb;
  sb.put("/tmp/player.txt", "@F 1 2 1.00 2.00\n@P 0\n");
  RunResult r = sb.run(watch_rig_standins() +
                           "mkdir /tmp/fifo.display\n"
                           "playwatch </tmp/player.txt >/tmp/watch.out "
                           "2>/tmp/watch.err; echo $? >/tmp/watch.status\n" +
                           watch_rig_end(),
                       "", RUN_TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sb.read("/tmp/watch.status"), "1\n");
  EXPECT_EQ(sb.read("/tmp/watch.err"), "[playwatch]error opening displayfifo\n");
  EXPECT_EQ(sb.read("/tmp/watch.out"), "");
  EXPECT_EQ(sb.read("/tmp/events.log"), "");
  EXPECT_EQ(sb.read("/tmp/velm.log"), "");

  sb.put("/tmp/player.txt", "@F 1 2 1.00 2.00\n@P 0\n");
  r = sb.run(watch_rig_standins() +
                 "echo old >/tmp/fifo.display\n"
                 "playwatch </tmp/player.txt >/tmp/watch.out "
                 "2>/tmp/watch.err; echo $? >/tmp/watch.status\n" +
                 watch_rig_end(),
             "", RUN_TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sb.read("/tmp/watch.status"), "0\n");
  EXPECT_EQ(sb.read("/tmp/fifo.display"), "display_settime +00:01 -00:02\n");
  EXPECT_EQ(sb.read("/tmp/velm.log"), "USR2\n");
}

// A checkpoint that cannot be written costs that checkpoint only.
TEST(Playwatch, FrameposThatCannotBeWritten) {
  Sandbox sb;
  RunResult r = sb.run(watch_rig_run_from("mkdir /tmp/FRAMEPOS; printf '@P 0\\n@F 1 2 1.00 "
                                          "2.00\\n@P 0\\n'"),
                       "", RUN_TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sb.read("/tmp/watch.status"), "0\n");
  EXPECT_EQ(sb.read("/tmp/watch.err"), "[playwatch]error opening frameposfile\n"
                                       "[playwatch]error opening frameposfile\n");
  EXPECT_EQ(sb.read("/tmp/watch.out"), "@P 0\n@F 1 2 1.00 2.00\n@P 0\n");
  EXPECT_EQ(sb.read("/tmp/display.out"), "display_settime +00:01 -00:02\n");
  EXPECT_EQ(sb.read("/tmp/events.log"), "nextsong.sh STOPCAUGHT\nnextsong.sh STOPCAUGHT\n");
  EXPECT_EQ(sb.read("/tmp/velm.log"), "USR2\n");
}

// A display daemon or a reader of the echo that goes away does not end the watcher: it
// reads and handles the player's output to its end.
TEST(Playwatch, ReadersThatGoAway) {
  // Twenty changes of the second in each half; the display reader takes one line and
  // leaves before the second half comes.
  std::string first, second;
  for (int s = 1; s <= 20; ++s)
    first += "@F " + std::to_string(s * 38) + " 5 " + std::to_string(s) + ".00 9.00\n";
  for (int s = 21; s <= 40; ++s)
    second += "@F " + std::to_string(s * 38) + " 5 " + std::to_string(s) + ".00 9.00\n";
  second += "@P 0\n";
  Sandbox sb;
  sb.put("/tmp/first.txt", first);
  sb.put("/tmp/second.txt", second);
  // The second half follows once /tmp/gone exists.
  std::string feed = "{ cat /tmp/first.txt; while [ ! -e /tmp/gone ]; do sleep 0.02; done; "
                     "sleep 0.1; cat /tmp/second.txt; }";
  RunResult r = sb.run(watch_rig_standins() + R"(
mkfifo /tmp/fifo.display
{ head -n 1 /tmp/fifo.display >/tmp/display.out; : >/tmp/gone; } &
display_reader=$!
)" + feed + " | playwatch >/tmp/watch.out 2>/tmp/watch.err; echo $? >/tmp/watch.status\n" +
                           watch_rig_end(),
                       "", RUN_TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sb.read("/tmp/watch.status"), "0\n");
  EXPECT_EQ(sb.read("/tmp/display.out"), "display_settime +00:01 -00:09\n");
  EXPECT_EQ(sb.read("/tmp/watch.out"), first + second);
  EXPECT_EQ(sb.read("/tmp/events.log"), "nextsong.sh STOPCAUGHT\n" + framepos("0"));
  EXPECT_EQ(sb.read("/tmp/velm.log"), "USR2\n");

  // The echo's reader leaves after one line.
  sb.put("/tmp/first.txt", first);
  sb.put("/tmp/second.txt", second);
  r = sb.run(watch_rig_standins() + watch_rig_display() + "{ " + feed +
                 " | playwatch 2>/tmp/watch.err; echo $? >/tmp/watch.status; } | "
                 "{ head -n 1 >/tmp/watch.out; : >/tmp/gone; }\nwait $display_reader\n" +
                 watch_rig_end(),
             "", RUN_TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sb.read("/tmp/watch.status"), "0\n");
  EXPECT_EQ(sb.read("/tmp/watch.out"), "@F 38 5 1.00 9.00\n");
  std::string display;
  for (int s = 1; s <= 40; ++s)
    display +=
        "display_settime +00:" + std::string(s < 10 ? "0" : "") + std::to_string(s) + " -00:09\n";
  EXPECT_EQ(sb.read("/tmp/display.out"), display);
  EXPECT_EQ(sb.read("/tmp/velm.log"), "USR2\n");
}

// The script that starts the next song gets what the watcher was started with and
// nothing of its own (the display FIFO, the checkpoint's folder), its output going to
// the player's FIFO.
TEST(Playwatch, TheNextSongScriptGetsNoDescriptorOfTheWatcher) {
  // ls lists its own descriptors: those it inherited, then the folder it reads.
  const std::string list = "$(ls /proc/self/fd | sort -n | tr '\\n' ' ')";
  Sandbox sb;
  sb.put("/tmp/player.txt", "@F 0 100 0.00 10.00\n@F 38 60 1.00 9.00\n@P 0\n");
  RunResult r =
      sb.run(watch_rig_standins() + "cat >/tmp/bin/nextsong.sh <<'SCRIPT'\n#!/bin/sh\n" +
                 "echo \"" + list + "\" >/tmp/fds.script\n" +
                 "output=$(readlink /proc/$$/fd/1)\necho \"$output\" >/tmp/fds.output\nSCRIPT\n" +
                 watch_rig_display() + "echo \"" + list + "\" >/tmp/fds.given\n" +
                 "cat /tmp/player.txt | playwatch >/tmp/watch.out 2>/tmp/watch.err\n" +
                 "echo $? >/tmp/watch.status\nwait $display_reader\n" + watch_rig_end(),
             "", RUN_TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sb.read("/tmp/watch.status"), "0\n");
  std::string given = sb.read("/tmp/fds.given");
  // The sandbox starts the script with 0, 1 and 2 only; ls adds the folder it reads.
  EXPECT_EQ(given, "0 1 2 3 \n");
  EXPECT_EQ(sb.read("/tmp/fds.script"), given);
  EXPECT_EQ(sb.read("/tmp/fds.output"), "/tmp/fifo.player\n");
}
