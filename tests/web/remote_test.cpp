// The web remote end to end: the whole jukebox (velm -w) in a sandbox plays the sample
// collection, a real headless chromium inside it shows the remote at a phone's size
// (with touch) and a desktop's, and the test compares the page with what the panel
// shows: the bytes the display wrote to /dev/lcd and the display's own feed, read here
// with the kernel's time of each message.

#include "devtools.h"
#include "free_port.h"
#include "installed.h"
#include "jukebox_rig.h"
#include "lcdrom.h"
#include "panel_feed.h"
#include "panel_rows.h"
#include "sandbox_run.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

bool wait_until(const std::function<bool()> &ready, int timeout_ms) {
  auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!ready()) {
    if (Clock::now() > until)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

bool reachable(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  bool ok = connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0;
  close(fd);
  return ok;
}

double realtime_ms() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// A reader of the display's feed, as velm_web is one. Each message keeps the time the
// display sent it (the kernel's receive stamp, taken when the message was queued). The
// display drops a reader that falls behind; this one connects again, as velm_web does.
struct FeedReader {
  struct Message {
    double sent_ms;
    PanelFeed feed;
  };
  int fd = -1;
  std::string path;
  int reconnects = 0;
  std::vector<Message> messages;

  ~FeedReader() {
    if (fd >= 0)
      close(fd);
  }
  bool connect_to(const std::string &at_path) {
    path = at_path;
    fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on);
    sockaddr_un at{};
    at.sun_family = AF_UNIX;
    snprintf(at.sun_path, sizeof at.sun_path, "%s", path.c_str());
    if (connect(fd, reinterpret_cast<sockaddr *>(&at), sizeof at) == 0)
      return true;
    close(fd);
    fd = -1;
    return false;
  }
  // Takes every message that has come.
  void drain() {
    for (;;) {
      char data[PANEL_FEED_MAX + 1];
      alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timeval))];
      iovec io = {data, sizeof data};
      msghdr m{};
      m.msg_iov = &io;
      m.msg_iovlen = 1;
      m.msg_control = control;
      m.msg_controllen = sizeof control;
      ssize_t n = recvmsg(fd, &m, 0);
      if (n < 0 && errno == EAGAIN)
        return;
      if (n <= 0) {
        close(fd);
        ++reconnects;
        if (!connect_to(path))
          return;
        continue;
      }
      Message message{realtime_ms(), {}};
      for (cmsghdr *c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMP) {
          timeval stamp{};
          memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
          message.sent_ms =
              static_cast<double>(stamp.tv_sec) * 1e3 + static_cast<double>(stamp.tv_usec) / 1e3;
        }
      }
      if (parse_panel_feed(data, static_cast<size_t>(n), message.feed))
        messages.push_back(message);
    }
  }
  // The last message (an empty one before the first).
  const PanelFeed &last() {
    drain();
    if (messages.empty())
      messages.push_back({realtime_ms(), PanelFeed{}});
    return messages.back().feed;
  }
};

// A row of the panel as the page shows it: each byte through the panel's ROM (A00).
std::string row_text(const std::string &row) {
  std::string out;
  for (char c : row)
    out += lcd_rom_glyph(LcdRom::A00, lcd_rom_code(LcdRom::A00, static_cast<unsigned char>(c)));
  return out;
}

// The display's Latin-1 as the page's UTF-8.
std::string utf8(const std::string &latin1) {
  std::string out;
  for (char c : latin1) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      out += c;
    } else {
      out += static_cast<char>(0xC0 | byte >> 6);
      out += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return out;
}

// A phone held upright (touch, twice the pixels) or a desktop's window.
struct Screen {
  const char *name;
  int width, height, scale;
  bool mobile;
};
const Screen PHONE = {"phone", 360, 740, 2, true};
const Screen DESKTOP = {"desktop", 1280, 800, 1, false};

