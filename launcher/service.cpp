#include "service.h"

#include "launcher.h"
#include "paths.h"
#include "playstate.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

namespace {

const char *base_name(const char *path) {
  const char *slash = strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

void notify(const Service &service, const std::string &text) {
  if (service.notify)
    sd_notify(0, text.c_str());
}

// The whole of a small plain file (a state file is never read through a FIFO or a link).
bool read_plain(const char *path, std::string &text) {
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  char buffer[512];
  text.clear();
  ssize_t got = 0;
  while (ok && text.size() < 4096 && (got = read(fd, buffer, sizeof buffer)) > 0)
    text.append(buffer, static_cast<size_t>(got));
  close(fd);
  return ok && got >= 0;
}

std::string address_words(const SongAddress &song) {
  return std::to_string(song.device) + " " + std::to_string(song.list) + " " +
         std::to_string(song.song);
}

// What the play core's record says: the status and the chosen song.
void show_play_state(Service &service) {
  std::string text;
  if (!read_plain(PLAYSTATE_PATH, text))
    return;
  PlayState state = parse_play_state(text);
  if (state.has_song)
    service_status(service, std::string(status_word(state.status)) + ": song " +
                                address_words(state.song) + " (device, list, song)");
}

// The play core writes /tmp/PREPARED once it has handed the player the start's song to
// load (paused, before the resume point's jump): from then on the jukebox plays.
void song_loaded(Service &service) {
  std::string text;
  if (service.ready || !read_plain(PREPARED_PATH, text))
    return;
  service.ready = true;
  text.resize(std::min(text.size(), text.find('\n')));
  service_status(service, "loaded song " + text + " (device, list, song)");
  notify(service, "READY=1");
}

void take_watch_events(Service &service) {
  alignas(inotify_event) char buffer[4096];
  ssize_t got;
  bool record = false;
  bool prepared = false;
  while ((got = read(service.watch, buffer, sizeof buffer)) > 0) {
    for (char *at = buffer; at < buffer + got;) {
      const auto *event = reinterpret_cast<const inotify_event *>(at);
      if (event->len > 0) {
        prepared = prepared || strcmp(event->name, base_name(PREPARED_PATH)) == 0;
        record = record || strcmp(event->name, base_name(PLAYSTATE_PATH)) == 0;
      }
      at += sizeof(inotify_event) + event->len;
    }
  }
  if (prepared)
    song_loaded(service);
  if (record && service.ready)
    show_play_state(service);
}

} // namespace

void service_begin(Service &service) {
  const char *socket = getenv("NOTIFY_SOCKET");
  service.notify = socket != nullptr && socket[0] != '\0';
  if (!service.notify)
    return;
  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
    service.watchdog_usec = usec;
    service.next_keepalive = now_seconds();
  }
  // The state files are replaced by renaming a temporary over them.
  std::string folder(PREPARED_PATH, base_name(PREPARED_PATH) - PREPARED_PATH);
  service.watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (service.watch >= 0 &&
      inotify_add_watch(service.watch, folder.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE) < 0) {
    close(service.watch);
    service.watch = -1;
  }
  if (service.watch < 0) {
    message("cannot watch %s for the loaded song (%s); ready at once", folder.c_str(),
            strerror(errno));
    service.ready = true;
    notify(service, "READY=1");
  }
}

bool service_journal() {
  const char *stream = getenv("JOURNAL_STREAM");
  if (stream == nullptr)
    return false;
  char *end;
  errno = 0;
  unsigned long long device = strtoull(stream, &end, 10);
  if (errno != 0 || end == stream || *end != ':')
    return false;
  const char *inode_text = end + 1;
  unsigned long long inode = strtoull(inode_text, &end, 10);
  if (errno != 0 || end == inode_text || *end != '\0')
    return false;
  struct stat st;
  return fstat(STDERR_FILENO, &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

void service_forget_in_child() {
  unsetenv("NOTIFY_SOCKET");
  unsetenv("WATCHDOG_USEC");
  unsetenv("WATCHDOG_PID");
}

void service_status(Service &service, const std::string &text) {
  if (!service.notify || text == service.status)
    return;
  service.status = text;
  notify(service, "STATUS=" + text);
}

void service_lists_built(Service &service) {
  struct stat st;
  if (service.ready || stat(OPL_PATH, &st) != 0 || st.st_size > 0)
    return;
  service.ready = true;
  service_status(service, "no songs on the devices");
  notify(service, "READY=1");
}

int service_fd(const Service &service) {
  return service.watch;
}

int service_timeout_ms(const Service &service) {
  if (service.watchdog_usec == 0)
    return -1;
  double wait = service.next_keepalive - now_seconds();
  if (wait <= 0)
    return 0;
  double ms = wait * 1000 + 1;
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

void service_tick(Service &service) {
  if (service.watch >= 0)
    take_watch_events(service);
  if (service.watchdog_usec == 0 || now_seconds() < service.next_keepalive)
    return;
  notify(service, "WATCHDOG=1");
  // Half the interval, as sd_watchdog_enabled(3) advises.
  service.next_keepalive = now_seconds() + static_cast<double>(service.watchdog_usec) / 2e6;
}

void service_stopping(Service &service) {
  notify(service, "STOPPING=1");
  service_status(service, "shutting down");
  if (service.watch >= 0) {
    close(service.watch);
    service.watch = -1;
  }
}
