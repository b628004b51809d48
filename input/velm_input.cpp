// velm_input: remotes, buttons, rotary knobs and keypads through the kernel's input
// devices (and lircd's socket), turned by the key map into lines for /tmp/fifo.control
// and /tmp/fifo.display. One poll loop: the devices, the lircd connection, inotify on
// /dev/input for devices that come and go, and a signalfd.
//
//   velm_input [-d] [-h] [-c] [-k KEYMAP] [-L SOCKET] [DEVICE ...]

#include "daemon.h"
#include "interpret.h"
#include "keymap.h"
#include "keynames.h"
#include "paths.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <glob.h>
#include <linux/input.h>
#include <poll.h>
#include <set>
#include <string>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int EXIT_BAD_KEYMAP = 1;
constexpr int EXIT_USAGE = 2;
// How often a device that could not be opened, or the lircd socket, is tried again.
constexpr int DEVICE_RETRY_MS = 3000;
constexpr int LIRC_RETRY_MS = 1000;
constexpr int LIRC_DEVICE = 0; // the lircd connection's number for the interpreter

struct Options {
  bool debug = false;
  bool check = false;
  const char *keymap = nullptr;
  const char *lirc_socket = nullptr;
  std::vector<std::string> devices; // paths or glob patterns
};

struct Device {
  std::string path;
  int fd;
  int id;
  dev_t st_dev;
  ino_t st_ino;
};

// A FIFO the lines go to, opened when a line is due and kept while its reader is there.
struct FifoWriter {
  const char *path;
  int fd = -1;
  bool dropping = false; // lines are being dropped, and that was said
};

struct Lirc {
  const char *path = nullptr;
  int fd = -1;
  LineAssembler lines;
  long long retry_at = -1;
  bool reported = false; // that it cannot be reached
};

// The directories watched for devices that appear; /dev for /dev/input itself.
const char *const WATCHED[] = {"/dev", "/dev/input", "/dev/input/by-id", "/dev/input/by-path"};
constexpr int WATCHED_COUNT = sizeof WATCHED / sizeof WATCHED[0];

struct Daemon {
  Options options;
  Keymap map;
  Interpreter in;
  std::vector<Device> devices;
  int next_id = LIRC_DEVICE + 1;
  std::set<std::string> open_reported; // paths whose failure to open was said
  std::set<std::string> grab_reported;
  long long retry_at = -1; // when the devices not open are tried again
  int inotify_fd = -1;
  int watches[WATCHED_COUNT] = {-1, -1, -1, -1};
  int signal_fd = -1;
  Lirc lirc;
  FifoWriter control{FIFO_CONTROL_PATH};
  FifoWriter display{FIFO_DISPLAY_PATH};
};

[[noreturn]] void usage(int status) {
  fprintf(status == 0 ? stdout : stderr,
          "usage: velm_input [-d] [-h] [-c] [-k KEYMAP] [-L SOCKET] [DEVICE ...]\n"
          "  DEVICE     an event device (/dev/input/event3, /dev/input/by-id/...) or a\n"
          "             quoted pattern of them ('/dev/input/by-id/*-event-kbd')\n"
          "  -k KEYMAP  the key map (without it the built-in one)\n"
          "  -L SOCKET  also read lircd's socket\n"
          "  -c         check the key map only\n"
          "  -d         trace events and lines on standard error\n"
          "  -h         this help\n");
  exit(status);
}

Options read_options(int argc, char **argv) {
  Options o;
  int option;
  while ((option = getopt(argc, argv, "dhck:L:")) != -1) {
    switch (option) {
    case 'd':
      o.debug = true;
      break;
    case 'c':
      o.check = true;
      break;
    case 'k':
      o.keymap = optarg;
      break;
    case 'L':
      o.lirc_socket = optarg;
      break;
    case 'h':
      usage(0);
    default:
      usage(EXIT_USAGE);
    }
  }
  for (int i = optind; i < argc; ++i)
    o.devices.emplace_back(argv[i]);
  if (!o.check && o.devices.empty() && o.lirc_socket == nullptr)
    usage(EXIT_USAGE);
  return o;
}

long long now_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// --- The FIFOs -------------------------------------------------------------------------