// The width and height a PNG's header gives; 0 0 when it is not a PNG.
std::pair<unsigned, unsigned> png_size(const std::string &png) {
  if (png.size() < 24 || png.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0 ||
      png.compare(12, 4, "IHDR") != 0)
    return {0, 0};
  auto word = [&](size_t at) {
    unsigned v = 0;
    for (size_t i = at; i < at + 4; ++i)
      v = v << 8 | static_cast<unsigned char>(png[i]);
    return v;
  };
  return {word(16), word(20)};
}

const std::string await_function = R"SH(
await() {
  i=0
  while [ $i -lt 1500 ] && [ ! -e "$VELM_SCRATCH/$1" ]; do
    sleep 0.1
    i=$((i + 1))
  done
}
)SH";

// The whole jukebox on the sample collection (songs of 60 s), its web server on a port
// of its own, a chromium, and this side's feed reader.
class Jukebox {
public:
  Sandbox sb;
  DevTools browser;
  FeedReader feed;
  int port = free_port();
  std::string failure;

  ~Jukebox() {
    // A test that failed early: let the script end rather than wait for `done`.
    if (!stopped)
      write_file(sb.scratch() + "/done", "");
  }

  // Starts it all; false (and `failure` says why) when a part did not come up.
  bool start() {
    if (port <= 0)
      return fail("no free port");
    DevTools::make_pipes(sb.scratch());
    sb.start("sh " + shell_quote(std::string(source_dir()) + "/demo/make_samples.sh") +
             " /mnt/music 60\n" + jukebox_functions() + await_function +
             "start_jukebox -w 127.0.0.1:" + std::to_string(port) +
             R"SH( /mnt/music/device1 /mnt/music/device2
s=$VELM_SCRATCH
mkdir -p "$s/home"
HOME="$s/home" XDG_CONFIG_HOME="$s/home/.config" XDG_CACHE_HOME="$s/home/.cache" \
  chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
  --disable-background-networking --disable-component-update --disable-sync \
  --hide-scrollbars --host-resolver-rules="MAP * ~NOTFOUND, EXCLUDE 127.0.0.1" \
  --user-data-dir="$s/profile" --remote-debugging-pipe about:blank \
  3<"$s/cdp.in" 4>"$s/cdp.out" 2>"$s/chromium.err" &
browser=$!
# The test may have the web server killed once, as a crash would end it.
(await kill_web
 [ -e "$s/kill_web" ] && kill $(ps -o pid=,comm= --ppid $jukebox | awk '$2 == "velm_web" { print $1 }')) &
watcher=$!
await done
kill $browser $watcher
stop_jukebox
)SH");
    if (!wait_until([&] { return reachable(port); }, 60000))
      return fail("the web server never listened\n" + sb.read("/tmp/velm.err"));
    if (!wait_until([&] { return feed.connect_to(sb.path("/tmp/display.feed")); }, 20000))
      return fail("no display feed");
    // The welcome has passed and the first song plays.
    if (!wait_until(
            [&] {
              const PanelFeed &p = feed.last();
              return p.status == "PLAY" && !p.title.starts_with("Welcome") && !p.title.empty();
            },
            40000))
      return fail("the first song never showed: " + feed.last().title);
    if (!browser.connect(sb.scratch(), 60000))
      return fail(browser.error() + read_file(sb.scratch() + "/chromium.err"));
    if (!browser.open_tab("about:blank"))
      return fail(browser.error());
    return true;
  }

