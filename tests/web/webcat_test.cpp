// The web catalogue end to end: the launcher in a sandbox serves the catalogue page and
// the song chooser through its web server; a real headless chromium follows the page's
// links and clicks a song, which the jukebox then plays; raw requests check what the
// chooser refuses and where the server can be reached.

#include "devtools.h"
#include "free_port.h"
#include "installed.h"
#include "jukebox_rig.h"
#include "panel_rows.h"
#include "sandbox_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// A connection to address:port; -1 when it is refused (or fails otherwise).
int connect_to(const std::string &address, int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address.c_str(), &to.sin_addr);
  timeval timeout = {10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  if (connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool reachable(const std::string &address, int port) {
  int fd = connect_to(address, port);
  if (fd >= 0)
    close(fd);
  return fd >= 0;
}

bool wait_until(const std::function<bool()> &ready, int timeout_ms) {
  auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!ready()) {
    if (Clock::now() > until)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

struct Response {
  int status = 0; // 0: no answer
  std::string body;
};

// One HTTP/1.0 request; the target goes out as it is given, however odd.
Response http(const std::string &address, int port, const std::string &target,
              const std::string &method = "GET", const std::string &headers = "",
              const std::string &body = "") {
  Response response;
  int fd = connect_to(address, port);
  if (fd < 0)
    return response;
  std::string request =
      method + " " + target + " HTTP/1.0\r\nHost: jukebox\r\n" + headers + "\r\n" + body;
  if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
    std::string all;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
      all.append(buffer, static_cast<size_t>(n));
    if (sscanf(all.c_str(), "HTTP/1.%*d %d", &response.status) != 1)
      response.status = 0;
    size_t end = all.find("\r\n\r\n");
    if (end != std::string::npos)
      response.body = all.substr(end + 4);
  }
  close(fd);
  return response;
}

std::string code(int device, int list, int song) {
  char text[40];
  snprintf(text, sizeof text, "%04d%04d%04d", device, list, song);
  return text;
}

// The title (file name without ".mp3") of a song of the master list.
std::string title_of(const std::string &mpl, int device, int list, int song) {
  // Appended rather than "\n" + std::to_string(...), of which GCC 12 at -O3 warns falsely
  // (-Wrestrict).
  std::string head = "\n";
  head += std::to_string(device) + " " + std::to_string(list) + " " + std::to_string(song) + " ";
  size_t at = ("\n" + mpl).find(head);
  if (at == std::string::npos)
    return "";
  size_t end = mpl.find(".mp3\n", at);
  size_t slash = mpl.rfind('/', end);
  return mpl.substr(slash + 1, end - slash - 1);
}

// Shell text: songs of 30 s under /mnt/music, devices dev1 (lists A, B) and dev2 (list
// C), three songs each titled by list and number ("C2", artist "Artist"); /dev/lcd read
// into /tmp/lcd.bytes; `start_jukebox ARGS...` and `stop_jukebox`; `await NAME`: waits
// (at most 100 s) for the test to make the file NAME in the scratch folder.
// `await NAME`, in the scripts of these tests.
const std::string await_function = R"SH(
await() {
  i=0
  while [ $i -lt 1000 ] && [ ! -e "$VELM_SCRATCH/$1" ]; do
    sleep 0.1
    i=$((i + 1))
  done
}
)SH";
const std::string rig =
    jukebox_collection(30, "dev1/A dev1/B dev2/C") + jukebox_functions() + await_function;

// Lets the sandboxed script go on past `await NAME`.
void signal_script(const Sandbox &sb, const std::string &name) {
  write_file(sb.scratch() + "/" + name, "");
}

// Whether the play core's record names the song "device list song".
bool chose(const Sandbox &sb, const std::string &song) {
  return sb.exists("/tmp/PLAYSTATE") &&
         sb.read("/tmp/PLAYSTATE").starts_with("song " + song + "\n");
}

size_t count_of(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++n;
  return n;
}

// JavaScript: true when the window has scrolled to the first anchor named `name`: it
// stands at the top, or the page is scrolled as far as it goes and the anchor is in view.
std::string scrolled_to(const std::string &name) {
  return "(() => { const top = document.getElementsByName('" + name +
         "')[0].getBoundingClientRect().top; const end = document.documentElement.scrollHeight;"
         " return Math.abs(top) < 2 || (scrollY > 0 && scrollY + innerHeight >= end - 1 &&"
         " top >= 0 && top < innerHeight); })()";
}

} // namespace

