// evplay: plays a recording of input events into a device path (for the tests: a FIFO that
// stands in for an event device), as the kernel delivers them.
//
//   evplay [-w MS] RECORDING DEVICE
//
// RECORDING holds one event a line, "TIME_MS TYPE CODE VALUE": the time in milliseconds
// from the start, the event's type, code and value, the type and code as numbers or by
// their kernel names ("120 EV_KEY KEY_NEXTSONG 1", "300 EV_REL REL_DIAL -1", "40 1 163 0").
// Blank lines and lines starting with "#" are passed over; the times must not go back.
// DEVICE is opened for writing (a FIFO: once its reader has opened it), which starts the
// clock; each event is written at its time as one struct input_event record followed by
// an EV_SYN SYN_REPORT record, in one write, with the time of the write in the records, as
// a device reports one event in a packet of its own (an EV_SYN line of the recording
// goes out alone). With -w, DEVICE stays open MS milliseconds after the last event.
//
// Exit status: 0 when every event was written, 1 when the device could not be opened or
// written, 2 for a usage error or a bad recording ("evplay: FILE:LINE: what is wrong").

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/input.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct Name {
  const char *name;
  int code;
};

// Every EV_, SYN_, KEY_, BTN_, REL_, ABS_, MSC_, SW_, LED_ and REP_ name of the kernel's
// header, made from it by the build.
const Name NAMES[] = {
#include "evcodes.inc"
};

// A recording lasts at most a day; its times fit a long of 32 bits.
constexpr long MAX_TIME_MS = 24L * 60 * 60 * 1000;

struct Event {
  long time_ms;
  int type;
  int code;
  int value;
};

[[noreturn]] void usage() {
  fputs("usage: evplay [-w MS] RECORDING DEVICE\n", stderr);
  exit(2);
}

bool parse_number(const std::string &word, long low, long high, long &number) {
  if (word.empty())
    return false;
  char *end = nullptr;
  errno = 0;
  long value = strtol(word.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || value < low || value > high)
    return false;
  number = value;
  return true;
}

// A type or code: a number, or a kernel name.
bool parse_code(const std::string &word, int &code) {
  long number;
  if (parse_number(word, 0, 0xffff, number)) {
    code = static_cast<int>(number);
    return true;
  }
  for (const Name &name : NAMES) {
    if (word == name.name) {
      code = name.code;
      return true;
    }
  }
  return false;
}

std::vector<Event> read_recording(const char *path) {
  FILE *fp = fopen(path, "re");
  if (fp == nullptr) {
    fprintf(stderr, "evplay: %s: %s\n", path, strerror(errno));
    exit(2);
  }
  std::vector<Event> events;
  char *line = nullptr;
  size_t size = 0;
  int number = 0;
  long last = 0;
  auto bad = [&](const char *what) {
    fprintf(stderr, "evplay: %s:%d: %s\n", path, number, what);
    exit(2);
  };
  while (getline(&line, &size, fp) >= 0) {
    ++number;
    std::vector<std::string> words;
    for (const char *p = line; *p != '\0';) {
      while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')
        ++p;
      const char *start = p;
      while (*p != '\0' && *p != ' ' && *p != '\t' && *p != '\n' && *p != '\r')
        ++p;
      if (p > start)
        words.emplace_back(start, p);
    }
    if (words.empty() || words[0][0] == '#')
      continue;
    if (words.size() != 4)
      bad("not \"TIME_MS TYPE CODE VALUE\"");
    Event event{};
    long value;
    if (!parse_number(words[0], 0, MAX_TIME_MS, event.time_ms))
      bad("the time is not a number of milliseconds");
    if (event.time_ms < last)
      bad("the time goes back");
    last = event.time_ms;
    if (!parse_code(words[1], event.type))
      bad("unknown event type");
    if (!parse_code(words[2], event.code))
      bad("unknown event code");
    if (!parse_number(words[3], INT_MIN, INT_MAX, value))
      bad("the value is not a number");
    event.value = static_cast<int>(value);
    events.push_back(event);
  }
  free(line);
  fclose(fp);
  return events;
}

input_event record(int type, int code, int value) {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  input_event ev{};
  // The kernel header's names for the time fields: a struct timeval on most machines,
  // two unsigned longs on 32-bit ones built with 64-bit time.
  ev.input_event_sec = static_cast<decltype(ev.input_event_sec)>(now.tv_sec);
  ev.input_event_usec = static_cast<decltype(ev.input_event_usec)>(now.tv_nsec / 1000);
  ev.type = static_cast<__u16>(type);
  ev.code = static_cast<__u16>(code);
  ev.value = value;
  return ev;
}

void sleep_until(const timespec &start, long ms) {
  timespec at = start;
  at.tv_sec += ms / 1000;
  at.tv_nsec += (ms % 1000) * 1000000;
  if (at.tv_nsec >= 1000000000) {
    at.tv_sec += 1;
    at.tv_nsec -= 1000000000;
  }
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
  }
}

} // namespace

int main(int argc, char **argv) {
  long linger_ms = 0;
  int option;
  while ((option = getopt(argc, argv, "w:")) != -1) {
    if (option != 'w' || !parse_number(optarg, 0, INT_MAX, linger_ms))
      usage();
  }
  if (argc - optind != 2)
    usage();
  const char *device = argv[optind + 1];
  std::vector<Event> events = read_recording(argv[optind]);
  signal(SIGPIPE, SIG_IGN);
  int fd;
  while ((fd = open(device, O_WRONLY | O_CLOEXEC)) < 0 && errno == EINTR) {
  }
  if (fd < 0) {
    fprintf(stderr, "evplay: %s: %s\n", device, strerror(errno));
    return 1;
  }
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (const Event &event : events) {
    sleep_until(start, event.time_ms);
    // The event and its report carry one time, as the kernel stamps a frame.
    input_event packet[2] = {record(event.type, event.code, event.value), {}};
    packet[1] = packet[0];
    packet[1].type = EV_SYN;
    packet[1].code = SYN_REPORT;
    packet[1].value = 0;
    size_t bytes = event.type == EV_SYN ? sizeof packet[0] : sizeof packet;
    ssize_t written = write(fd, packet, bytes);
    if (written != static_cast<ssize_t>(bytes)) {
      fprintf(stderr, "evplay: %s: %s\n", device, written < 0 ? strerror(errno) : "a short write");
      return 1;
    }
  }
  if (linger_ms > 0)
    sleep_until(start, (events.empty() ? 0 : events.back().time_ms) + linger_ms);
  close(fd);
  return 0;
}