  // Shows the remote (or `path`) at the size of `screen`, with scripts or without; waits
  // until it is loaded and, with scripts, live.
  bool show(const Screen &screen, const std::string &path = "/", bool scripts = true) {
    browser.command("Emulation.setDeviceMetricsOverride",
                    "{\"width\":" + std::to_string(screen.width) +
                        ",\"height\":" + std::to_string(screen.height) +
                        ",\"deviceScaleFactor\":" + std::to_string(screen.scale) +
                        ",\"mobile\":" + (screen.mobile ? "true" : "false") + "}");
    browser.command("Emulation.setTouchEmulationEnabled", std::string("{\"enabled\":") +
                                                              (screen.mobile ? "true" : "false") +
                                                              ",\"maxTouchPoints\":5}");
    browser.command("Emulation.setScriptExecutionDisabled",
                    std::string("{\"value\":") + (scripts ? "false" : "true") + "}");
    browser.command("Page.navigate", "{\"url\":" + json_quote(url(path)) + "}");
    std::string want = scripts ? "complete live" : "complete no script";
    std::string got = browser.await_value(
        "document.readyState + ' ' + document.getElementById('link').textContent", want, 20000);
    if (got != want)
      return fail(std::string(screen.name) + ": the page shows " + got);
    return true;
  }

  std::string url(const std::string &path) const {
    return "http://127.0.0.1:" + std::to_string(port) + path;
  }
  // Evaluates `expression` in the page until it gives `want` (at most `timeout_ms`),
  // reading the feed meanwhile; its last value.
  std::string await_page(const std::string &expression, const std::string &want, int timeout_ms) {
    std::string value;
    wait_until(
        [&] {
          feed.drain();
          return (value = browser.evaluate(expression)) == want;
        },
        timeout_ms);
    return value;
  }
  // Scrolls the page so that the first element matching `selector` stands in the middle
  // of the window, as a person scrolls to what he wants to press.
  void scroll_to(const std::string &selector) {
    browser.evaluate("document.querySelector(" + json_quote(selector) +
                     ").scrollIntoView({block: 'center', behavior: 'instant'})");
  }
  bool press(const std::string &selector, bool touch) {
    scroll_to(selector);
    return touch ? browser.tap(selector) : browser.click(selector);
  }
  std::string text_of(const std::string &id) {
    return browser.evaluate("document.getElementById('" + id + "').textContent");
  }
  // The play core's chosen song, "device list song".
  std::string chosen() const {
    std::string record = sb.read("/tmp/PLAYSTATE");
    if (!record.starts_with("song "))
      return "";
    return record.substr(5, record.find('\n') - 5);
  }
  std::vector<std::string> panel_rows(int row) const {
    return drawn_rows(sb.read("/tmp/lcd.bytes"), row);
  }

  // Ends the browser and the jukebox; the jukebox's exit status ("0\n" when it stopped
  // cleanly).
  std::string stop() {
    browser.close_browser();
    write_file(sb.scratch() + "/done", "");
    stopped = true;
    RunResult r = sb.wait(60000);
    EXPECT_EQ(r.status, 0) << r.err;
    return sb.read("/tmp/velm.status");
  }

private:
  bool stopped = false;
  bool fail(const std::string &why) {
    failure = why;
    return false;
  }
};

// The root user (the web server runs as www-data) and chromium, or the test is skipped.
#define NEEDS_ROOT_AND_CHROMIUM()                                                                  \
  SKIP_WITHOUT_ROOT("the web server runs as www-data");                                            \
  SKIP_WITHOUT("chromium")

// The page's rows at one moment equal the rows last drawn on the panel (the bottom row
// scrolls, so they are compared until both hold still at once, at most 10 s).
void expect_rows_match(Jukebox &j) {
  std::string page, panel;
  bool same = wait_until(
      [&] {
        std::vector<std::string> top = j.panel_rows(0), bottom = j.panel_rows(1);
        if (top.empty() || bottom.empty())
          return false;
        panel = row_text(top.back()) + "|" + row_text(bottom.back());
        page = j.text_of("row0") + "|" + j.text_of("row1");
        return page == panel;
      },
      10000);
  EXPECT_TRUE(same) << "page  " << page << "\npanel " << panel;
}

// Marks the time (Date.now) of each change of the page's title in window.titleAt.
const char WATCH_TITLE[] =
    "(() => { window.titleAt = []; window.titles = []; new MutationObserver(() => { "
    "window.titleAt.push(Date.now()); "
    "window.titles.push(document.getElementById('title').textContent); })"
    ".observe(document.getElementById('title'), {childList: true, characterData: true, "
    "subtree: true}); return 'watching'; })()";

} // namespace