TEST(WebCatalog, BrowserFollowsTheLinksAndTheClickedSongPlays) {
  SKIP_WITHOUT_ROOT("the web server runs as www-data");
  SKIP_WITHOUT("chromium");
  Sandbox sb;
  int port = free_port();
  ASSERT_GT(port, 0);
  DevTools::make_pipes(sb.scratch());
  // Chromium as root has no sandbox of its own; a fresh profile, no name look-ups but
  // the loopback address, no background traffic.
  sb.start(std::string(rig) + "start_jukebox -w 127.0.0.1:" + std::to_string(port) +
           R"SH( /mnt/music/dev1 /mnt/music/dev2
s=$VELM_SCRATCH
mkdir -p "$s/home"
HOME="$s/home" XDG_CONFIG_HOME="$s/home/.config" XDG_CACHE_HOME="$s/home/.cache" \
  chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
  --disable-background-networking --disable-component-update --disable-sync \
  --host-resolver-rules="MAP * ~NOTFOUND, EXCLUDE 127.0.0.1" \
  --user-data-dir="$s/profile" --remote-debugging-pipe about:blank \
  3<"$s/cdp.in" 4>"$s/cdp.out" 2>"$s/chromium.err" &
browser=$!
await done
kill $browser
stop_jukebox
)SH");
  ASSERT_TRUE(wait_until([&] { return reachable("127.0.0.1", port); }, 60000))
      << sb.read("/tmp/velm.log");
  const std::string mpl = sb.read("/tmp/MPL");
  const std::string song_title = title_of(mpl, 2, 1, 2);
  ASSERT_FALSE(song_title.empty()) << mpl;

  DevTools browser;
  ASSERT_TRUE(browser.connect(sb.scratch(), 60000))
      << browser.error() << read_file(sb.scratch() + "/chromium.err");
  ASSERT_TRUE(browser.open_tab("http://127.0.0.1:" + std::to_string(port) + "/catalog"))
      << browser.error();
  EXPECT_EQ(browser.await_value("document.readyState + ' ' + document.title",
                                "complete Velm Jukebox", 20000),
            "complete Velm Jukebox");

  // The second device in the list of groups leads to its cell, which shows its lists.
  const std::string group = code(2, 0, 0), list = code(2, 1, 0), song = code(2, 1, 2);
  ASSERT_TRUE(browser.click("a[href='#" + group + "']")) << browser.error();
  EXPECT_EQ(browser.await_value("location.hash", "#" + group, 5000), "#" + group);
  EXPECT_EQ(browser.evaluate(scrolled_to(group)), "true");
  // The list's link there leads to the list's songs in the third section.
  ASSERT_TRUE(browser.click("a[href='#" + list + "']")) << browser.error();
  EXPECT_EQ(browser.await_value("location.hash", "#" + list, 5000), "#" + list);
  EXPECT_EQ(browser.evaluate(scrolled_to(list)), "true");
  // The click on the song: the chooser's answer says what plays.
  ASSERT_TRUE(browser.click("a[name='" + song + "']")) << browser.error();
  EXPECT_EQ(browser.await_value("location.pathname + location.search",
                                "/cgi-bin/choose.sh?song=" + song, 10000),
            "/cgi-bin/choose.sh?song=" + song);
  EXPECT_EQ(browser.await_value("document.readyState", "complete", 10000), "complete");
  EXPECT_EQ(browser.evaluate("document.getElementById('playing').textContent"),
            "Now playing: " + song_title);
  EXPECT_TRUE(chose(sb, "2 1 2")) << sb.read("/tmp/PLAYSTATE");
  // Its link leads back to the catalogue at the song.
  ASSERT_TRUE(browser.click("a[href='/catalog#" + song + "']")) << browser.error();
  EXPECT_EQ(browser.await_value("location.pathname + location.hash", "/catalog#" + song, 10000),
            "/catalog#" + song);

  // The LCD shows the song's ID3 title once the welcome has passed.
  const std::string row = "Artist - " + song_title;
  auto shown = [&] {
    std::vector<std::string> rows = drawn_rows(sb.read("/tmp/lcd.bytes"), 1);
    return std::find(rows.begin(), rows.end(), row + std::string(24 - row.size(), ' ')) !=
           rows.end();
  };
  EXPECT_TRUE(wait_until(shown, 20000)) << "row 1 never showed " << row;
  browser.close_browser();
  signal_script(sb, "done");
  RunResult r = sb.wait(60000);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sb.read("/tmp/velm.status"), "0\n") << sb.read("/tmp/velm.err");

  // The player loaded the song's file: its tag came out.
  std::string player = sb.read("/tmp/player.out");
  EXPECT_NE(player.find("@I ID3:" + song_title + " "), std::string::npos) << player.substr(0, 2000);
  EXPECT_EQ(count_of(sb.read("/tmp/velm.err"), "velm: the web catalogue chooses 2 1 2\n"), 1u)
      << sb.read("/tmp/velm.err");
}

