// velm_web: the jukebox's web server. One poll loop without threads: libmicrohttpd in its
// external epoll mode, the display's feed, inotify on /tmp and a signalfd. It answers
// through web_requests.h and writes only into the launcher's request FIFO.

#include "daemon.h"
#include "lcdrom.h"
#include "panel_feed.h"
#include "paths.h"
#include "remote_page.h"
#include "search_index.h"
#include "web_requests.h"
#include "webserver.h"

#include <microhttpd.h>
#include <mpg123.h>

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <grp.h>
#include <list>
#include <malloc.h>
#include <map>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pwd.h>
#include <string>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

// Limits against clients that take more than a remote needs.
constexpr unsigned MAX_CONNECTIONS = 64;
constexpr unsigned MAX_CONNECTIONS_PER_ADDRESS = 16;
constexpr int MAX_STREAMS = 16;
constexpr int MAX_STREAMS_PER_ADDRESS = 4;
constexpr size_t HEADER_MEMORY = size_t{16} * 1024;
constexpr unsigned CLIENT_TIMEOUT_S = 15;
// A display that is away is looked for again this often.
constexpr double FEED_RETRY_S = 0.5;
// A live stream's client that went away without closing its end (a phone that left the
// network) is found by the kernel's keep-alive probes, which wake nobody here: the first
// after this long without traffic, then a few more, the socket failing after the last.
constexpr int STREAM_PROBE_IDLE_S = 30;
constexpr int STREAM_PROBE_INTERVAL_S = 10;
constexpr int STREAM_PROBES = 3;

const char *const SERVER_USERS[] = {"www-data", "nobody"};

double now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct Options {
  std::string address;
  int port = 0;
  LcdRom rom = LcdRom::A00;
};

struct Server;

struct Stream {
  Server *server;
  MHD_Connection *connection;
  std::string client;
  std::string pending;
  size_t sent = 0;
  unsigned generation = 0;
  bool suspended = false;
  bool gone = false; // the client closed its end while the stream was suspended
  int fd = -1;       // its socket, watched here while MHD does not
};

// One request while MHD takes it in: made when its request line arrives.
struct Request {
  Server *server = nullptr;
  MHD_Connection *connection = nullptr;
  std::string target;
  std::string body;
  bool started = false;
  bool too_large = false;
  bool waiting = false; // suspended until the chooser's song plays
  bool ready = false;
  WebResponse answer;
  double deadline = 0;
};

struct Server {
  Options options;
  MHD_Daemon *daemon = nullptr;
  int mhd_fd = -1;
  int feed = -1;
  double feed_retry_at = 0;
  int inotify = -1;
  int signals = -1;
  bool stopping = false;

  SearchIndex index;
  RemoteState state;
  std::string state_json;
  unsigned generation = 0;
  std::string song_key; // the song seconds_total belongs to
  std::list<Stream *> streams;
  std::map<std::string, int> streams_of;
  std::list<Request *> waiting;
};

[[noreturn]] void fail(const char *what) {
  fprintf(stderr, "velm_web: %s: %s\n", what, strerror(errno));
  exit(1);
}

void usage_error() {
  fprintf(stderr, "usage: velm_web [-d] -w ADDRESS:PORT [-c ROM]\n"
                  "  ADDRESS an IPv4 address or an IPv6 one in brackets ([::] listens on both);\n"
                  "  a bare PORT listens on 127.0.0.1\n");
  exit(2);
}

Options read_options(int argc, char **argv) {
  Options o;
  int c;
  while ((c = getopt(argc, argv, "dw:c:")) != -1) {
    if (c == 'd') {
      debug_enabled = true;
    } else if (c == 'w') {
      if (!parse_web_address(optarg, o.address, o.port))
        usage_error();
    } else if (c == 'c') {
      if (!lcd_rom_parse(optarg, &o.rom))
        usage_error();
    } else {
      usage_error();
    }
  }
  if (optind != argc || o.port == 0)
    usage_error();
  return o;
}