// The remote shows what the panel shows; next, pressed on the page, changes the song on
// the panel and then on the page, at a phone's size and a desktop's; both are shot.
TEST(WebRemote, ShowsThePanelAndFollowsTheNextKeyOnAPhoneAndADesktop) {
  NEEDS_ROOT_AND_CHROMIUM();
  Jukebox j;
  ASSERT_TRUE(j.start()) << j.failure;
  // The first song of the collection: the first list of device 1 is a hidden one.
  std::string title = "Harbour Lights - Warm-up";
  std::string names = "/mnt/music/device1|Rehearsals (versteckt)|Warm-up";
  std::string song = "1 1 1";
  for (const Screen &screen : {PHONE, DESKTOP}) {
    SCOPED_TRACE(screen.name);
    ASSERT_TRUE(j.show(screen)) << j.failure;
    expect_rows_match(j);
    EXPECT_EQ(utf8(j.feed.last().title), title);
    EXPECT_EQ(j.text_of("title"), title);
    EXPECT_EQ(j.text_of("device") + " " + j.text_of("list") + " " + j.text_of("song"), song);
    if (!names.empty()) {
      EXPECT_EQ(j.text_of("device_name") + "|" + j.text_of("list_name") + "|" +
                    j.text_of("song_name"),
                names);
    }
    EXPECT_EQ(j.text_of("status"), "PLAY");

    // The page at this size: the width of the screen, the panel's rows within it.
    EXPECT_EQ(j.browser.evaluate("innerWidth + ' ' + devicePixelRatio"),
              std::to_string(screen.width) + " " + std::to_string(screen.scale));
    EXPECT_EQ(j.browser.evaluate("document.documentElement.scrollWidth <= innerWidth && "
                                 "document.getElementById('row1').getBoundingClientRect().right "
                                 "<= innerWidth"),
              "true");
    // Next: the panel's feed says the new title first, the page follows. The title
    // comes from the file's name at first, then from its tag once the player has read it.
    ASSERT_EQ(j.browser.evaluate(WATCH_TITLE), "watching");
    j.feed.drain();
    size_t before = j.feed.messages.size();
    int reconnects = j.feed.reconnects;
    ASSERT_TRUE(j.press("button[value=player_nextsong]", false)) << j.browser.error();
    std::string next, next_bytes;
    ASSERT_TRUE(wait_until(
        [&] {
          next_bytes = j.feed.last().title;
          next = utf8(next_bytes);
          return next != title && next.find(" - ") != std::string::npos;
        },
        10000))
        << "the panel shows " << next << "; the play core chose " << j.chosen() << "\n"
        << j.sb.read("/tmp/velm.err") << "feed: " << j.feed.messages.size() << " messages, last "
        << format_panel_feed(j.feed.last()) << "\nlcd: " << j.panel_rows(0).back() << "|"
        << j.panel_rows(1).back() << "\npage: " << j.text_of("title")
        << "\nplayer: " << j.sb.read("/tmp/player.out").substr(0, 3000);
    EXPECT_EQ(j.await_page("document.getElementById('title').textContent", next, 10000), next);
    // The titles the panel went through, each once, and when it sent the first.
    std::string shown;
    double panel_ms = 0;
    std::string last = title;
    for (size_t i = before; i < j.feed.messages.size(); ++i) {
      const FeedReader::Message &m = j.feed.messages[i];
      if (utf8(m.feed.title) == last)
        continue;
      if (panel_ms == 0)
        panel_ms = m.sent_ms;
      last = utf8(m.feed.title);
      shown += (shown.empty() ? "" : "|") + last;
    }
    ASSERT_GT(panel_ms, 0);
    ASSERT_EQ(j.feed.reconnects, reconnects) << "the feed was lost while the title changed";
    EXPECT_EQ(j.browser.evaluate("window.titles.join('|')"), shown);
    double page_ms = std::stod(j.browser.evaluate("window.titleAt[0]"));
    // Date.now() has whole milliseconds; the feed's time has microseconds.
    EXPECT_GE(page_ms, panel_ms - 1) << "the page changed before the panel";
    EXPECT_LT(page_ms - panel_ms, 1500);
    std::cout << screen.name << ": the page showed the next title " << page_ms - panel_ms
              << " ms after the display sent it (" << shown << ")\n";
    const PanelFeed &now = j.feed.last();
    std::string next_song = std::to_string(now.device) + " " + std::to_string(now.list) + " " +
                            std::to_string(now.song);
    EXPECT_NE(next_song, song);
    EXPECT_TRUE(wait_until([&] { return j.chosen() == next_song; }, 5000)) << j.chosen();
    // The panel's bottom row brings the new title in.
    EXPECT_TRUE(wait_until(
        [&] {
          for (const std::string &row : j.panel_rows(1))
            if (row.find(next_bytes.substr(0, 20)) != std::string::npos)
              return true;
          return false;
        },
        10000));
    EXPECT_EQ(j.text_of("device") + " " + j.text_of("list") + " " + j.text_of("song"), next_song);
    expect_rows_match(j);
    // A picture of the remote with the song playing for a while.
    j.browser.evaluate("scrollTo(0, 0)");
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::string png = j.browser.screenshot();
    EXPECT_EQ(png_size(png), std::make_pair(static_cast<unsigned>(screen.width * screen.scale),
                                            static_cast<unsigned>(screen.height * screen.scale)));
    write_file(std::string(VELM_BUILD_DIR) + "/remote-" + screen.name + ".png", png);

    title = next;
    song = next_song;
    names = "";
  }
  EXPECT_EQ(j.stop(), "0\n");
}