TEST(WebCatalog, ChooserRefusesWhatThePageNeverWritesAndChangesNothing) {
  SKIP_WITHOUT_ROOT("the web server runs as www-data");
  Sandbox sb;
  int port = free_port();
  ASSERT_GT(port, 0);
  // The list of device 2 is named with a markup character.
  sb.start(std::string(rig) + "mv /mnt/music/dev2/C '/mnt/music/dev2/C & D'\n" +
           "start_jukebox -n -w " + std::to_string(port) +
           " /mnt/music/dev1 /mnt/music/dev2\nawait done\nstop_jukebox\n");
  const std::string at = "127.0.0.1";
  ASSERT_TRUE(wait_until([&] { return reachable(at, port); }, 60000)) << sb.read("/tmp/velm.log");
  ASSERT_TRUE(wait_until([&] { return chose(sb, "1 1 1"); }, 20000));

  const std::string chooser = "/cgi-bin/choose.sh";
  const std::vector<std::string> refused = {
      chooser,                         // no parameter
      chooser + "?",                   // an empty query
      chooser + "?song=",              // an empty code
      chooser + "?track=000100010001", // another parameter
      chooser + "?song=000100010001&song=000200010001",
      chooser + "?song=00010001000a", // letters
      chooser + "?song=abc",
      chooser + "?song=-00100010001",                 // a sign
      chooser + "?song=00010001001",                  // too short
      chooser + "?song=0001000100010001000100010001", // too long
      chooser + "?song=" + std::string(300, '1'),
      chooser + "?song=000100010001;touch${IFS}/tmp/owned", // shell metacharacters
      chooser + "?song=$(touch${IFS}/tmp/owned)",
      chooser + "?song=`touch${IFS}/tmp/owned`",
      chooser + "?song=000100010001|touch${IFS}/tmp/owned",
      chooser + "?song=%24(touch%20/tmp/owned)",        // ... encoded
      chooser + "?song=000100010001%0Aplayer_nextsong", // a second line
      chooser + "?song=000100010001%00",
      chooser + "?song=../../../etc/passwd", // path tricks
      chooser + "?song=000100010001/../../../etc/passwd",
      chooser + "?song=%2e%2e%2fMPL",
  };
  for (const std::string &target : refused) {
    Response response = http(at, port, target);
    EXPECT_EQ(response.status, 400) << target << "\n" << response.body;
    EXPECT_NE(response.body.find("Not a song of the catalogue"), std::string::npos) << target;
  }
  // Well formed, but not in the collection; a request not GET.
  EXPECT_EQ(http(at, port, chooser + "?song=000900010001").status, 404);
  EXPECT_EQ(http(at, port, chooser + "?song=000100090000").status, 404);
  EXPECT_EQ(http(at, port, chooser + "?song=" + code(1, 1, 1), "POST").status, 405);

  // None of it reached the jukebox.
  EXPECT_TRUE(chose(sb, "1 1 1")) << sb.read("/tmp/PLAYSTATE");
  EXPECT_FALSE(sb.exists("/tmp/owned"));
  EXPECT_EQ(count_of(sb.read("/tmp/velm.err"), "velm: the web catalogue"), 0u)
      << sb.read("/tmp/velm.err");

  // A list's code plays its first song, through the same path.
  Response chosen = http(at, port, chooser + "?song=" + code(2, 1, 0));
  EXPECT_EQ(chosen.status, 200) << chosen.body;
  // The titles as the page writes them, markup characters as entities once.
  EXPECT_NE(chosen.body.find("Now playing: C1, the first song of C &amp; D<"), std::string::npos)
      << chosen.body;
  EXPECT_NE(chosen.body.find("href=\"/catalog#" + code(2, 1, 0) + "\""), std::string::npos);
  EXPECT_TRUE(chose(sb, "2 1 1")) << sb.read("/tmp/PLAYSTATE");
  EXPECT_EQ(count_of(sb.read("/tmp/velm.err"), "velm: the web catalogue chooses 2 1 1\n"), 1u)
      << sb.read("/tmp/velm.err");

  // A key of the remote's page reaches the jukebox through the launcher; the same key
  // sent from a page elsewhere does not.
  auto key = [&](const std::string &origin, const std::string &word) {
    std::string body = "key=" + word;
    return http(at, port, "/key", "POST",
                "Origin: " + origin +
                    "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                    std::to_string(body.size()) + "\r\n",
                body);
  };
  EXPECT_EQ(key("http://elsewhere.example", "player_pause").status, 403);
  EXPECT_EQ(key("http://jukebox", "player_pause").status, 303);
  EXPECT_TRUE(wait_until(
      [&] { return sb.read("/tmp/PLAYSTATE").find("\nstatus pause\n") != std::string::npos; },
      10000))
      << sb.read("/tmp/PLAYSTATE") << sb.read("/tmp/velm.err");

  // The server shows the page and runs the chooser, and nothing else: no folder lists,
  // no files beside them, nothing outside its folder.
  Response page = http(at, port, "/catalog");
  EXPECT_EQ(page.status, 200);
  EXPECT_EQ(page.body, sb.read("/tmp/velm-www/index.html"));
  EXPECT_NE(page.body.find("HREF=\"/cgi-bin/choose.sh?song=" + code(2, 1, 3) + "\""),
            std::string::npos);
  for (const std::string &target :
       {std::string("/cgi-bin/"), std::string("/cgi-bin"), std::string("/velm-httpd.conf"),
        std::string("/../MPL"), std::string("/../../etc/passwd"), std::string("/MPL")}) {
    Response other = http(at, port, target);
    EXPECT_NE(other.status, 200) << target << "\n" << other.body;
    EXPECT_EQ(other.body.find("choose.sh"), std::string::npos) << target << "\n" << other.body;
    EXPECT_EQ(other.body.find("root:"), std::string::npos) << target;
  }

  signal_script(sb, "done");
  RunResult r = sb.wait(60000);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sb.read("/tmp/velm.status"), "0\n") << sb.read("/tmp/velm.err");
  // The server's folder and request FIFO go with the jukebox.
  EXPECT_FALSE(sb.exists("/tmp/velm-www"));
  EXPECT_FALSE(sb.exists("/tmp/fifo.web"));
}