// The listening socket, bound before the privileges go so that a low port serves too.
int listen_on(const Options &o) {
  sockaddr_storage where{};
  socklen_t size;
  bool v6 = o.address.find(':') != std::string::npos;
  if (v6) {
    auto *a = reinterpret_cast<sockaddr_in6 *>(&where);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(static_cast<uint16_t>(o.port));
    inet_pton(AF_INET6, o.address.c_str(), &a->sin6_addr);
    size = sizeof *a;
  } else {
    auto *a = reinterpret_cast<sockaddr_in *>(&where);
    a->sin_family = AF_INET;
    a->sin_port = htons(static_cast<uint16_t>(o.port));
    inet_pton(AF_INET, o.address.c_str(), &a->sin_addr);
    size = sizeof *a;
  }
  int fd = socket(where.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0)
    fail("socket");
  int yes = 1, no = 0;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  // "[::]" takes both families; another IPv6 address only its own.
  if (v6)
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, o.address == "::" ? &no : &yes, sizeof yes);
  if (bind(fd, reinterpret_cast<sockaddr *>(&where), size) != 0 || listen(fd, 32) != 0) {
    fprintf(stderr, "velm_web: cannot listen on %s port %d: %s\n", o.address.c_str(), o.port,
            strerror(errno));
    exit(1);
  }
  return fd;
}

// As root, the server goes on as the first user of SERVER_USERS once its socket is bound:
// it may then write the request FIFO (its group's) and read the collection, nothing else.
// Where an id of this user namespace lies outside it (a line "inside outside count" of
// /proc/self/uid_map or gid_map covering it); false when it is not mapped.
bool id_outside(const char *map, unsigned long id, unsigned long &outside) {
  FILE *fp = fopen(map, "re");
  if (fp == nullptr)
    return false;
  bool found = false;
  char line[128];
  while (!found && fgets(line, sizeof line, fp) != nullptr) {
    char *p = line, *end = nullptr;
    unsigned long fields[3];
    bool whole = true;
    for (unsigned long &field : fields) {
      errno = 0;
      field = strtoul(p, &end, 10);
      whole = whole && end != p && errno == 0;
      p = end;
    }
    if (whole && id >= fields[0] && id - fields[0] < fields[2]) {
      outside = fields[1] + (id - fields[0]);
      found = true;
    }
  }
  fclose(fp);
  return found;
}

// A user namespace that maps neither the server's user nor its own root to root outside
// (a sandbox started by a user without root) cannot switch users, and its root is a
// plain user outside: the server goes on as it is there.
bool root_in_name_only(const passwd &user) {
  unsigned long root = 0, other = 0;
  return id_outside("/proc/self/uid_map", 0, root) && root != 0 &&
         (!id_outside("/proc/self/uid_map", user.pw_uid, other) ||
          !id_outside("/proc/self/gid_map", user.pw_gid, other));
}

void drop_privileges() {
  if (geteuid() != 0)
    return;
  const passwd *user = nullptr;
  for (const char *name : SERVER_USERS) {
    if ((user = getpwnam(name)) != nullptr)
      break;
  }
  if (user == nullptr) {
    fprintf(stderr, "velm_web: none of the users www-data, nobody\n");
    exit(1);
  }
  if (root_in_name_only(*user)) {
    fprintf(stderr, "velm_web: %s is not a user of this user namespace; going on as its root\n",
            user->pw_name);
    return;
  }
  if (setgroups(0, nullptr) != 0 || setgid(user->pw_gid) != 0 || setuid(user->pw_uid) != 0)
    fail("setuid");
}

std::string client_address(MHD_Connection *c) {
  const MHD_ConnectionInfo *info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  char text[INET6_ADDRSTRLEN] = "?";
  if (info != nullptr && info->client_addr != nullptr) {
    const sockaddr *a = info->client_addr;
    if (a->sa_family == AF_INET)
      inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(a)->sin_addr, text, sizeof text);
    else if (a->sa_family == AF_INET6)
      inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(a)->sin6_addr, text, sizeof text);
  }
  return text;
}

// ---- The state.

// The length of a song in seconds from its header (no scan of the file); -1 unknown.
int song_seconds(const std::string &path) {
  if (path.empty())
    return -1;
  int error = 0;
  mpg123_handle *mh = mpg123_new(nullptr, &error);
  if (mh == nullptr)
    return -1;
  mpg123_param(mh, MPG123_ADD_FLAGS, MPG123_QUIET, 0);
  int seconds = -1;
  long rate = 0;
  int channels = 0, encoding = 0;
  if (mpg123_open(mh, path.c_str()) == MPG123_OK &&
      mpg123_getformat(mh, &rate, &channels, &encoding) == MPG123_OK && rate > 0) {
    off_t samples = mpg123_length(mh);
    if (samples > 0)
      seconds =
          static_cast<int>(std::lround(static_cast<double>(samples) / static_cast<double>(rate)));
  }
  mpg123_close(mh);
  mpg123_delete(mh);
  return seconds;
}

