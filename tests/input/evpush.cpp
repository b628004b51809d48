// evpush: writes input event records, the bytes an event device delivers, into a path (a
// FIFO standing in for a device in velm_input's tests). Steps from standard input, one a
// line:
//
//   NAME VALUE[, NAME VALUE...]   one frame: each event (EV_KEY for KEY_/BTN_ names, EV_REL
//                                 for REL_), then SYN_REPORT, all in one write
//   dropped                       SYN_DROPPED, the kernel's word for events lost
//   cut                           half a record, which no device delivers
//   wait MS
//
//   evpush PATH     (opening PATH waits for its reader, at most 20 s)

#include "keynames.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/input.h>
#include <string>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

namespace {

input_event record(int type, int code, int value) {
  input_event e = {};
  timeval now;
  gettimeofday(&now, nullptr);
  e.input_event_sec = now.tv_sec;
  e.input_event_usec = now.tv_usec;
  e.type = static_cast<unsigned short>(type);
  e.code = static_cast<unsigned short>(code);
  e.value = value;
  return e;
}

[[noreturn]] void fail(const char *what, const char *step) {
  fprintf(stderr, "evpush: %s: %s\n", what, step);
  exit(1);
}

void put(int fd, const void *bytes, size_t size) {
  if (write(fd, bytes, size) != static_cast<ssize_t>(size))
    fail("write", strerror(errno));
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: evpush PATH <steps\n");
    return 2;
  }
  alarm(20);
  int fd = open(argv[1], O_WRONLY | O_CLOEXEC);
  if (fd < 0)
    fail(argv[1], strerror(errno));
  char line[512];
  while (fgets(line, sizeof line, stdin) != nullptr) {
    line[strcspn(line, "\n")] = '\0';
    int ms;
    if (sscanf(line, "wait %d", &ms) == 1) { // NOLINT(cert-err34-c)
      timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
      nanosleep(&pause, nullptr);
      continue;
    }
    if (strcmp(line, "dropped") == 0) {
      input_event e = record(EV_SYN, SYN_DROPPED, 0);
      put(fd, &e, sizeof e);
      continue;
    }
    if (strcmp(line, "cut") == 0) {
      input_event e = record(EV_KEY, KEY_A, 1);
      put(fd, &e, sizeof e / 2);
      continue;
    }
    std::vector<input_event> frame;
    for (char *event = strtok(line, ","); event != nullptr; event = strtok(nullptr, ",")) {
      char name[64];
      int value;
      CodeKind kind;
      int code;
      if (sscanf(event, " %63s %d", name, &value) != 2 || // NOLINT(cert-err34-c)
          !find_key_name(name, &kind, &code))
        fail("not an event", event);
      frame.push_back(record(kind == CodeKind::key ? EV_KEY : EV_REL, code, value));
    }
    if (frame.empty())
      continue;
    frame.push_back(record(EV_SYN, SYN_REPORT, 0));
    put(fd, frame.data(), frame.size() * sizeof frame[0]);
  }
  return 0;
}