// Writes one line in one write; a FIFO without a reader, missing or full loses the line,
// which is said once until lines go out again.
void write_line(FifoWriter &w, const std::string &line) {
  std::string text = line + "\n";
  const char *why = nullptr;
  for (int attempt = 0; attempt < 2 && why == nullptr; ++attempt) {
    if (w.fd < 0) {
      w.fd = open(w.path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      struct stat st;
      if (w.fd >= 0 && (fstat(w.fd, &st) != 0 || !S_ISFIFO(st.st_mode))) {
        close(w.fd);
        w.fd = -1;
        errno = EINVAL;
        why = "not a FIFO";
        break;
      }
      if (w.fd < 0) {
        why = errno == ENXIO ? "no reader" : strerror(errno);
        break;
      }
    }
    ssize_t n = write(w.fd, text.data(), text.size());
    if (n == static_cast<ssize_t>(text.size())) {
      w.dropping = false;
      debug_tracef("%s: %s", w.path, line.c_str());
      return;
    }
    if (n < 0 && errno == EPIPE) {
      // The reader went; another may have come since: open once more.
      close(w.fd);
      w.fd = -1;
      if (attempt == 1)
        why = "no reader";
      continue;
    }
    why = n < 0 ? (errno == EAGAIN ? "full" : strerror(errno)) : "line cut short";
  }
  debug_tracef("%s: dropped (%s): %s", w.path, why, line.c_str());
  if (!w.dropping)
    fprintf(stderr, "velm_input: %s: %s; lines are dropped until it takes them\n", w.path, why);
  w.dropping = true;
}

void send_lines(Daemon &d, std::vector<OutLine> &out) {
  for (const OutLine &line : out)
    write_line(line.fifo == Fifo::control ? d.control : d.display, line.text);
  out.clear();
}

// --- Devices -------------------------------------------------------------------------------

bool is_pattern(const std::string &path) {
  return path.find_first_of("*?[") != std::string::npos;
}

void report_open(Daemon &d, const std::string &path, const char *why) {
  if (d.open_reported.insert(path).second)
    fprintf(stderr, "velm_input: %s: %s; tried again when it changes\n", path.c_str(), why);
}

// Opens the device at path unless it is open already (under this or another name).
// False when it could not be opened and should be tried again. A name a pattern found
// that is gone again (a link left behind for a moment by a device unplugged) is passed
// over without a word.
bool take_up(Daemon &d, const std::string &path, bool from_pattern) {
  for (const Device &dev : d.devices) {
    if (dev.path == path)
      return true;
  }
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    if (from_pattern && errno == ENOENT)
      return true;
    report_open(d, path, strerror(errno));
    return false;
  }
  if (!S_ISCHR(st.st_mode) && !S_ISFIFO(st.st_mode)) {
    report_open(d, path, "not an input device");
    return true;
  }
  for (const Device &dev : d.devices) {
    if (dev.st_dev == st.st_dev && dev.st_ino == st.st_ino)
      return true;
  }
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 || fstat(fd, &st) != 0) {
    report_open(d, path, strerror(errno));
    if (fd >= 0)
      close(fd);
    return false;
  }
  d.open_reported.erase(path);
  // The keys go to this program only, not also to a console or another reader.
  if (ioctl(fd, EVIOCGRAB, 1) != 0 && d.grab_reported.insert(path).second)
    fprintf(stderr, "velm_input: %s: cannot grab it (%s); its keys also reach other readers\n",
            path.c_str(), strerror(errno));
  d.devices.push_back({path, fd, d.next_id++, st.st_dev, st.st_ino});
  debug_tracef("device %d: %s", d.devices.back().id, path.c_str());
  return true;
}

// Matches the devices' names and patterns again and takes up what is new.
void scan_devices(Daemon &d, long long now) {
  bool pending = false;
  for (const std::string &name : d.options.devices) {
    if (!is_pattern(name)) {
      pending |= !take_up(d, name, false);
      continue;
    }
    glob_t found;
    if (glob(name.c_str(), 0, nullptr, &found) == 0) {
      for (size_t i = 0; i < found.gl_pathc; ++i)
        pending |= !take_up(d, found.gl_pathv[i], true);
    }
    globfree(&found);
  }
  d.retry_at = pending ? now + DEVICE_RETRY_MS : -1;
}

void drop_device(Daemon &d, size_t index, const char *why, long long now) {
  Device dev = d.devices[index];
  fprintf(stderr, "velm_input: %s: %s; dropped\n", dev.path.c_str(), why);
  close(dev.fd);
  d.devices.erase(d.devices.begin() + static_cast<long>(index));
  input_device_gone(d.in, dev.id);
  // It may come back under the same name: inotify says so, and the retry looks.
  if (d.retry_at < 0)
    d.retry_at = now + DEVICE_RETRY_MS;
}

