// velm_web as the real program in a sandbox, over real sockets: the test plays the
// display's feed (a seqpacket socket at the sandbox's /tmp/display.feed) and the
// browsers, the sandbox's script holds the request FIFO's reader.

#include "free_port.h"
#include "panel_feed.h"
#include "sandbox_run.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// What a command prints on its standard output ("" when it cannot run).
std::string command_output(const std::string &command) {
  std::string out;
  if (FILE *p = popen(command.c_str(), "re")) {
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0)
      out.append(buffer, n);
    pclose(p);
  }
  return out;
}

using Clock = std::chrono::steady_clock;

// A connection to 127.0.0.1:port from the loopback address `from`; -1 on failure.
int connect_from(const char *from, int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in me{};
  me.sin_family = AF_INET;
  inet_pton(AF_INET, from, &me.sin_addr);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  if (bind(fd, reinterpret_cast<sockaddr *>(&me), sizeof me) != 0 ||
      connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Reads from fd until `what` has come (true) or `timeout_ms` passed or the peer closed.
bool read_until(int fd, std::string &got, const std::string &what, int timeout_ms) {
  auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (got.find(what) == std::string::npos) {
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count());
    pollfd p = {fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, left) <= 0)
      return false;
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0)
      return false;
    got.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

struct Answer {
  int status = 0;
  std::string head, body;
};

// One HTTP/1.0 request, read to its end.
Answer request(int port, const std::string &text, const char *from = "127.0.0.1") {
  Answer a;
  int fd = connect_from(from, port);
  if (fd < 0)
    return a;
  if (write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size())) {
    std::string all;
    read_until(fd, all, "\x01never", 10000);
    if (sscanf(all.c_str(), "HTTP/1.%*d %d", &a.status) != 1)
      a.status = 0;
    size_t end = all.find("\r\n\r\n");
    a.head = all.substr(0, end);
    if (end != std::string::npos)
      a.body = all.substr(end + 4);
  }
  close(fd);
  return a;
}

Answer get(int port, const std::string &target) {
  return request(port, "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) +
                           "\r\n\r\n");
}

Answer post_key(int port, const std::string &key, const std::string &origin) {
  std::string body = "key=" + key;
  return request(port, "POST /key HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) +
                           "\r\nOrigin: " + origin +
                           "\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                           "Content-Length: " +
                           std::to_string(body.size()) + "\r\n\r\n" + body);
}

// An /events stream: its connection and what came so far.
struct Stream {
  int fd = -1;
  std::string got;
};

Stream open_stream(int port, const char *from) {
  Stream s;
  s.fd = connect_from(from, port);
  std::string text = "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  if (s.fd >= 0 && write(s.fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    close(s.fd);
    s.fd = -1;
  }
  return s;
}

// The display's side of the feed: a listening seqpacket socket and its readers.
struct Feed {
  int listener = -1;
  std::vector<int> readers;