void resume_streams(const Server &s) {
  for (Stream *stream : s.streams) {
    if (stream->suspended) {
      stream->suspended = false;
      MHD_resume_connection(stream->connection);
    }
  }
}

// Works out what the feed does not say (names, lengths) and tells the live streams when
// the state changed.
void update_state(Server &s) {
  RemoteState &st = s.state;
  const PanelFeed &p = st.panel;
  SearchEntry entry;
  st.device_name = st.display_seen ? device_root(s.index, p.device) : "";
  st.list_name =
      st.display_seen && find_entry(s.index, p.device, p.list, 0, entry) ? entry.title : "";
  st.song_name =
      st.display_seen && find_entry(s.index, p.device, p.list, p.song, entry) ? entry.title : "";
  st.seconds_left = st.display_seen ? parse_status_time(p.time) : -1;
  std::string key =
      std::to_string(p.device) + " " + std::to_string(p.list) + " " + std::to_string(p.song);
  if (!st.display_seen) {
    st.seconds_total = -1;
    s.song_key.clear();
  } else if (key != s.song_key) {
    s.song_key = key;
    st.seconds_total = song_seconds(song_path(MPL_PATH, p.device, p.list, p.song));
  }
  std::string json = render_state_json(st);
  if (json == s.state_json)
    return;
  s.state_json = json;
  ++s.generation;
  resume_streams(s);
}

void close_feed(Server &s) {
  if (s.feed >= 0)
    close(s.feed);
  s.feed = -1;
  s.feed_retry_at = now() + FEED_RETRY_S;
}

void connect_feed(Server &s) {
  s.feed = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_un to{};
  to.sun_family = AF_UNIX;
  snprintf(to.sun_path, sizeof to.sun_path, "%s", DISPLAY_FEED_PATH);
  if (s.feed < 0 || connect(s.feed, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
    close_feed(s);
    return;
  }
  debug_trace("connected to the display's feed");
}

void read_feed(Server &s) {
  char buffer[PANEL_FEED_MAX + 1];
  ssize_t n = recv(s.feed, buffer, sizeof buffer, 0);
  if (n < 0 && (errno == EAGAIN || errno == EINTR))
    return;
  if (n <= 0) {
    debug_trace("the display's feed ended");
    close_feed(s);
    s.state.display_seen = false;
    update_state(s);
    return;
  }
  PanelFeed feed;
  if (!parse_panel_feed(buffer, static_cast<size_t>(n), feed)) {
    debug_trace("a feed message that is not one; ignored");
    return;
  }
  s.state.panel = feed;
  s.state.display_seen = true;
  update_state(s);
}

// ---- The chooser's waits.

std::string read_record() {
  std::string text;
  FILE *fp = fopen(PLAYSTATE_PATH, "re");
  if (fp == nullptr)
    return text;
  char buffer[1024];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, fp)) > 0)
    text.append(buffer, n);
  fclose(fp);
  return text;
}

void settle_waits(Server &s, bool record_changed) {
  std::string record = record_changed ? read_record() : "";
  double t = now();
  for (auto it = s.waiting.begin(); it != s.waiting.end();) {
    Request *r = *it;
    if (record_changed && chooser_moved(r->answer.wait, record))
      r->answer = chooser_played(r->answer.wait);
    else if (t >= r->deadline || s.stopping)
      r->answer = chooser_timed_out();
    else {
      ++it;
      continue;
    }
    r->ready = true;
    it = s.waiting.erase(it);
    MHD_resume_connection(r->connection);
  }
}

// The search index's blocks (megabytes for a large collection) are mapped apart from the
// heap, whatever the allocator learnt from blocks freed before, so that a reload gives the
// old index's memory back instead of leaving it in the heap.
void keep_big_blocks_apart() {
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
}

void load_collection(Server &s) {
  load_search_index(MPL_PATH, s.index);
  malloc_trim(0);
}

void read_inotify(Server &s) {
  alignas(inotify_event) char buffer[4096];
  ssize_t n = read(s.inotify, buffer, sizeof buffer);
  const char *mpl = strrchr(MPL_PATH, '/') + 1, *record = strrchr(PLAYSTATE_PATH, '/') + 1;
  for (ssize_t at = 0; at < n;) {
    const auto *e = reinterpret_cast<const inotify_event *>(buffer + at);
    if (e->len > 0 && strcmp(e->name, mpl) == 0) {
      load_collection(s);
      s.song_key.clear();
      update_state(s);
    } else if (e->len > 0 && strcmp(e->name, record) == 0) {
      settle_waits(s, true);
    }
    at += static_cast<ssize_t>(sizeof *e + e->len);
  }
}