void trace_event(const Device &dev, const input_event &e) {
  if (!debug_enabled)
    return;
  const char *name = nullptr;
  if (e.type == EV_KEY)
    name = key_name_of(CodeKind::key, e.code);
  else if (e.type == EV_REL)
    name = key_name_of(CodeKind::axis, e.code);
  debug_tracef("%s: type %u code %u%s%s%s value %d", dev.path.c_str(), e.type, e.code,
               name ? " (" : "", name ? name : "", name ? ")" : "", e.value);
}

// Reads what the device has: whole records, else the device is at fault.
void read_device(Daemon &d, size_t index, long long now, std::vector<OutLine> &out) {
  input_event records[64];
  const Device &dev = d.devices[index];
  ssize_t n = read(dev.fd, records, sizeof records);
  if (n < 0 && (errno == EAGAIN || errno == EINTR))
    return;
  if (n <= 0)
    return drop_device(d, index, n == 0 ? "end of file" : strerror(errno), now);
  for (ssize_t i = 0; i < n / static_cast<ssize_t>(sizeof records[0]); ++i) {
    trace_event(dev, records[i]);
    interpret_event(d.in, {dev.id, records[i].type, records[i].code, records[i].value, now}, out);
  }
  // A device delivers whole records only; after a part of one, nothing it sends can be
  // read right.
  if (n % static_cast<ssize_t>(sizeof records[0]) != 0)
    drop_device(d, index, "a record cut short", now);
}

// --- inotify ---------------------------------------------------------------------------

void watch_directories(Daemon &d) {
  for (int i = 0; i < WATCHED_COUNT; ++i) {
    if (d.watches[i] >= 0)
      continue;
    uint32_t mask = i == 0 ? IN_CREATE | IN_MOVED_TO
                           : IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_DELETE | IN_MOVED_FROM;
    d.watches[i] = inotify_add_watch(d.inotify_fd, WATCHED[i], mask | IN_ONLYDIR);
  }
}

void read_inotify(Daemon &d, long long now) {
  alignas(inotify_event) char buffer[4096];
  bool changed = false;
  ssize_t n;
  while ((n = read(d.inotify_fd, buffer, sizeof buffer)) > 0) {
    for (char *p = buffer; p < buffer + n;) {
      const auto *e = reinterpret_cast<const inotify_event *>(p);
      p += sizeof(inotify_event) + e->len;
      for (int i = 0; i < WATCHED_COUNT; ++i) {
        if (e->wd != d.watches[i])
          continue;
        if (e->mask & IN_IGNORED)
          d.watches[i] = -1;
        // In /dev, only /dev/input matters.
        if (i != 0 || (e->len > 0 && strcmp(e->name, "input") == 0))
          changed = true;
      }
    }
  }
  if (changed) {
    watch_directories(d);
    scan_devices(d, now);
  }
}

// --- lircd -----------------------------------------------------------------------------

void connect_lirc(Daemon &d, long long now) {
  Lirc &l = d.lirc;
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  if (strlen(l.path) >= sizeof address.sun_path) {
    fprintf(stderr, "velm_input: %s: the socket's name is too long\n", l.path);
    l.path = nullptr;
    return;
  }
  strcpy(address.sun_path, l.path);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
    l.fd = fd;
    l.lines = LineAssembler();
    l.retry_at = -1;
    l.reported = false;
    debug_tracef("lircd: connected to %s", l.path);
    return;
  }
  if (!l.reported)
    fprintf(stderr, "velm_input: %s: %s; tried again every second\n", l.path, strerror(errno));
  l.reported = true;
  if (fd >= 0)
    close(fd);
  l.retry_at = now + LIRC_RETRY_MS;
}