namespace {

// Waits until the welcome has passed the panel's bottom row and the song's title shows
// there: the mixer's bars come only then.
bool welcome_passed(Jukebox &j) {
  return wait_until(
      [&] {
        const PanelFeed &p = j.feed.last();
        return !p.title.empty() && p.rows[1].find(p.title.substr(0, 5)) != std::string::npos;
      },
      20000);
}

// The length of a mixer bar row (bar glyphs from column 0, then blanks); -1 for another.
int bar_length(const std::string &row) {
  size_t glyphs = row.find_first_not_of('\xff');
  if (glyphs == std::string::npos)
    glyphs = row.size();
  if (row.size() != 24 || row.find_first_not_of(' ', glyphs) != std::string::npos)
    return -1;
  return static_cast<int>(glyphs);
}

std::string address_of(const PanelFeed &p) {
  return std::to_string(p.device) + " " + std::to_string(p.list) + " " + std::to_string(p.song);
}

// The path the master list gives for the song "device list song".
std::string path_of(Jukebox &j, const std::string &address) {
  std::string mpl = "\n" + j.sb.read("/tmp/MPL");
  size_t at = mpl.find("\n" + address + " ");
  if (at == std::string::npos)
    return "";
  at += address.size() + 2;
  return mpl.substr(at, mpl.find('\n', at) - at);
}

// Types `text` into the page's field `selector` as a keyboard would.
void type_into(Jukebox &j, const std::string &selector, const std::string &text) {
  ASSERT_EQ(j.browser.evaluate("(() => { document.querySelector(" + json_quote(selector) +
                               ").focus(); return document.activeElement.matches(" +
                               json_quote(selector) + "); })()"),
            "true");
  j.browser.command("Input.insertText", "{\"text\":" + json_quote(text) + "}");
}

} // namespace