// ---- Answers.

ssize_t stream_read(void *cls, uint64_t /*position*/, char *buf, size_t max) {
  auto *stream = static_cast<Stream *>(cls);
  Server &s = *stream->server;
  if (stream->gone || s.stopping)
    return MHD_CONTENT_READER_END_WITH_ERROR;
  if (stream->sent == stream->pending.size()) {
    stream->pending.clear();
    stream->sent = 0;
    if (stream->generation != s.generation) {
      stream->pending = state_event(s.state_json);
      stream->generation = s.generation;
    } else {
      stream->suspended = true;
      MHD_suspend_connection(stream->connection);
      return 0;
    }
  }
  size_t n = std::min(max, stream->pending.size() - stream->sent);
  stream->pending.copy(buf, n, stream->sent);
  stream->sent += n;
  return static_cast<ssize_t>(n);
}

void stream_end(void *cls) {
  auto *stream = static_cast<Stream *>(cls);
  Server &s = *stream->server;
  s.streams.remove(stream);
  if (--s.streams_of[stream->client] == 0)
    s.streams_of.erase(stream->client);
  delete stream;
}

MHD_Result queue(MHD_Connection *c, const WebResponse &answer, MHD_Response *response) {
  for (const auto &[name, value] : answer.headers)
    MHD_add_response_header(response, name.c_str(), value.c_str());
  if (!answer.content_type.empty())
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.content_type.c_str());
  MHD_Result result = MHD_queue_response(c, static_cast<unsigned>(answer.status), response);
  MHD_destroy_response(response);
  return result;
}

MHD_Result send_answer(MHD_Connection *c, const WebResponse &answer) {
  MHD_Response *response = nullptr;
  if (!answer.file.empty()) {
    int fd = open(answer.file.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
      response = MHD_create_response_from_fd(static_cast<uint64_t>(st.st_size), fd);
    } else {
      if (fd >= 0)
        close(fd);
      WebResponse gone = answer;
      gone.status = 404;
      gone.file.clear();
      gone.content_type = "text/plain; charset=utf-8";
      gone.body = "The catalogue is not written yet.\n";
      return send_answer(c, gone);
    }
  } else {
    response = MHD_create_response_from_buffer(
        answer.body.size(), const_cast<char *>(answer.body.data()), MHD_RESPMEM_MUST_COPY);
  }
  if (response == nullptr)
    return MHD_NO;
  return queue(c, answer, response);
}

// A live stream waits for changes as long as its client stays: no time-out, but the
// kernel's keep-alive probes on its socket.
void watch_stream_socket(MHD_Connection *c, int fd) {
  MHD_set_connection_option(c, MHD_CONNECTION_OPTION_TIMEOUT, 0U);
  if (fd < 0)
    return;
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &STREAM_PROBE_IDLE_S, sizeof STREAM_PROBE_IDLE_S);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &STREAM_PROBE_INTERVAL_S,
             sizeof STREAM_PROBE_INTERVAL_S);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &STREAM_PROBES, sizeof STREAM_PROBES);
}

MHD_Result start_stream(Server &s, MHD_Connection *c, const WebResponse &answer) {
  std::string client = client_address(c);
  if (static_cast<int>(s.streams.size()) >= MAX_STREAMS ||
      s.streams_of[client] >= MAX_STREAMS_PER_ADDRESS) {
    if (s.streams_of[client] == 0)
      s.streams_of.erase(client);
    WebResponse busy;
    busy.status = 503;
    busy.content_type = "text/plain; charset=utf-8";
    busy.body = "Too many live views of the jukebox; try again later.\n";
    busy.headers.emplace_back("Retry-After", "10");
    return send_answer(c, busy);
  }
  auto *stream = new Stream{&s, c, client, WEB_EVENTS_START + state_event(s.state_json)};
  stream->generation = s.generation;
  const MHD_ConnectionInfo *info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
  stream->fd = info != nullptr ? info->connect_fd : -1;
  watch_stream_socket(c, stream->fd);
  MHD_Response *response =
      MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 1024, stream_read, stream, stream_end);
  if (response == nullptr) {
    delete stream;
    return MHD_NO;
  }
  s.streams.push_back(stream);
  ++s.streams_of[client];
  return queue(c, answer, response);
}