void read_lirc(Daemon &d, long long now, std::vector<OutLine> &out) {
  Lirc &l = d.lirc;
  char buffer[4096];
  ssize_t n = read(l.fd, buffer, sizeof buffer);
  if (n < 0 && (errno == EAGAIN || errno == EINTR))
    return;
  if (n <= 0) {
    fprintf(stderr, "velm_input: %s: %s; tried again every second\n", l.path,
            n == 0 ? "lircd closed the connection" : strerror(errno));
    l.reported = true;
    close(l.fd);
    l.fd = -1;
    l.retry_at = now + LIRC_RETRY_MS;
    input_device_gone(d.in, LIRC_DEVICE);
    return;
  }
  const char *p = buffer;
  while (ipc_take_line(l.lines, p, buffer + n)) {
    debug_tracef("lircd: %s", l.lines.line);
    lirc_line(d.in, LIRC_DEVICE, l.lines.line, now, out);
  }
}

// --- The loop --------------------------------------------------------------------------

long long earliest(long long a, long long b) {
  if (a < 0)
    return b;
  if (b < 0)
    return a;
  return a < b ? a : b;
}

int poll_timeout(const Daemon &d, long long now) {
  long long due = earliest(earliest(input_deadline(d.in), d.retry_at), d.lirc.retry_at);
  if (due < 0)
    return -1;
  return due <= now ? 0 : static_cast<int>(std::min<long long>(due - now, INT_MAX));
}

int open_signals() {
  signal(SIGPIPE, SIG_IGN);
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGHUP);
  sigprocmask(SIG_BLOCK, &mask, nullptr);
  return signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
}

// The descriptors the loop waits on: the signals, inotify, lircd (ignored by poll while
// -1), then the devices, whose numbers go to ids in the same order.
void fill_pollfds(const Daemon &d, std::vector<pollfd> &fds, std::vector<int> &ids) {
  fds.clear();
  ids.clear();
  fds.push_back({d.signal_fd, POLLIN, 0});
  fds.push_back({d.inotify_fd, POLLIN, 0});
  fds.push_back({d.lirc.fd, POLLIN, 0});
  for (const Device &dev : d.devices) {
    fds.push_back({dev.fd, POLLIN, 0});
    ids.push_back(dev.id);
  }
}

// Reads the devices poll found ready; one dropped on the way shifts the others, so each
// is found again by its number.
void read_devices(Daemon &d, const std::vector<pollfd> &fds, const std::vector<int> &ids,
                  long long now, std::vector<OutLine> &out) {
  for (size_t i = 3; i < fds.size(); ++i) {
    if (fds[i].revents == 0)
      continue;
    for (size_t k = 0; k < d.devices.size(); ++k) {
      if (d.devices[k].id == ids[i - 3]) {
        read_device(d, k, now, out);
        break;
      }
    }
  }
}

// Runs until a signal ends it.
void run(Daemon &d) {
  std::vector<OutLine> out;
  std::vector<pollfd> fds;
  std::vector<int> ids;
  for (;;) {
    fill_pollfds(d, fds, ids);
    if (poll(fds.data(), fds.size(), poll_timeout(d, now_ms())) < 0 && errno != EINTR) {
      fprintf(stderr, "velm_input: poll: %s\n", strerror(errno));
      return;
    }
    long long now = now_ms();
    if (fds[0].revents != 0)
      return;
    read_devices(d, fds, ids, now, out);
    if (d.lirc.fd >= 0 && fds[2].revents != 0)
      read_lirc(d, now, out);
    if (fds[1].revents != 0)
      read_inotify(d, now);
    input_timers(d.in, now, out);
    send_lines(d, out);
    if (d.retry_at >= 0 && d.retry_at <= now)
      scan_devices(d, now);
    if (d.lirc.path != nullptr && d.lirc.fd < 0 && d.lirc.retry_at <= now)
      connect_lirc(d, now);
  }
}

} // namespace

int main(int argc, char **argv) {
  Daemon d;
  d.options = read_options(argc, argv);
  debug_init("[velm_input]");
  debug_enabled = d.options.debug;
  std::string error;
  if (!load_keymap(d.options.keymap, &d.map, &error)) {
    fprintf(stderr, "velm_input: %s\n", error.c_str());
    return EXIT_BAD_KEYMAP;
  }
  if (d.options.check)
    return 0;
  d.in.map = &d.map;
  d.signal_fd = open_signals();
  d.inotify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (d.signal_fd < 0 || d.inotify_fd < 0) {
    fprintf(stderr, "velm_input: %s\n", strerror(errno));
    return 1;
  }
  watch_directories(d);
  scan_devices(d, now_ms());
  d.lirc.path = d.options.lirc_socket;
  if (d.lirc.path != nullptr)
    connect_lirc(d, now_ms());
  run(d);
  return 0;
}