// The machine's IPv4 addresses other than the loopback ones.
std::vector<std::string> outside_addresses() {
  std::vector<std::string> addresses;
  ifaddrs *all = nullptr;
  if (getifaddrs(&all) != 0)
    return addresses;
  for (ifaddrs *a = all; a != nullptr; a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET)
      continue;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(a->ifa_addr)->sin_addr, text, sizeof text);
    if (std::string(text).rfind("127.", 0) != 0)
      addresses.push_back(text);
  }
  freeifaddrs(all);
  return addresses;
}

TEST(WebCatalog, ServedOnTheConfiguredAddressOnlyWithThePageOfTheLastScan) {
  SKIP_WITHOUT_ROOT("the web server runs as www-data");
  Sandbox sb;
  int port = free_port();
  ASSERT_GT(port, 0);
  // First on 127.0.0.2 with one device; then with the default address and two devices.
  sb.start(std::string(rig) + "start_jukebox -n -w 127.0.0.2:" + std::to_string(port) +
           " /mnt/music/dev1\nawait kill\n" +
           "kill $(ps -o pid=,comm= --ppid $jukebox | awk '$2 == \"velm_web\" { print $1 }')\n" +
           "await first\nstop_jukebox\n" + "start_jukebox -n -w " + std::to_string(port) +
           " /mnt/music/dev1 /mnt/music/dev2\nawait second\nstop_jukebox\n");
  ASSERT_TRUE(wait_until([&] { return reachable("127.0.0.2", port); }, 60000))
      << sb.read("/tmp/velm.log");
  EXPECT_FALSE(reachable("127.0.0.1", port));
  for (const std::string &address : outside_addresses())
    EXPECT_FALSE(reachable(address, port)) << address;
  Response first = http("127.0.0.2", port, "/catalog");
  EXPECT_EQ(first.status, 200);
  EXPECT_NE(first.body.find("HREF=\"#" + code(1, 0, 0) + "\""), std::string::npos) << first.body;
  EXPECT_EQ(first.body.find("HREF=\"#" + code(2, 0, 0) + "\""), std::string::npos) << first.body;
  // A server that ends is started again.
  signal_script(sb, "kill");
  EXPECT_TRUE(wait_until(
      [&] {
        return sb.read("/tmp/velm.err").find("velm: the web server ended; starting it again\n") !=
               std::string::npos;
      },
      20000))
      << sb.read("/tmp/velm.err");
  EXPECT_TRUE(wait_until([&] { return http("127.0.0.2", port, "/catalog").status == 200; }, 20000));
  signal_script(sb, "first");

  ASSERT_TRUE(wait_until([&] { return reachable("127.0.0.1", port); }, 60000))
      << sb.read("/tmp/velm.log");
  EXPECT_FALSE(reachable("127.0.0.2", port));
  for (const std::string &address : outside_addresses())
    EXPECT_FALSE(reachable(address, port)) << address;
  Response second = http("127.0.0.1", port, "/catalog");
  EXPECT_EQ(second.status, 200);
  EXPECT_NE(second.body.find("HREF=\"#" + code(2, 0, 0) + "\""), std::string::npos) << second.body;
  EXPECT_NE(second.body.find("HREF=\"/cgi-bin/choose.sh?song=" + code(2, 1, 3) + "\""),
            std::string::npos);
  signal_script(sb, "second");
  RunResult r = sb.wait(60000);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sb.read("/tmp/velm.status"), "0\n0\n") << sb.read("/tmp/velm.err");
  // After each stop nothing listens any more.
  EXPECT_FALSE(reachable("127.0.0.1", port));
}

