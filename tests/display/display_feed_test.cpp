// The display's feed, read from velm_display running for real in a sandbox: what a reader
// gets when it connects and afterwards, against the panel's own bytes, and the readers
// the display will not wait for.

#include "lcdscreen.h"
#include "panel_feed.h"
#include "sandbox_run.h"

#include "panel_rows.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Rows = std::pair<std::string, std::string>;

constexpr int TIMEOUT_MS = 60000;

// The FIFO, then velm_display with `options`; its writer sends `before`, waits for the
// test's /tmp/go, sends `after` and keeps the FIFO open `hold` seconds more.
std::string feed_run(const std::string &options, const std::string &before,
                     const std::string &after, double hold) {
  return "mkfifo /tmp/fifo.display\n"
         "(printf '%s' " +
         shell_quote(before) + "; while [ ! -e /tmp/go ]; do sleep 0.02; done; printf '%s' " +
         shell_quote(after) + "; sleep " + std::to_string(hold) +
         ") >/tmp/fifo.display &\n"
         "velm_display " +
         options + " >/tmp/out 2>/tmp/err; echo $? >/tmp/status\n";
}

// Connects to the feed of the sandbox's display, waiting for it to listen; -1 when it
// never does.
int connect_feed(const Sandbox &sb) {
  std::string path = sb.path("/tmp/display.feed");
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path)
    return -1;
  memcpy(address.sun_path, path.c_str(), path.size() + 1);
  for (int tries = 0; tries < 500; ++tries) {
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
      return fd;
    close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

enum class Got { Message, Closed, Nothing };

// The next message within `timeout_ms`; a packet that is not a message fails the test.
Got next_message(int fd, PanelFeed &feed, int timeout_ms) {
  pollfd in = {fd, POLLIN, 0};
  if (poll(&in, 1, timeout_ms) <= 0)
    return Got::Nothing;
  char buffer[2 * PANEL_FEED_MAX];
  ssize_t got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
  if (got <= 0)
    return Got::Closed;
  bool parsed = parse_panel_feed(buffer, static_cast<size_t>(got), feed);
  EXPECT_TRUE(parsed) << std::string(buffer, static_cast<size_t>(got));
  return parsed ? Got::Message : Got::Closed;
}

// Every message until the reader is closed or `ms` have passed.
std::vector<PanelFeed> messages_for(int fd, int ms) {
  std::vector<PanelFeed> all;
  auto end = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    PanelFeed feed;
    if (left <= 0 || next_message(fd, feed, static_cast<int>(left)) != Got::Message)
      return all;
    all.push_back(feed);
  }
}

void touch(const Sandbox &sb, const std::string &inside) {
  write_file(sb.path(inside), "");
}