// The volume slider, moved on the page, steps the mixer: the panel shows the value and
// its bar in the mixer mode, the page the value.
TEST(WebRemote, TheVolumeSliderMovesThePanelsBarAndThePagesMixer) {
  NEEDS_ROOT_AND_CHROMIUM();
  Jukebox j;
  ASSERT_TRUE(j.start()) << j.failure;
  ASSERT_TRUE(welcome_passed(j)) << format_panel_feed(j.feed.last());
  for (const Screen &screen : {PHONE, DESKTOP}) {
    SCOPED_TRACE(screen.name);
    ASSERT_TRUE(j.show(screen)) << j.failure;
    if (j.feed.last().mode != 2) {
      ASSERT_TRUE(j.press("#modekey", screen.mobile)) << j.browser.error();
      EXPECT_TRUE(wait_until([&] { return j.feed.last().mode == 2; }, 5000));
    }
    int before = j.feed.last().volume;
    EXPECT_EQ(j.text_of("v_volume"), std::to_string(before));
    size_t top_rows = j.panel_rows(0).size(), bottom_rows = j.panel_rows(1).size();
    // The value the slider had when it was let go (the page sends its steps then, and
    // moves it with the mixer's values as they come back).
    ASSERT_EQ(j.browser.evaluate("(() => { const r = document.getElementById('r_volume');"
                                 " r.addEventListener('change', () => window.changedTo = r.value);"
                                 " return 'watching'; })()"),
              "watching");
    // A touch (a click on the desktop) on the slider's track: down on the phone, up on the
    // desktop.
    j.scroll_to("#r_volume");
    ASSERT_TRUE(screen.mobile ? j.browser.tap_in("#r_volume", 0.2, 0.5)
                              : j.browser.click_in("#r_volume", 0.9, 0.5))
        << j.browser.error();
    std::string let_go = j.await_page("typeof window.changedTo", "string", 5000);
    ASSERT_EQ(let_go, "string") << "the slider never changed";
    int target = std::stoi(j.browser.evaluate("window.changedTo"));
    // Where the slider was touched: a fifth of its way, or nine tenths.
    EXPECT_NEAR(target, screen.mobile ? 20 : 90, 8);
    EXPECT_EQ(j.await_page("document.getElementById('v_volume').textContent + ' ' + "
                           "document.getElementById('r_volume').value",
                           std::to_string(target) + " " + std::to_string(target), 10000),
              std::to_string(target) + " " + std::to_string(target));
    EXPECT_EQ(j.feed.last().volume, target);
    char status[8];
    snprintf(status, sizeof status, "V:%3d ", target);
    int bar = -2;
    EXPECT_TRUE(wait_until(
        [&] {
          std::vector<std::string> top = j.panel_rows(0), bottom = j.panel_rows(1);
          bool shown = false;
          for (size_t i = top_rows; i < top.size(); ++i)
            shown = shown || top[i].starts_with(status);
          for (size_t i = bottom_rows; i < bottom.size() && shown; ++i) {
            bar = bar_length(bottom[i]);
            if (bar == target * 24 / 100)
              return true;
          }
          return false;
        },
        10000))
        << "the panel never showed " << status << "with a bar of " << target * 24 / 100 << " (last "
        << bar << ")";
  }
  EXPECT_EQ(j.stop(), "0\n");
}