  bool listen_at(const std::string &path) {
    listener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un at{};
    at.sun_family = AF_UNIX;
    snprintf(at.sun_path, sizeof at.sun_path, "%s", path.c_str());
    return bind(listener, reinterpret_cast<sockaddr *>(&at), sizeof at) == 0 &&
           chmod(path.c_str(), 0666) == 0 && listen(listener, 4) == 0;
  }
  // Waits for a reader to connect and sends it `message`.
  bool accept_reader(const std::string &message, int timeout_ms) {
    pollfd p = {listener, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0)
      return false;
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
      return false;
    readers.push_back(fd);
    return send(fd, message.data(), message.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(message.size());
  }
  void send_all(const std::string &message) {
    for (int fd : readers)
      send(fd, message.data(), message.size(), MSG_NOSIGNAL);
  }
  ~Feed() {
    for (int fd : readers)
      close(fd);
    if (listener >= 0)
      close(listener);
  }
};

PanelFeed panel(int volume) {
  PanelFeed p;
  p.rows[0] = "1:01:02 PLAY     -02:10";
  p.rows[1] = "Artist - Song two";
  p.title = "Artist - Song two";
  p.status = "PLAY";
  p.device = 1;
  p.list = 1;
  p.song = 2;
  p.time = "-2:10";
  p.order = "s";
  p.mode = 1;
  p.volume = volume;
  return p;
}

bool wait_for(const std::function<bool()> &ready, int timeout_ms) {
  auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!ready()) {
    if (Clock::now() > until)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

const std::string page = "<HTML><BODY>\n<A HREF=\"/cgi-bin/choose.sh?song=000100010001\">One "
                         "&amp; only</A>\n\xc3\xa9\r\n\x01</BODY></HTML>\n";

} // namespace

TEST(VelmWeb, ServesThePagesRefusesOtherOriginsAndStreamsTheState) {
  SKIP_WITHOUT_ROOT("velm_web started as root goes on as www-data");
  Sandbox sb;
  int port = free_port();
  ASSERT_GT(port, 0);
  sb.put("/tmp/velm-www/index.html", page);
  sb.put("/tmp/MPL", "1 0 0 /mnt/a\n1 1 0 A\n1 1 1 /mnt/a/A/01_one.mp3\n"
                     "1 1 2 /mnt/a/A/02_two.mp3\n");
  sb.start("mkfifo /tmp/fifo.web && chmod 0666 /tmp/fifo.web\n"
           "exec 3<>/tmp/fifo.web\ncat <&3 >/tmp/lines &\n"
           "velm_web -w " +
           std::to_string(port) +
           " 2>/tmp/web.err &\nweb=$!\n"
           "i=0; while [ ! -e \"$VELM_SCRATCH/done\" ] && [ $i -lt 1200 ]; do sleep 0.1; "
           "i=$((i+1)); done\n"
           "kill $web; wait $web; echo \"status $?\"\n");
  Feed feed;
  ASSERT_TRUE(feed.listen_at(sb.path("/tmp/display.feed"))) << strerror(errno);
  ASSERT_TRUE(feed.accept_reader(format_panel_feed(panel(40)), 20000))
      << "velm_web never came to the display's feed: " << sb.read("/tmp/web.err");
  ASSERT_TRUE(wait_for([&] { return get(port, "/state.json").status == 200; }, 20000));

  Answer remote = get(port, "/");
  EXPECT_EQ(remote.status, 200);
  EXPECT_NE(remote.head.find("Content-Type: text/html; charset=utf-8"), std::string::npos);
  Answer catalog = get(port, "/catalog");
  EXPECT_EQ(catalog.status, 200);
  EXPECT_NE(catalog.head.find("Content-Type: text/html; charset=utf-8"), std::string::npos);
  EXPECT_EQ(catalog.body, page);
  EXPECT_EQ(get(port, "/index.html").status, 404);
  EXPECT_EQ(get(port, "/cgi-bin/choose.sh?song=0001;reboot").status, 400);
  Answer state = get(port, "/state.json");
  EXPECT_NE(state.body.find("\"volume\":40"), std::string::npos) << state.body;

  // A page elsewhere cannot make a browser send keys; the jukebox's own can.
  EXPECT_EQ(post_key(port, "player_nextsong", "http://elsewhere.example").status, 403);
  Answer own = post_key(port, "player_pause", "http://127.0.0.1:" + std::to_string(port));
  EXPECT_EQ(own.status, 303) << own.head << own.body;
  EXPECT_EQ(request(port, "GET /key HTTP/1.0\r\n\r\n").status, 405);
  EXPECT_TRUE(wait_for([&] { return sb.read("/tmp/lines") == "player_pause\n"; }, 5000))
      << sb.read("/tmp/lines");

  // Four streams from one address, twelve more from others: the server's sixteen. A fifth
  // from one address is turned away while the server has room, and a seventeenth from a
  // new address once it is full.
  std::vector<Stream> streams;
  const char *froms[] = {"127.0.0.1", "127.0.0.2", "127.0.0.3", "127.0.0.4"};
  for (const char *from : froms) {
    for (int i = 0; i < 4; ++i) {
      streams.push_back(open_stream(port, from));
      Stream &s = streams.back();
      ASSERT_GE(s.fd, 0);
      ASSERT_TRUE(read_until(s.fd, s.got, "\"volume\":40", 10000)) << from << " " << s.got;
      EXPECT_NE(s.got.find("retry: 1000\n"), std::string::npos);
      EXPECT_NE(s.got.find("event: state\ndata: {"), std::string::npos);
    }
    if (streams.size() == 4) {
      Answer fifth = request(port, "GET /events HTTP/1.0\r\nHost: x\r\n\r\n", from);
      EXPECT_EQ(fifth.status, 503) << fifth.head;
    }
  }
  Answer more = request(port, "GET /events HTTP/1.0\r\nHost: x\r\n\r\n", "127.0.0.5");
  EXPECT_EQ(more.status, 503) << more.head;
  // An idle stream costs the server no wake-ups: the kernel probes its client instead,
  // so one that went away without closing its end still frees its place.
  std::string sockets =
      command_output("ss -tnoH state established '( sport = :" + std::to_string(port) + " )'");
  size_t probed = 0;
  for (size_t at = 0; (at = sockets.find("timer:(keepalive", at)) != std::string::npos; ++at)
    ++probed;
  EXPECT_EQ(probed, streams.size()) << sockets;
  // The others keep theirs: a change on the panel reaches every one.
  feed.send_all(format_panel_feed(panel(55)));
  for (Stream &s : streams)
    EXPECT_TRUE(read_until(s.fd, s.got, "\"volume\":55", 10000)) << s.got;
  // A stream that ends frees its place.
  close(streams.back().fd);
  streams.pop_back();
  feed.send_all(format_panel_feed(panel(56)));
  for (Stream &s : streams)
    EXPECT_TRUE(read_until(s.fd, s.got, "\"volume\":56", 10000)) << s.got;
  EXPECT_TRUE(wait_for(
      [&] {
        Stream again = open_stream(port, "127.0.0.6");
        bool ok = read_until(again.fd, again.got, "\"volume\":56", 2000);
        close(again.fd);
        return ok;
      },
      10000));
  for (Stream &s : streams)
    close(s.fd);

  write_file(sb.scratch() + "/done", "");
  RunResult r = sb.wait(30000);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("status 0"), std::string::npos) << r.out << sb.read("/tmp/web.err");
}