// Writes command lines into the display's FIFO, as another writer.
void send_lines(const Sandbox &sb, const std::string &lines) {
  int fd = open(sb.path("/tmp/fifo.display").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(fd, 0) << strerror(errno);
  ASSERT_EQ(write(fd, lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
  close(fd);
}

// The rows the panel showed, one pair after each whole row written, read from the
// display's bytes with the screen model; consecutive equal pairs once.
std::vector<Rows> panel_screens(const std::string &bytes) {
  LcdScreen screen;
  std::vector<Rows> screens;
  for (char c : bytes) {
    LcdEvent event = lcd_screen_put(screen, static_cast<unsigned char>(c));
    if ((event == LcdEvent::Text && screen.column == 24) || event == LcdEvent::Start) {
      Rows rows = {lcd_screen_row(screen, 0), lcd_screen_row(screen, 1)};
      if (screens.empty() || screens.back() != rows)
        screens.push_back(rows);
    }
  }
  return screens;
}

std::vector<Rows> feed_screens(const std::vector<PanelFeed> &messages) {
  std::vector<Rows> screens;
  for (const PanelFeed &feed : messages) {
    Rows rows = {feed.rows[0], feed.rows[1]};
    if (screens.empty() || screens.back() != rows)
      screens.push_back(rows);
  }
  return screens;
}

// The bottom rows of the messages, consecutive equal ones once.
std::vector<std::string> bottom_rows(const std::vector<PanelFeed> &messages) {
  std::vector<std::string> rows;
  for (const PanelFeed &feed : messages) {
    if (rows.empty() || rows.back() != feed.rows[1])
      rows.push_back(feed.rows[1]);
  }
  return rows;
}

bool contains_run(const std::vector<std::string> &all, const std::vector<std::string> &run) {
  return std::search(all.begin(), all.end(), run.begin(), run.end()) != all.end();
}

const std::string BAR_OF_50 = std::string(12, '\xff') + std::string(12, ' ');

} // namespace

TEST(DisplayFeed, AReaderGetsTheCurrentMessageThenEachChangeAtOnce) {
  Sandbox sb;
  // Without "-l" and without a reader nothing is composed: the welcome waits.
  sb.start(feed_run("",
                    "display_startup\ndisplay_setstatus PLAY 1 2 3\n"
                    "display_settitle A title\ndisplay_setrandommode all\n"
                    "display_setvolume 70\ndisplay_setbalance -20\n",
                    "", 8));
  int fd = connect_feed(sb);
  ASSERT_GE(fd, 0);
  close(fd);
  std::this_thread::sleep_for(std::chrono::milliseconds(1000)); // ten ticks without readers
  fd = connect_feed(sb);
  ASSERT_GE(fd, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  int late = connect_feed(sb);
  ASSERT_GE(late, 0);
  PanelFeed feed;
  ASSERT_EQ(next_message(late, feed, 2000), Got::Message);
  EXPECT_EQ(feed.title, "A title");
  EXPECT_EQ(feed.status, "PLAY");
  EXPECT_EQ(feed.device * 10000 + feed.list * 100 + feed.song, 10203);
  EXPECT_EQ(feed.order, "all");
  EXPECT_EQ(feed.volume, 70);
  EXPECT_EQ(feed.balance, -20);
  EXPECT_EQ(feed.mode, 0);
  // The welcome enters from the right edge in the ticks since a reader is there, not in
  // the second without one.
  EXPECT_NE(feed.rows[1], BLANK_ROW);
  EXPECT_EQ(feed.rows[1].substr(0, 17), BLANK_ROW.substr(0, 17)) << "welcome ran without readers";
  close(fd);

  // Lines change the message at once, a row at the next tick.
  auto sent = Clock::now();
  send_lines(sb, "display_setvolume 42\n");
  bool seen = false;
  while (!seen && next_message(late, feed, 1000) == Got::Message)
    seen = feed.volume == 42;
  EXPECT_TRUE(seen);
  EXPECT_LT(Clock::now() - sent, std::chrono::milliseconds(200));
  sent = Clock::now();
  send_lines(sb, "display_setmode 2\ndisplay_setbass 7\n");
  seen = false;
  while (!seen && next_message(late, feed, 1000) == Got::Message)
    seen = feed.rows[0] == "V: 42 b:  7 t:  0 B: -20";
  EXPECT_TRUE(seen) << feed.rows[0];
  EXPECT_LT(Clock::now() - sent, std::chrono::milliseconds(300));
  EXPECT_EQ(feed.mode, 2);
  close(late);

  touch(sb, "/tmp/go");
  RunResult r = sb.wait(TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sb.read("/tmp/err"), "LCD display support DISABLED.\nID3TAG title display DISABLED.\n"
                                 "DEBUG messages DISABLED.\n");
  EXPECT_FALSE(sb.exists("/dev/lcd"));
  EXPECT_FALSE(sb.exists("/tmp/display.feed")) << "socket left at the end";
}

TEST(DisplayFeed, TheRowsAreThoseOfThePanelWithOrWithoutLcd) {
  const std::string after = "display_startup\ndisplay_setstatus PLAY 1 2 3\n"
                            "display_settitle Short\n";
  const std::string bar = "display_setmode 2\ndisplay_setvolume 50\n";
  // The welcome's rows, those its closing blanks make alike once, as the feed sends them.
  std::vector<std::string> welcome = pass_through(WELCOME);
  welcome.erase(std::unique(welcome.begin(), welcome.end()), welcome.end());
  for (bool with_lcd : {true, false}) {
    SCOPED_TRACE(with_lcd ? "-l" : "no -l");
    Sandbox sb;
    sb.start((with_lcd ? ": >/dev/lcd\n" : "") + feed_run(with_lcd ? "-l" : "", "", after, 8));
    int fd = connect_feed(sb);
    ASSERT_GE(fd, 0);
    touch(sb, "/tmp/go");
    std::vector<PanelFeed> messages = messages_for(fd, 6500); // the welcome and the title
    send_lines(sb, bar);
    std::vector<PanelFeed> more = messages_for(fd, 1000);
    messages.insert(messages.end(), more.begin(), more.end());
    close(fd);
    RunResult r = sb.wait(TIMEOUT_MS);
    ASSERT_EQ(r.status, 0) << r.err;

    std::vector<std::string> bottom = bottom_rows(messages);
    EXPECT_TRUE(contains_run(bottom, welcome)) << testing::PrintToString(bottom);
    EXPECT_NE(std::find(bottom.begin(), bottom.end(), "Short" + std::string(19, ' ')),
              bottom.end());
    EXPECT_EQ(bottom.back(), BAR_OF_50);
    EXPECT_EQ(messages.back().rows[0], "V: 50 b:  0 t:  0 B:   0");
    if (!with_lcd)
      continue;
    // Every screen the feed told of, the panel showed, in the same order.
    std::vector<Rows> panel = panel_screens(sb.read("/dev/lcd"));
    std::vector<Rows> told = feed_screens(messages);
    size_t at = 0;
    for (const Rows &rows : told) {
      while (at < panel.size() && panel[at] != rows)
        ++at;
      ASSERT_LT(at, panel.size()) << "not on the panel: [" << rows.first << "] [" << rows.second
                                  << "]";
    }
    EXPECT_GT(told.size(), welcome.size());
  }
}

TEST(DisplayFeed, AFifthReaderIsClosedAndOneThatDoesNotReadIsDropped) {
  Sandbox sb;
  sb.start(": >/dev/lcd\n" + feed_run("-l", "", "display_startup\n", 9));
  std::vector<int> readers;
  for (int i = 0; i < 4; ++i) {
    readers.push_back(connect_feed(sb));
    ASSERT_GE(readers.back(), 0);
    PanelFeed feed;
    ASSERT_EQ(next_message(readers.back(), feed, 2000), Got::Message) << i;
  }
  int fifth = connect_feed(sb);
  ASSERT_GE(fifth, 0);
  PanelFeed feed;
  EXPECT_EQ(next_message(fifth, feed, 2000), Got::Closed);
  close(fifth);

  // A reader that goes frees its place.
  close(readers[0]);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  readers[0] = connect_feed(sb);
  ASSERT_EQ(next_message(readers[0], feed, 2000), Got::Message);

  // The welcome scrolls, a change a tick; readers 0-2 read it, reader 3 does not.
  touch(sb, "/tmp/go");
  size_t lcd_before = 0;
  std::vector<size_t> counts(3);
  auto end = Clock::now() + std::chrono::seconds(5);
  while (Clock::now() < end) {
    pollfd fds[3] = {{readers[0], POLLIN, 0}, {readers[1], POLLIN, 0}, {readers[2], POLLIN, 0}};
    poll(fds, 3, 100);
    for (int i = 0; i < 3; ++i) {
      if (fds[i].revents != 0 && next_message(readers[i], feed, 0) == Got::Message)
        ++counts[i];
    }
  }
  lcd_before = sb.read("/dev/lcd").size();
  std::vector<PanelFeed> left = messages_for(readers[3], 500);
  EXPECT_EQ(next_message(readers[3], feed, 500), Got::Closed) << "silent reader kept";
  EXPECT_LT(left.size(), counts[0]);
  for (size_t count : counts)
    EXPECT_GT(count, 30u);
  // The others and the panel go on.
  EXPECT_FALSE(messages_for(readers[1], 500).empty());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_GT(sb.read("/dev/lcd").size(), lcd_before);
  for (int fd : readers)
    close(fd);
  RunResult r = sb.wait(TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
}

TEST(DisplayFeed, AStaleSocketIsReplacedAnythingElseLeftAndTheDisplayRunsOn) {
  Sandbox sb;
  // A display killed leaves its socket; the next one listens in its place, for everyone.
  std::string script = "mkfifo /tmp/fifo.display\n"
                       "sleep 600 >/tmp/fifo.display & writer=$!\n"
                       "velm_display >/dev/null & sleep 0.5; kill -9 $!; wait $!; kill $writer\n"
                       "[ -S /tmp/display.feed ] && echo stale\n" +
                       feed_run("", "", "", 1) +
                       "echo keep >/tmp/display.feed\n"
                       ": >/dev/lcd\n"
                       "echo display_startup >/tmp/fifo.display &\n"
                       "velm_display -l >/dev/null 2>/tmp/err2\n"
                       "cat /tmp/display.feed; head -c 4 /dev/lcd | od -c | head -1\n";
  sb.start(script);
  int fd = -1;
  for (int tries = 0; tries < 100 && fd < 0; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (sb.exists("/tmp/fifo.display") && sb.exists("/tmp/out"))
      fd = connect_feed(sb);
  }
  ASSERT_GE(fd, 0);
  struct stat there = {};
  ASSERT_EQ(stat(sb.path("/tmp/display.feed").c_str(), &there), 0);
  EXPECT_EQ(there.st_mode & 07777, 0666u);
  PanelFeed feed;
  EXPECT_EQ(next_message(fd, feed, 2000), Got::Message);
  close(fd);
  touch(sb, "/tmp/go");
  RunResult r = sb.wait(TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("stale\nkeep\n", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("033   R 033   K"), std::string::npos) << r.out;
  EXPECT_NE(sb.read("/tmp/err2")
                .find("velm_display: /tmp/display.feed: not a socket, left as it is; no feed\n"),
            std::string::npos)
      << sb.read("/tmp/err2");
}