std::string header(MHD_Connection *c, const char *name) {
  const char *value = MHD_lookup_connection_value(c, MHD_HEADER_KIND, name);
  return value != nullptr ? value : "";
}

MHD_Result answer_request(Server &s, Request &r, MHD_Connection *c, const char *method) {
  WebRequest request;
  request.method = method;
  request.target = r.target;
  request.host = header(c, MHD_HTTP_HEADER_HOST);
  request.origin = header(c, "Origin");
  request.referer = header(c, MHD_HTTP_HEADER_REFERER);
  request.accept = header(c, MHD_HTTP_HEADER_ACCEPT);
  request.content_type = header(c, MHD_HTTP_HEADER_CONTENT_TYPE);
  request.body = r.body;
  if (r.too_large)
    request.content_length = LONG_MAX;
  WebContext context = {WEB_PAGE_PATH, MPL_PATH, PLAYSTATE_PATH, &s.index, &s.state};
  WebResponse answer = handle_request(request, context);
  if (debug_enabled)
    debug_tracef("%s %s: %d", method, r.target.c_str(), answer.status);
  if (answer.action == WebAction::Events)
    return start_stream(s, c, answer);
  if (answer.action == WebAction::Line || answer.action == WebAction::Choose) {
    bool missing = false;
    if (!write_fifo_line(FIFO_WEB_PATH, answer.fifo_line, &missing))
      return send_answer(c, fifo_refused(answer, missing));
    if (answer.action == WebAction::Choose) {
      r.answer = answer;
      r.waiting = true;
      r.connection = c;
      r.deadline = now() + WEB_CHOOSER_WAIT;
      s.waiting.push_back(&r);
      MHD_suspend_connection(c);
      return MHD_YES;
    }
  }
  return send_answer(c, answer);
}

MHD_Result on_request(void *cls, MHD_Connection *c, const char * /*url*/, const char *method,
                      const char * /*version*/, const char *upload, size_t *upload_size,
                      void **req_cls) {
  Server &s = *static_cast<Server *>(cls);
  auto *r = static_cast<Request *>(*req_cls);
  if (r == nullptr)
    return MHD_NO;
  if (r->waiting)
    return r->ready ? send_answer(c, r->answer) : MHD_YES;
  if (!r->started) {
    r->started = true;
    const char *length =
        MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    if (length != nullptr &&
        (strlen(length) > 9 || strtol(length, nullptr, 10) > static_cast<long>(WEB_MAX_BODY))) {
      WebResponse big;
      big.status = 413;
      big.content_type = "text/plain; charset=utf-8";
      big.body = "The request is too large.\n";
      return send_answer(c, big);
    }
    return MHD_YES;
  }
  if (*upload_size != 0) {
    if (r->body.size() + *upload_size > WEB_MAX_BODY)
      r->too_large = true;
    else
      r->body.append(upload, *upload_size);
    *upload_size = 0;
    return MHD_YES;
  }
  return answer_request(s, *r, c, method);
}

void *on_uri(void *cls, const char *uri, MHD_Connection * /*connection*/) {
  auto *r = new Request;
  r->server = static_cast<Server *>(cls);
  r->target = uri;
  return r;
}

void on_completed(void *cls, MHD_Connection * /*connection*/, void **req_cls,
                  MHD_RequestTerminationCode /*why*/) {
  Server &s = *static_cast<Server *>(cls);
  auto *r = static_cast<Request *>(*req_cls);
  if (r == nullptr)
    return;
  s.waiting.remove(r);
  delete r;
  *req_cls = nullptr;
}