// A catalogue page that htmlcatalog could not finish (a full disk cuts it short and makes
// htmlcatalog fail) is not served: the page served before stays, and the log says why.
TEST(WebCatalog, APageThatCouldNotBeWrittenLeavesThePageBefore) {
  SKIP_WITHOUT_ROOT("the web server runs as www-data");
  Sandbox sb;
  int port = free_port();
  ASSERT_GT(port, 0);
  const std::string before = "<HTML><BODY>the catalogue of the last start</BODY></HTML>\n";
  sb.put("/tmp/before.html", before);
  sb.start(jukebox_collection(2, "dev1/A") + jukebox_functions() + await_function + R"SH(
mkdir -p /tmp/bin /tmp/velm-www
cp /tmp/before.html /tmp/velm-www/index.html
printf '#!/bin/sh\necho "<HTML><BODY>cut sh"\nexit 1\n' >/tmp/bin/htmlcatalog
chmod +x /tmp/bin/htmlcatalog
PATH=/tmp/bin:$PATH start_jukebox -n -w )SH" +
           std::to_string(port) + " /mnt/music/dev1\nawait done\nstop_jukebox\n");
  const std::string at = "127.0.0.1";
  ASSERT_TRUE(wait_until([&] { return reachable(at, port); }, 60000)) << sb.read("/tmp/velm.log");
  Response page = http(at, port, "/catalog");
  EXPECT_EQ(page.status, 200);
  EXPECT_EQ(page.body, before);
  EXPECT_FALSE(sb.exists("/tmp/velm-www/index.html.new"));
  EXPECT_NE(sb.read("/tmp/velm.err")
                .find("velm: could not write the catalogue page /tmp/velm-www/index.html\n"),
            std::string::npos)
      << sb.read("/tmp/velm.err");
  signal_script(sb, "done");
  RunResult r = sb.wait(60000);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sb.read("/tmp/velm.status"), "0\n") << sb.read("/tmp/velm.err");
}