// Search by two words on the page finds the song; a touch on it (a click on the desktop)
// plays it.
TEST(WebRemote, SearchFindsASongByTwoWordsAndATouchPlaysIt) {
  NEEDS_ROOT_AND_CHROMIUM();
  Jukebox j;
  ASSERT_TRUE(j.start()) << j.failure;
  struct Case {
    const Screen &screen;
    std::string words, file;
  };
  for (const Case &c : {Case{PHONE, "rope salt", "02 Salt and Rope.mp3"},
                        Case{DESKTOP, "BRULEE crème", "01_-_crème_brûlée.mp3"}}) {
    SCOPED_TRACE(c.screen.name);
    ASSERT_TRUE(j.show(c.screen)) << j.failure;
    ASSERT_TRUE(j.press("#q", c.screen.mobile)) << j.browser.error();
    type_into(j, "#q", c.words);
    EXPECT_EQ(j.await_page("document.getElementById('count').textContent", "1 match", 10000),
              "1 match");
    std::string address =
        j.browser.evaluate("document.querySelector('#hits button').dataset.address");
    EXPECT_TRUE(path_of(j, address).ends_with("/" + c.file))
        << address << " " << path_of(j, address);
    ASSERT_NE(j.chosen(), address);
    ASSERT_TRUE(j.press("#hits button", c.screen.mobile)) << j.browser.error();
    EXPECT_TRUE(wait_until([&] { return j.chosen() == address; }, 10000)) << j.chosen();
    EXPECT_TRUE(wait_until([&] { return address_of(j.feed.last()) == address; }, 10000));
    EXPECT_EQ(j.await_page("document.getElementById('device').textContent + ' ' + "
                           "document.getElementById('list').textContent + ' ' + "
                           "document.getElementById('song').textContent",
                           address, 10000),
              address);
  }
  EXPECT_EQ(j.stop(), "0\n");
}

// Digits typed on the page put the panel into the number entry; the song key plays that
// song of the list and the panel goes back to its status.
TEST(WebRemote, TheNumberEntryShowsOnThePanelAndPlaysTheSong) {
  NEEDS_ROOT_AND_CHROMIUM();
  Jukebox j;
  ASSERT_TRUE(j.start()) << j.failure;
  for (const Screen &screen : {PHONE, DESKTOP}) {
    SCOPED_TRACE(screen.name);
    ASSERT_TRUE(j.show(screen)) << j.failure;
    const PanelFeed start = j.feed.last();
    ASSERT_EQ(start.mode, 0);
    // The other song of the list: the first list of device 1 has two.
    std::string number = start.song == 1 ? "2" : "1";
    std::string want = "1 1 " + number;
    size_t rows = j.panel_rows(0).size();
    ASSERT_TRUE(j.press("button[data-digit='" + number + "']", screen.mobile)) << j.browser.error();
    EXPECT_EQ(j.text_of("numshow"), number);
    EXPECT_TRUE(wait_until(
        [&] {
          std::vector<std::string> top = j.panel_rows(0);
          return top.size() > rows && top.back() == "NUMINPUT" + std::string(16, ' ');
        },
        5000))
        << j.panel_rows(0).back();
    EXPECT_EQ(j.feed.last().mode, 1);
    EXPECT_EQ(j.chosen(), address_of(start));
    ASSERT_TRUE(j.press("#numpad button[value=player_gotosong]", screen.mobile))
        << j.browser.error();
    EXPECT_TRUE(wait_until([&] { return j.chosen() == want; }, 10000)) << j.chosen();
    EXPECT_TRUE(wait_until(
        [&] {
          return j.feed.last().mode == 0 && j.panel_rows(0).back().starts_with("1/001/0" + number);
        },
        10000))
        << j.panel_rows(0).back();
    EXPECT_EQ(j.await_page("document.getElementById('song').textContent", number, 5000), number);
  }
  EXPECT_EQ(j.stop(), "0\n");
}

