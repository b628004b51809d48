// web_bench: velm_web, the web remote's server, as the real program with a master list of
// 99,999 songs (as search_bench makes it) and a catalogue page, the bench playing the
// display's feed (a seqpacket socket at /tmp/display.feed) and the browsers (over the
// loopback address). Each figure beside its target and, where one exists, a reference
// measured in the same run:
//
//   - page: the remote's load as a browser makes it: "/" itself (the page has no other
//     assets), then /state.json and the first event of /events, as its script does;
//     median and worst of N loads. The reference is a catalogue page file of the same
//     size served at /catalog by the same server.
//   - search: /search.json on the 99,999 songs, the round trip and the server's own
//     time (its CPU time from /proc/PID/schedstat over the request, read once it sleeps
//     again); the reference is search_bench's naive scan, run here, whose number of hits
//     the answer must give too.
//   - change: a new feed message until its event arrives on a live stream, one stream
//     and sixteen (until the last of them has it).
//   - memory: VmRSS and VmHWM with the songs loaded and 16 live clients connected.
//   - idle: velm_web's context switches and CPU time over some seconds while nothing
//     changes, without live clients and with 16 idle live streams.
//   - worst: the search on a master list that one word matches whole, swapped in while
//     the server runs (it reloads /tmp/MPL when it is replaced).
//
// velm_web serves the fixed paths under /tmp, so the bench runs only inside the project's
// sandbox launcher (bench/run.sh web starts it so).
//
//   web_bench [--loads N] [--runs N] [--changes N] [--idle-seconds S]
//             [page|search|change|memory|idle|worst]...
//
// Without section names every section runs.

#include "bench_collection.h"
#include "bench_util.h"
#include "panel_feed.h"
#include "paths.h"
#include "search_index.h"
#include "web_requests.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

const char *const SECTIONS[] = {"page", "search", "change", "memory", "idle", "worst"};
constexpr char WORK_DIR[] = "/tmp/web-bench";
constexpr char LOG[] = "/tmp/web-bench/velm_web.log";
constexpr int STREAMS = 16;            // velm_web's limit of live streams
constexpr int STREAMS_PER_ADDRESS = 4; // and of one client address

struct Settings {
  int loads = 50;
  int runs = 21;
  int changes = 200;
  double idle_seconds = 65;
  Sections sections;
};

[[noreturn]] void fail(const std::string &what) {
  fprintf(stderr, "web_bench: %s\n", what.c_str());
  exit(2);
}

// ---- A browser's side: HTTP/1.1 over kept connections.

struct Connection {
  int fd = -1;
  std::string buffer; // bytes read past the last answer, a stream's de-chunked
  bool chunked = false;
  std::string raw; // a chunked stream's bytes not yet taken apart
};

struct Answer {
  int status = 0;
  std::string head, body;
};