void start_daemon(Server &s, int listener) {
  unsigned flags = MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME;
  if (debug_enabled)
    flags |= MHD_USE_ERROR_LOG;
  if (s.options.address.find(':') != std::string::npos)
    flags |= MHD_USE_IPv6;
  s.daemon = MHD_start_daemon(
      flags, 0, nullptr, nullptr, on_request, &s, MHD_OPTION_LISTEN_SOCKET, listener,
      MHD_OPTION_CONNECTION_LIMIT, MAX_CONNECTIONS, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
      MAX_CONNECTIONS_PER_ADDRESS, MHD_OPTION_CONNECTION_TIMEOUT, CLIENT_TIMEOUT_S,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, HEADER_MEMORY, MHD_OPTION_URI_LOG_CALLBACK, on_uri, &s,
      MHD_OPTION_NOTIFY_COMPLETED, on_completed, &s, MHD_OPTION_END);
  if (s.daemon == nullptr) {
    fprintf(stderr, "velm_web: the HTTP server could not start\n");
    exit(1);
  }
  const MHD_DaemonInfo *info = MHD_get_daemon_info(s.daemon, MHD_DAEMON_INFO_EPOLL_FD);
  s.mhd_fd = info != nullptr ? info->epoll_fd : -1;
  if (s.mhd_fd < 0) {
    fprintf(stderr, "velm_web: the HTTP server has no epoll descriptor\n");
    exit(1);
  }
}

void open_watches(Server &s) {
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGINT);
  sigprocmask(SIG_BLOCK, &mask, nullptr);
  s.signals = signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);
  if (s.signals < 0)
    fail("signalfd");
  signal(SIGPIPE, SIG_IGN);
  s.inotify = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  std::string folder(MPL_PATH, strrchr(MPL_PATH, '/') - MPL_PATH);
  if (s.inotify < 0 ||
      inotify_add_watch(s.inotify, folder.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO) < 0)
    fail("inotify");
}

// The poll timeout in milliseconds: MHD's, the feed's retry, the chooser's deadlines and
// -1 when nothing is due.
int next_timeout(const Server &s) {
  double due = -1;
  auto take = [&](double at) {
    if (due < 0 || at < due)
      due = at;
  };
  double t = now();
  MHD_UNSIGNED_LONG_LONG mhd_ms;
  if (MHD_get_timeout(s.daemon, &mhd_ms) == MHD_YES)
    take(t + static_cast<double>(mhd_ms) / 1000);
  if (s.feed < 0)
    take(s.feed_retry_at);
  for (const Request *r : s.waiting)
    take(r->deadline);
  if (due < 0)
    return -1;
  // Rounded up, so the loop never wakes just before a deadline and spins.
  return static_cast<int>(std::max(0.0, std::ceil((due - t) * 1000)));
}

// A suspended stream's socket is not watched by MHD: its end is watched here, so a client
// that leaves frees its place at once.
void end_left_streams(const Server &s, const std::vector<pollfd> &fds, size_t first) {
  size_t i = first;
  for (Stream *stream : s.streams) {
    if (!stream->suspended || stream->fd < 0)
      continue;
    if (i < fds.size() && fds[i].fd == stream->fd &&
        (fds[i].revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
      stream->gone = true;
      stream->suspended = false;
      MHD_resume_connection(stream->connection);
    }
    ++i;
  }
}

void run(Server &s) {
  while (!s.stopping) {
    std::vector<pollfd> fds = {
        {s.mhd_fd, POLLIN, 0}, {s.feed, POLLIN, 0}, {s.inotify, POLLIN, 0}, {s.signals, POLLIN, 0}};
    for (const Stream *stream : s.streams) {
      if (stream->suspended && stream->fd >= 0)
        fds.push_back({stream->fd, POLLRDHUP, 0});
    }
    if (poll(fds.data(), fds.size(), next_timeout(s)) < 0 && errno != EINTR)
      fail("poll");
    end_left_streams(s, fds, 4);
    if ((fds[3].revents & POLLIN) != 0)
      s.stopping = true;
    if (s.feed >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0)
      read_feed(s);
    if (s.feed < 0 && now() >= s.feed_retry_at)
      connect_feed(s);
    if ((fds[2].revents & POLLIN) != 0)
      read_inotify(s);
    settle_waits(s, false);
    MHD_run(s.daemon);
  }
}

// Every suspended connection is let go before the daemon stops, as MHD asks.
void stop(Server &s) {
  settle_waits(s, false);
  resume_streams(s);
  MHD_run(s.daemon);
  MHD_stop_daemon(s.daemon);
}

} // namespace

int main(int argc, char **argv) {
  debug_init("[velm_web]");
  Server s;
  s.options = read_options(argc, argv);
  s.state.rom = s.options.rom;
  int listener = listen_on(s.options);
  drop_privileges();
  open_watches(s);
  keep_big_blocks_apart();
  load_collection(s);
  s.state_json = render_state_json(s.state);
  start_daemon(s, listener);
  connect_feed(s);
  if (s.feed >= 0)
    s.feed_retry_at = 0;
  run(s);
  stop(s);
  return 0;
}