namespace {

// One line into the launcher's request FIFO, as the web side writes it.
void request(const Sandbox &sb, const std::string &line) {
  int fd = open(sb.path("/tmp/fifo.web").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(fd, 0) << strerror(errno);
  std::string text = line + "\n";
  EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fd);
}

// The status rows the panel has shown so far.
std::vector<std::string> status_rows(const Sandbox &sb) {
  return drawn_rows(sb.read("/tmp/lcd.bytes"), 0);
}

bool any_row_starts(const std::vector<std::string> &rows, const std::string &start) {
  return std::any_of(rows.begin(), rows.end(),
                     [&](const std::string &row) { return row.starts_with(start); });
}

} // namespace

TEST(WebCatalog, TheRequestFifoPassesControlAndDisplayModeLinesAndDropsTheRest) {
  SKIP_WITHOUT_ROOT("the web server runs as www-data");
  Sandbox sb;
  int port = free_port();
  ASSERT_GT(port, 0);
  sb.start(std::string(rig) + "start_jukebox -w " + std::to_string(port) +
           " /mnt/music/dev1 /mnt/music/dev2\nawait done\nstop_jukebox\n");
  ASSERT_TRUE(wait_until([&] { return sb.exists("/tmp/fifo.web") && chose(sb, "1 1 1"); }, 60000))
      << sb.read("/tmp/velm.log");

  // Near misses of the lines the launcher passes on, and lines for neither daemon.
  const std::vector<std::string> dropped = {"mixer_volumeup now",
                                            " mixer_volumeup",
                                            "mixer_volumeup ",
                                            "player_nextsong;reboot",
                                            "player_gotosong",
                                            "player_gotosong -2",
                                            "player_gotosong 12345678",
                                            "display_setmode",
                                            "display_setmode 12",
                                            "display_setmode x",
                                            "display_setvolume 99",
                                            "display_settitle Owned",
                                            "1 1",
                                            "rm -rf /tmp"};
  for (const std::string &line : dropped)
    request(sb, line);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(count_of(sb.read("/tmp/velm.err"),
                     "velm: the web catalogue sent a request that is neither an address nor a "
                     "command\n"),
            dropped.size())
      << sb.read("/tmp/velm.err");
  std::vector<std::string> rows = status_rows(sb);
  EXPECT_FALSE(any_row_starts(rows, "V:"));
  EXPECT_FALSE(any_row_starts(rows, "NUMINPUT"));
  for (const std::string &row : drawn_rows(sb.read("/tmp/lcd.bytes"), 1))
    EXPECT_EQ(row.find("Owned"), std::string::npos);
  EXPECT_TRUE(chose(sb, "1 1 1")) << sb.read("/tmp/PLAYSTATE");

  // The display shows the mixer, the control daemon turns the volume up from the first
  // start's 72 and moves on to the next song.
  request(sb, "display_setmode 2");
  request(sb, "mixer_volumeup");
  int volume = 0;
  EXPECT_TRUE(wait_until(
      [&] {
        rows = status_rows(sb);
        return !rows.empty() && sscanf(rows.back().c_str(), "V:%d", &volume) == 1 && volume > 72;
      },
      10000))
      << (rows.empty() ? "" : rows.back());
  request(sb, "player_nextsong");
  EXPECT_TRUE(wait_until([&] { return chose(sb, "1 1 2"); }, 10000)) << sb.read("/tmp/PLAYSTATE");

  signal_script(sb, "done");
  RunResult r = sb.wait(60000);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sb.read("/tmp/velm.status"), "0\n") << sb.read("/tmp/velm.err");
}