Connection connect_from(const char *from, int port) {
  Connection c;
  c.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in me{};
  me.sin_family = AF_INET;
  inet_pton(AF_INET, from, &me.sin_addr);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  const int on = 1;
  setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (bind(c.fd, reinterpret_cast<sockaddr *>(&me), sizeof me) != 0 ||
      connect(c.fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0)
    fail(std::string("connecting to velm_web: ") + strerror(errno));
  return c;
}

void close_connection(Connection &c) {
  if (c.fd >= 0)
    close(c.fd);
  c.fd = -1;
  c.buffer.clear();
  c.raw.clear();
}

// Moves the whole chunks of a chunked stream's bytes into its buffer.
void dechunk(Connection &c) {
  while (true) {
    size_t line = c.raw.find("\r\n");
    if (line == std::string::npos)
      return;
    size_t size = strtoul(c.raw.c_str(), nullptr, 16);
    if (c.raw.size() < line + 2 + size + 2)
      return;
    c.buffer.append(c.raw, line + 2, size);
    c.raw.erase(0, line + 2 + size + 2);
  }
}

// Reads more into the connection's buffer; false at its end or after 5 s of silence.
bool read_more(Connection &c) {
  pollfd p = {c.fd, POLLIN, 0};
  if (poll(&p, 1, 5000) <= 0)
    return false;
  char chunk[65536];
  ssize_t n = read(c.fd, chunk, sizeof chunk);
  if (n <= 0)
    return false;
  if (c.chunked) {
    c.raw.append(chunk, static_cast<size_t>(n));
    dechunk(c);
  } else {
    c.buffer.append(chunk, static_cast<size_t>(n));
  }
  return true;
}

// A browser's request line and headers.
std::string request_text(const std::string &target, int port, const char *accept) {
  return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
         "\r\nUser-Agent: Mozilla/5.0 (Linux; Android 14) web_bench\r\nAccept: " + accept +
         "\r\nAccept-Language: en-GB,en;q=0.9\r\nAccept-Encoding: gzip, deflate\r\n"
         "Connection: keep-alive\r\n\r\n";
}

void send_text(const Connection &c, const std::string &text) {
  if (write(c.fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
    fail(std::string("writing a request: ") + strerror(errno));
}

// One answer of known length (velm_web gives every answer but a stream a Content-Length).
Answer read_answer(Connection &c) {
  Answer a;
  size_t end;
  while ((end = c.buffer.find("\r\n\r\n")) == std::string::npos) {
    if (!read_more(c))
      fail("an answer's head did not come");
  }
  a.head = c.buffer.substr(0, end);
  if (sscanf(a.head.c_str(), "HTTP/1.%*d %d", &a.status) != 1)
    fail("an answer that is not HTTP: " + a.head);
  std::string lower = a.head;
  for (char &ch : lower)
    ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
  size_t at = lower.find("\r\ncontent-length:");
  if (at == std::string::npos)
    fail("an answer without Content-Length: " + a.head);
  size_t length = strtoul(a.head.c_str() + at + 17, nullptr, 10);
  while (c.buffer.size() < end + 4 + length) {
    if (!read_more(c))
      fail("an answer's body did not come whole");
  }
  a.body = c.buffer.substr(end + 4, length);
  c.buffer.erase(0, end + 4 + length);
  return a;
}

Answer get(Connection &c, const std::string &target, int port,
           const char *accept = "text/html,application/xhtml+xml,*/*;q=0.8") {
  send_text(c, request_text(target, port, accept));
  return read_answer(c);
}

// Reads a live stream until an event's data holds `what`; the data of that event, or ""
// when the stream ended or stayed silent.
std::string read_event(Connection &c, const std::string &what) {
  while (true) {
    size_t end;
    while ((end = c.buffer.find("\n\n")) != std::string::npos) {
      std::string event = c.buffer.substr(0, end);
      c.buffer.erase(0, end + 2);
      size_t data = event.find("data: ");
      if (event.find("event: state") != std::string::npos && data != std::string::npos &&
          event.find(what, data) != std::string::npos)
        return event.substr(data + 6);
    }
    if (!read_more(c))
      return "";
  }
}

// A live stream opened as EventSource does, its head read.
Connection open_stream(int port, const char *from) {
  Connection c = connect_from(from, port);
  send_text(c, "GET /events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                   "\r\nAccept: text/event-stream\r\nCache-Control: no-cache\r\n"
                   "Connection: keep-alive\r\n\r\n");
  size_t end;
  while ((end = c.buffer.find("\r\n\r\n")) == std::string::npos) {
    if (!read_more(c))
      fail("a live stream's head did not come");
  }
  if (c.buffer.compare(0, 12, "HTTP/1.1 200") != 0)
    fail("a live stream refused: " + c.buffer.substr(0, end));
  std::string head = c.buffer.substr(0, end);
  for (char &ch : head)
    ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
  // A stream of unknown length comes in chunks over HTTP/1.1.
  c.chunked = head.find("transfer-encoding: chunked") != std::string::npos;
  if (c.chunked) {
    c.raw = c.buffer.substr(end + 4);
    c.buffer.clear();
    dechunk(c);
  } else {
    c.buffer.erase(0, end + 4);
  }
  return c;
}

// ---- The display's side: the feed.

struct Feed {
  int listener = -1;
  int reader = -1;
};

Feed listen_feed() {
  Feed f;
  unlink(DISPLAY_FEED_PATH);
  f.listener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  sockaddr_un at{};
  at.sun_family = AF_UNIX;
  snprintf(at.sun_path, sizeof at.sun_path, "%s", DISPLAY_FEED_PATH);
  // Open to all: velm_web started by root goes on as www-data.
  if (bind(f.listener, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0 ||
      chmod(DISPLAY_FEED_PATH, 0666) != 0 || listen(f.listener, 4) != 0)
    fail(std::string("the feed socket: ") + strerror(errno));
  return f;
}

PanelFeed panel(int volume) {
  PanelFeed p;
  p.rows[0] = " 1:01:02 PLAY  -02:10  ";
  p.rows[1] = "Liebe Nacht - \xdc"
              "ber Caf\xe9";
  p.title = p.rows[1];
  p.status = "PLAY";
  p.device = 1;
  p.list = 1;
  p.song = 2;
  p.time = "-2:10";
  p.order = "s";
  p.mode = 1;
  p.volume = volume;
  p.balance = 0;
  p.bass = 50;
  p.treble = 50;
  return p;
}

void send_panel(const Feed &f, int volume) {
  std::string message = format_panel_feed(panel(volume));
  if (send(f.reader, message.data(), message.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(message.size()))
    fail(std::string("sending a feed message: ") + strerror(errno));
}

// ---- velm_web.

pid_t start_server(int port) {
  pid_t pid = fork();
  if (pid < 0)
    fail("fork");
  if (pid == 0) {
    int log = open(LOG, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log >= 0)
      dup2(log, STDERR_FILENO);
    std::string program = std::string(VELM_BIN_DIR) + "/velm_web";
    std::string address = "127.0.0.1:" + std::to_string(port);
    execl(program.c_str(), program.c_str(), "-w", address.c_str(), nullptr);
    _exit(127);
  }
  return pid;
}

int free_port() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  socklen_t size = sizeof any;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr *>(&any), size) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr *>(&any), &size) == 0)
    port = ntohs(any.sin_port);
  close(fd);
  return port;
}

char process_state(pid_t pid) {
  std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
  size_t at = stat.rfind(')');
  return at == std::string::npos || at + 2 >= stat.size() ? '?' : stat[at + 2];
}

// The server's CPU time once it sleeps again (at most 20 ms of waiting): schedstat
// counts a running task's time only up to its last switch.
double settled_cpu(pid_t pid) {
  for (int i = 0; i < 200 && process_state(pid) != 'S'; ++i)
    usleep(100);
  return cpu_of(pid).schedstat;
}

struct Wakeups {
  long voluntary = 0;
  long involuntary = 0;
  double cpu = 0;
};

Wakeups wakeups_of(pid_t pid) {
  std::string status = read_text("/proc/" + std::to_string(pid) + "/status");
  auto field = [&](const char *name) {
    size_t at = status.find(name);
    return at == std::string::npos ? -1 : atol(status.c_str() + at + strlen(name));
  };
  Wakeups w;
  w.voluntary = field("\nvoluntary_ctxt_switches:");
  w.involuntary = field("\nnonvoluntary_ctxt_switches:");
  w.cpu = cpu_of(pid).schedstat;
  return w;
}

struct Bench {
  Settings settings;
  int port = 0;
  pid_t server = -1;
  Feed feed;
  int volume = 10; // the feed's last volume
};

// ---- The sections.

std::string pass(bool met) {
  return met ? "PASS" : "FAIL";
}

// One load as a browser makes it: the page, the state, the stream's first event.
double load_page(const Bench &b, const std::string &page, size_t *size) {
  double start = now_seconds();
  Connection c = connect_from("127.0.0.1", b.port);
  Answer a = get(c, page, b.port);
  if (a.status != 200)
    fail(page + " answered " + std::to_string(a.status));
  *size = a.body.size();
  Answer state = get(c, "/state.json", b.port, "*/*");
  if (state.status != 200 || state.body.find("\"volume\":") == std::string::npos)
    fail("/state.json answered " + std::to_string(state.status));
  Connection events = open_stream(b.port, "127.0.0.1");
  if (read_event(events, "\"volume\":").empty())
    fail("no first event on /events");
  double took = now_seconds() - start;
  close_connection(events);
  close_connection(c);
  return took;
}

// The time of fetching `page` alone on a connection made for it.
double fetch_alone(const Bench &b, const std::string &page, size_t *size) {
  double start = now_seconds();
  Connection c = connect_from("127.0.0.1", b.port);
  Answer a = get(c, page, b.port);
  double took = now_seconds() - start;
  if (a.status != 200)
    fail(page + " answered " + std::to_string(a.status));
  *size = a.body.size();
  close_connection(c);
  return took;
}

void write_page_file(const std::string &text) {
  FILE *fp = fopen(WEB_PAGE_PATH, "we");
  if (fp == nullptr || fwrite(text.data(), 1, text.size(), fp) != text.size() || fclose(fp) != 0)
    fail(std::string("cannot write ") + WEB_PAGE_PATH);
}

// A catalogue page of `size` bytes: lines of song links as htmlcatalog writes them.
std::string catalogue_of_size(size_t size) {
  std::string page = "<HTML><BODY>\n";
  for (int i = 1; page.size() < size; ++i) {
    char line[160];
    snprintf(line, sizeof line,
             "<LI><A HREF=\"/cgi-bin/choose.sh?song=0001%04d%04d\">%02d - Some title</A>\n",
             i / 100 + 1, i % 100, i % 100);
    page += line;
  }
  page.resize(size);
  return page;
}

void bench_page(Bench &b) {
  fprintf(stderr, "page: %d loads of / and of a catalogue page of the same size...\n",
          b.settings.loads);
  size_t page_size = 0, catalogue_size = 0;
  fetch_alone(b, "/", &page_size);
  write_page_file(catalogue_of_size(page_size));
  std::vector<double> loads, catalogue_loads, pages, catalogues;
  for (int i = 0; i < b.settings.loads; ++i) {
    loads.push_back(load_page(b, "/", &page_size));
    catalogue_loads.push_back(load_page(b, "/catalog", &catalogue_size));
    pages.push_back(fetch_alone(b, "/", &page_size));
    catalogues.push_back(fetch_alone(b, "/catalog", &catalogue_size));
  }
  if (catalogue_size != page_size)
    fail("the catalogue page is not of the remote page's size");
  auto worst = [](const std::vector<double> &v) { return *std::max_element(v.begin(), v.end()); };
  std::string n = std::to_string(b.settings.loads);
  add_row({"page load (/, /state.json, first event) median of " + n, format_time(median(loads)),
           "/catalog " + format_time(median(catalogue_loads)),
           "ours/ref " + format_ratio(median(loads) / median(catalogue_loads)), "< 200 ms",
           pass(median(loads) < 0.2)});
  add_row({"page load worst of " + n, format_time(worst(loads)),
           "/catalog " + format_time(worst(catalogue_loads)), "-", "< 200 ms",
           pass(worst(loads) < 0.2)});
  add_row({"  / alone (" + with_commas(static_cast<long>(page_size)) + " bytes) median",
           format_time(median(pages)), "/catalog " + format_time(median(catalogues)),
           "ours/ref " + format_ratio(median(pages) / median(catalogues)), "-", "-"});

  // The real catalogue of the 99,999 songs, for what it costs beside the remote.
  pid_t writer = fork();
  if (writer == 0) {
    int page = open(WEB_PAGE_PATH, O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (page < 0 || dup2(page, STDOUT_FILENO) < 0)
      _exit(127);
    std::string program = std::string(VELM_BIN_DIR) + "/htmlcatalog";
    execl(program.c_str(), program.c_str(), nullptr);
    _exit(127);
  }
  int status = -1;
  if (writer < 0 || waitpid(writer, &status, 0) != writer || status != 0)
    fail("htmlcatalog failed");
  std::vector<double> whole;
  for (int i = 0; i < 5; ++i)
    whole.push_back(fetch_alone(b, "/catalog", &catalogue_size));
  add_row({"  /catalog of 99,999 songs (" + format_kib(static_cast<long>(catalogue_size / 1024)) +
               ") median of 5",
           format_time(median(whole)), "-", "-", "-", "-"});
}

struct Query {
  const char *what;
  std::string text;
};

std::string url_encode(const std::string &text) {
  std::string out;
  for (unsigned char c : text) {
    if (isalnum(c) != 0 && c < 0x80) {
      out += static_cast<char>(c);
    } else {
      char hex[4];
      snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

// Times `runs` answers of /search.json to `query` on one kept connection, and the naive
// scan of the same collection in turns with them.
void time_search(Bench &b, const NaiveIndex &index, const Query &query,
                 std::vector<double> &all_trips, std::vector<double> &all_server) {
  std::vector<double> trips, server, naive;
  Connection c = connect_from("127.0.0.1", b.port);
  std::string target = "/search.json?q=" + url_encode(query.text) + "&from=0";
  long total = -1;
  size_t naive_total = 0;
  bool same = true;
  get(c, target, b.port, "application/json"); // the connection's first answer, not timed
  for (int i = 0; i < b.settings.runs; ++i) {
    double cpu = settled_cpu(b.server);
    double start = now_seconds();
    Answer a = get(c, target, b.port, "application/json");
    trips.push_back(now_seconds() - start);
    server.push_back(settled_cpu(b.server) - cpu);
    size_t at = a.body.find("\"total\":");
    total = a.status == 200 && at != std::string::npos ? atol(a.body.c_str() + at + 8) : -1;
    start = now_seconds();
    naive_search(index, query.text, WEB_SEARCH_PAGE, &naive_total);
    naive.push_back(now_seconds() - start);
    same = same && total == static_cast<long>(naive_total);
  }
  close_connection(c);
  all_trips.insert(all_trips.end(), trips.begin(), trips.end());
  all_server.insert(all_server.end(), server.begin(), server.end());
  std::string figure =
      std::string(query.what) + " \"" + query.text + "\" (" + with_commas(total) + " hits)";
  double trip = median(trips);
  add_row({figure + " round trip median", format_time(trip), "naive " + format_time(median(naive)),
           "ref/ours " + format_ratio(median(naive) / trip), "< 100 ms",
           !same ? "MISMATCH" : pass(trip < 0.1)});
  add_row({"  server time median / worst",
           format_time(median(server)) + " / " +
               format_time(*std::max_element(server.begin(), server.end())),
           "-", "-", "< 100 ms",
           !same ? "MISMATCH" : pass(*std::max_element(server.begin(), server.end()) < 0.1)});
}

void add_search_totals(const std::vector<double> &trips, const std::vector<double> &server) {
  double worst_trip = *std::max_element(trips.begin(), trips.end());
  double worst_server = *std::max_element(server.begin(), server.end());
  add_row({"all searches round trip median / worst",
           format_time(median(trips)) + " / " + format_time(worst_trip), "-", "-", "< 100 ms",
           pass(worst_trip < 0.1)});
  add_row({"all searches server time median / worst",
           format_time(median(server)) + " / " + format_time(worst_server), "-", "-", "< 100 ms",
           pass(worst_server < 0.1)});
}

void bench_search(Bench &b) {
  fprintf(stderr, "search: /search.json on %s songs, %d runs a query...\n",
          with_commas(SONGS).c_str(), b.settings.runs);
  NaiveIndex index;
  if (!naive_load(MPL_PATH, index))
    fail("cannot load the master list");
  const std::vector<Query> queries = {
      {"one short word", "liebe"},
      {"an accented word", "\u00fcber"},
      {"two words", "blue nacht"},
      {"a word and a number", "part 3"},
      {"a word that matches nothing", "xylophonz"},
      {"one letter", "e"},
  };
  std::vector<double> trips, server;
  for (const Query &query : queries)
    time_search(b, index, query, trips, server);
  add_search_totals(trips, server);
}

// Replaces /tmp/MPL as scantree's callers do and waits until the server answers from
// the new one (`word` matching `expected` entries).
void swap_master_list(Bench &b, const std::string &from, const std::string &word, size_t expected) {
  if (rename(from.c_str(), MPL_PATH) != 0)
    fail(std::string("cannot replace ") + MPL_PATH);
  Connection c = connect_from("127.0.0.1", b.port);
  for (int i = 0; i < 500; ++i) {
    Answer a = get(c, "/search.json?q=" + word, b.port, "application/json");
    size_t at = a.body.find("\"total\":");
    if (at != std::string::npos && atol(a.body.c_str() + at + 8) == static_cast<long>(expected)) {
      close_connection(c);
      return;
    }
    usleep(10000);
  }
  fail("the server did not take up the new master list");
}

void bench_worst(Bench &b) {
  fprintf(stderr, "worst: a master list that one word matches whole...\n");
  std::string uniform = std::string(WORK_DIR) + "/MPL.uniform";
  write_uniform_mpl(uniform);
  NaiveIndex index;
  if (!naive_load(uniform.c_str(), index))
    fail("cannot load " + uniform);
  size_t total = 0;
  naive_search(index, "track", WEB_SEARCH_PAGE, &total);
  swap_master_list(b, uniform, "track", total);
  std::vector<double> trips, server;
  time_search(b, index, {"a word that matches every entry", "track"}, trips, server);
  // The collection of the other sections again.
  std::string again = std::string(WORK_DIR) + "/MPL.again";
  write_mpl(again);
  NaiveIndex first;
  naive_load(again.c_str(), first);
  naive_search(first, "liebe", WEB_SEARCH_PAGE, &total);
  swap_master_list(b, again, "liebe", total);
}

void bench_change(Bench &b) {
  fprintf(stderr, "change: %d feed messages to their events, one stream and %d...\n",
          b.settings.changes, STREAMS);
  for (int streams : {1, STREAMS}) {
    std::vector<Connection> live;
    for (int i = 0; i < streams; ++i) {
      std::string from = "127.0.0." + std::to_string(2 + i / STREAMS_PER_ADDRESS);
      live.push_back(open_stream(b.port, from.c_str()));
      if (read_event(live.back(), "\"volume\":" + std::to_string(b.volume) + ",").empty())
        fail("no first event on a live stream");
    }
    std::vector<double> times;
    for (int i = 0; i < b.settings.changes; ++i) {
      b.volume = b.volume == 90 ? 10 : b.volume + 1;
      std::string want = "\"volume\":" + std::to_string(b.volume) + ",";
      double start = now_seconds();
      send_panel(b.feed, b.volume);
      for (Connection &c : live) {
        if (read_event(c, want).empty())
          fail("a change did not come on a live stream");
      }
      times.push_back(now_seconds() - start);
      usleep(20000); // the display sends at most one message a tick
    }
    for (Connection &c : live)
      close_connection(c);
    std::string figure = streams == 1 ? "panel change to its event, 1 stream"
                                      : "panel change to its event on all 16 streams";
    add_row({figure + ", median", format_time(median(times)), "-", "-", "< 300 ms",
             pass(median(times) < 0.3)});
    add_row({"  99th percentile / worst",
             format_time(percentile(times, 0.99)) + " / " +
                 format_time(*std::max_element(times.begin(), times.end())),
             "-", "-", "-", "-"});
  }
  usleep(200000); // the streams' ends taken in
}

std::vector<Connection> open_streams(const Bench &b) {
  std::vector<Connection> live;
  for (int i = 0; i < STREAMS; ++i) {
    std::string from = "127.0.0." + std::to_string(2 + i / STREAMS_PER_ADDRESS);
    live.push_back(open_stream(b.port, from.c_str()));
    if (read_event(live.back(), "\"volume\":").empty())
      fail("no first event on a live stream");
  }
  // One more is refused: the 16 are all the server takes.
  Connection extra = connect_from("127.0.0.9", b.port);
  send_text(extra, "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  Answer refused = read_answer(extra);
  close_connection(extra);
  if (refused.status != 503)
    fail("a 17th live stream got " + std::to_string(refused.status));
  return live;
}

void bench_memory(Bench &b) {
  fprintf(stderr, "memory: %d live clients connected...\n", STREAMS);
  std::vector<Connection> live = open_streams(b);
  usleep(200000);
  long rss = status_kib(b.server, "VmRSS"), hwm = status_kib(b.server, "VmHWM");
  add_row({"resident, 99,999 songs and 16 live clients (VmRSS)", format_kib(rss), "-", "-",
           "< 10.0 MiB", pass(rss < 10L * 1024)});
  add_row({"  of it anonymous / file-backed (RssAnon / RssFile)",
           format_kib(status_kib(b.server, "RssAnon")) + " / " +
               format_kib(status_kib(b.server, "RssFile")),
           "-", "-", "-", "-"});
  add_row({"  peak resident so far (VmHWM)", format_kib(hwm), "-", "-", "< 10.0 MiB",
           pass(hwm < 10L * 1024)});
  for (Connection &c : live)
    close_connection(c);
  usleep(200000);
}

void idle_row(Bench &b, const std::string &what) {
  usleep(1000000); // what the last requests left to do, done
  Wakeups before = wakeups_of(b.server);
  double start = now_seconds(), left;
  while ((left = start + b.settings.idle_seconds - now_seconds()) > 0)
    usleep(static_cast<useconds_t>(std::min(left, 1.0) * 1e6));
  Wakeups after = wakeups_of(b.server);
  char period[32];
  snprintf(period, sizeof period, "%.0f s", now_seconds() - start);
  long voluntary = after.voluntary - before.voluntary;
  long involuntary = after.involuntary - before.involuntary;
  add_row({"wake-ups over " + std::string(period) + ", " + what,
           std::to_string(voluntary) + " + " + std::to_string(involuntary) + " involuntary", "-",
           "-", "0", pass(voluntary + involuntary == 0)});
  add_row({"  CPU over " + std::string(period) + " (schedstat)",
           format_time(after.cpu - before.cpu), "-", "-", "-", "-"});
}

void bench_idle(Bench &b) {
  fprintf(stderr, "idle: %g s without live clients, %g s with %d idle ones...\n",
          b.settings.idle_seconds, b.settings.idle_seconds, STREAMS);
  idle_row(b, "no live clients");
  std::vector<Connection> live = open_streams(b);
  idle_row(b, "16 idle live clients");
  // Every stream still there and still live: a change reaches each of them.
  b.volume = b.volume == 90 ? 10 : b.volume + 1;
  send_panel(b.feed, b.volume);
  int reached = 0;
  for (Connection &c : live)
    reached += read_event(c, "\"volume\":" + std::to_string(b.volume) + ",").empty() ? 0 : 1;
  add_row({"  idle live clients a change still reaches", std::to_string(reached), "-", "-", "16",
           reached == STREAMS ? "OK" : "MISMATCH"});
  for (Connection &c : live)
    close_connection(c);
}

Settings parse_settings(int argc, char **argv) {
  Settings s;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if ((arg == "--loads" || arg == "--runs" || arg == "--changes") && i + 1 < argc) {
      int value = atoi(argv[++i]);
      if (value < 1)
        fail(arg + " needs a positive number");
      (arg == "--loads" ? s.loads : arg == "--runs" ? s.runs : s.changes) = value;
    } else if (arg == "--idle-seconds" && i + 1 < argc) {
      s.idle_seconds = atof(argv[++i]);
      if (!(s.idle_seconds > 0))
        fail("--idle-seconds needs a positive number");
    } else if (std::find(std::begin(SECTIONS), std::end(SECTIONS), arg) != std::end(SECTIONS)) {
      s.sections.names.push_back(arg);
    } else {
      fail("usage: web_bench [--loads N] [--runs N] [--changes N] [--idle-seconds S] "
           "[page|search|change|memory|idle|worst]...");
    }
  }
  return s;
}

} // namespace

int main(int argc, char **argv) {
  Bench b;
  b.settings = parse_settings(argc, argv);
  if (!inside_sandbox())
    fail("runs only inside the sandbox launcher (bench/run.sh web): velm_web serves the "
         "fixed paths under /tmp");
  signal(SIGPIPE, SIG_IGN);
  if (mkdir(WORK_DIR, 0755) != 0)
    fail(std::string("cannot make ") + WORK_DIR + " (it must not exist before)");
  mkdir("/tmp/velm-www", 0755);
  write_mpl(MPL_PATH);
  write_page_file("<HTML><BODY>\n</BODY></HTML>\n");
  b.feed = listen_feed();
  b.port = free_port();
  b.server = start_server(b.port);

  // The server connects to the feed at its start and takes the first message.
  pollfd p = {b.feed.listener, POLLIN, 0};
  if (poll(&p, 1, 10000) <= 0 ||
      (b.feed.reader = accept4(b.feed.listener, nullptr, nullptr, SOCK_CLOEXEC)) < 0)
    fail("velm_web did not connect to the feed (see " + std::string(LOG) + ")");
  send_panel(b.feed, b.volume);
  for (int i = 0;; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(b.port));
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    bool up = connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0;
    close(fd);
    if (up)
      break;
    if (i == 500)
      fail("velm_web does not listen");
    usleep(10000);
  }
  printf("web_bench: velm_web with %s songs in %d lists on 127.0.0.1:%d; load average %s\n",
         with_commas(SONGS).c_str(), LISTS, b.port, load_average().c_str());
  fflush(stdout);

  std::string load_before = load_average();
  double start = now_seconds();
  // The server's memory after each section, to tell what grew it.
  auto memory_note = [&](const char *after) {
    add_note("velm_web after %-16s VmRSS %s (RssAnon %s, RssFile %s), VmHWM %s\n", after,
             format_kib(status_kib(b.server, "VmRSS")).c_str(),
             format_kib(status_kib(b.server, "RssAnon")).c_str(),
             format_kib(status_kib(b.server, "RssFile")).c_str(),
             format_kib(status_kib(b.server, "VmHWM")).c_str());
  };
  memory_note("its start:");
  const std::pair<const char *, void (*)(Bench &)> sections[] = {
      {"page", bench_page},     {"search", bench_search}, {"change", bench_change},
      {"memory", bench_memory}, {"idle", bench_idle},     {"worst", bench_worst}};
  for (const auto &[name, run] : sections) {
    if (!b.settings.sections.runs(name))
      continue;
    run(b);
    memory_note((std::string(name) + ":").c_str());
  }

  kill(b.server, SIGTERM);
  int status = 0;
  waitpid(b.server, &status, 0);
  printf("\n%s in all; load average %s before, %s after; %ld cores\n",
         format_time(now_seconds() - start).c_str(), load_before.c_str(), load_average().c_str(),
         sysconf(_SC_NPROCESSORS_ONLN));
  print_table();
  printf("%s", notes.c_str());
  printf("\nvelm_web ended with status %d\n%s\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1,
         all_met ? "all targets met" : "TARGETS MISSED");
  return all_met ? 0 : 1;
}