// The web server killed (as a crash would end it): the launcher starts it again, the
// page's live stream comes back by itself and follows the next change.
TEST(WebRemote, TheLiveStreamSurvivesARestartOfTheWebServer) {
  NEEDS_ROOT_AND_CHROMIUM();
  Jukebox j;
  ASSERT_TRUE(j.start()) << j.failure;
  ASSERT_TRUE(j.show(PHONE)) << j.failure;
  write_file(j.sb.scratch() + "/kill_web", "");
  EXPECT_EQ(j.await_page("document.getElementById('link').textContent", "offline", 10000),
            "offline");
  EXPECT_TRUE(wait_until(
      [&] {
        return j.sb.read("/tmp/velm.err").find("the web server ended; starting it again") !=
               std::string::npos;
      },
      10000))
      << j.sb.read("/tmp/velm.err");
  EXPECT_EQ(j.await_page("document.getElementById('link').textContent", "live", 20000), "live");
  // The page still shows the page it had, which is not reloaded: the next change comes
  // through the new stream.
  std::string title = j.text_of("title");
  ASSERT_TRUE(j.press("button[value=player_nextsong]", false)) << j.browser.error();
  std::string next;
  ASSERT_TRUE(wait_until(
      [&] {
        next = utf8(j.feed.last().title);
        return next != title && next.find(" - ") != std::string::npos;
      },
      10000))
      << next;
  EXPECT_EQ(j.await_page("document.getElementById('title').textContent", next, 10000), next);
  EXPECT_EQ(j.chosen(), address_of(j.feed.last()));
  EXPECT_EQ(j.stop(), "0\n");
}

// Without JavaScript the page's plain forms work: a key goes out as a form and the
// answer leads back to the remote, the search form shows its results page, a result
// plays, the number entry's form plays a number.
TEST(WebRemote, WithoutScriptsThePlainFormsWork) {
  NEEDS_ROOT_AND_CHROMIUM();
  Jukebox j;
  ASSERT_TRUE(j.start()) << j.failure;
  ASSERT_TRUE(j.show(PHONE, "/", false)) << j.failure;
  EXPECT_EQ(j.browser.evaluate("document.getElementById('numform').hidden + ' ' + "
                               "document.getElementById('numpad').hidden"),
            "false true");
  ASSERT_EQ(j.chosen(), "1 1 1");
  // A mark that lives only as long as this document.
  j.browser.evaluate("window.mark = 1");
  ASSERT_TRUE(j.press("button[value=player_nextsong]", false)) << j.browser.error();
  EXPECT_TRUE(wait_until([&] { return j.chosen() != "1 1 1"; }, 10000));
  const std::string back = "/ undefined complete";
  const std::string where =
      "location.pathname + location.search + ' ' + typeof window.mark + ' ' + document.readyState";
  EXPECT_EQ(j.await_page(where, back, 10000), back);
  // The page that the answer leads to may have been made before the display showed the
  // new song; a reload shows it.
  EXPECT_TRUE(wait_until(
      [&] {
        if (j.text_of("song") == j.chosen().substr(4))
          return true;
        j.browser.command("Page.reload", "{}");
        j.browser.await_value("document.readyState", "complete", 5000);
        return false;
      },
      10000));

  // The search form: a results page of its own.
  ASSERT_TRUE(j.press("#q", false)) << j.browser.error();
  type_into(j, "#q", "tail tangled");
  j.browser.evaluate("window.mark = 1");
  ASSERT_TRUE(j.press("#searchform button", false)) << j.browser.error();
  const std::string results = "/search?q=tail+tangled undefined complete";
  EXPECT_EQ(j.await_page(where, results, 10000), results);
  EXPECT_EQ(j.text_of("count"), "1 match");
  std::string address = j.browser.evaluate("document.querySelector('#hits input').value");
  EXPECT_TRUE(path_of(j, address).ends_with("/03 Tangled Tail.mp3")) << address;
  ASSERT_TRUE(j.press("#hits button", false)) << j.browser.error();
  EXPECT_TRUE(wait_until([&] { return j.chosen() == address; }, 10000)) << j.chosen();
  EXPECT_EQ(j.await_page(where, back, 10000), back);

  // The number entry's form: song 1 of the list that plays.
  ASSERT_TRUE(j.press("#numform input", false)) << j.browser.error();
  type_into(j, "#numform input", "1");
  ASSERT_TRUE(j.press("#numform button[value=player_gotosong]", false)) << j.browser.error();
  std::string first = address.substr(0, address.rfind(' ')) + " 1";
  EXPECT_TRUE(wait_until([&] { return j.chosen() == first; }, 10000)) << j.chosen();
  EXPECT_EQ(j.stop(), "0\n");
}
