// velm_mixer: the OSS mixer of a machine that has none. Provides /dev/mixer as the one
// file of a FUSE file system, answers the mixer requests made on it (FUSE hands the
// requests on, since each carries its size and direction), and gives the sound the
// levels set through the player's own equalizer: mpg123's remote commands into
// /tmp/fifo.player. So the jukebox's volume, balance, bass and treble keys change the
// sound on any machine, with any sound card or none.
//
//   velm_mixer [-d] [-p FIFO] [DEVICE]     (DEVICE: /dev/mixer, FIFO: /tmp/fifo.player)
//
// DEVICE is made as an empty file when it is missing (and removed again at the end) and
// the file system is mounted on it; mounted by root, every user may use it (as the
// jukebox's own user does when the mixer runs as a service of its own). A real mixer
// device there is left alone: exit status 1, as for a mount that fails. Under systemd it
// reports READY=1 once the device is mounted. A new player (the FIFO made again, as the
// launcher does when it starts one) is given the levels: the FIFO is watched with
// inotify; SIGHUP sends them again too. SIGTERM, SIGINT: unmount and end. With -d, each
// request is traced on standard error. Nothing is polled: while no request comes and the
// player stays, the daemon sleeps.

#include "fuse_mount.h"
#include "paths.h"
#include "soft_mixer.h"

#define FUSE_USE_VERSION 35
#include <fuse3/fuse_lowlevel.h>
#include <systemd/sd-daemon.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

// While the player does not take the commands (it is starting, or its pipe is full),
// they are tried again this often, for this long.
constexpr int RETRY_MS = 50;
constexpr double RETRY_FOR_SECONDS = 3;

struct Mixer {
  SoftMixer levels;
  bool debug = false;
  std::string player_fifo = FIFO_PLAYER_PATH;
  time_t started = 0;
  std::string sent;         // the commands the player was last given (a player starts
                            // with every gain at 1, as a mixer starts)
  bool pending = false;     // commands that still have to reach the player
  double pending_since = 0; // when they were first tried
  bool said_unreachable = false;
};

double now_seconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Tries to give the player `commands`, those of the current levels, in one write: a pipe
// writes up to PIPE_BUF bytes whole, so the control daemon's lines cannot come between.
void send_commands(Mixer &mixer, const std::string &commands) {
  int fd = open(mixer.player_fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  ssize_t wrote = -1;
  if (fd >= 0) {
    wrote = write(fd, commands.data(), commands.size());
    close(fd);
  }
  if (wrote == static_cast<ssize_t>(commands.size())) {
    mixer.sent = commands;
    mixer.pending = false;
    mixer.said_unreachable = false;
    return;
  }
  if (!mixer.pending) {
    mixer.pending = true;
    mixer.pending_since = now_seconds();
  } else if (now_seconds() - mixer.pending_since > RETRY_FOR_SECONDS) {
    // Kept for the next player, whose FIFO the watch sees made (or for SIGHUP).
    if (!mixer.said_unreachable)
      fprintf(stderr, "velm_mixer: %s: the player takes no commands (%s); levels kept\n",
              mixer.player_fifo.c_str(), strerror(fd < 0 ? errno : EAGAIN));
    mixer.said_unreachable = true;
    mixer.pending = false;
  }
}

void send_levels(Mixer &mixer) {
  send_commands(mixer, player_commands(mixer.levels));
}

// After a request: the player gets the levels when they give other commands.
void levels_changed(Mixer &mixer) {
  std::string commands = player_commands(mixer.levels);
  if (commands != mixer.sent) {
    mixer.pending = false;
    send_commands(mixer, commands);
  }
}

Mixer &mixer_of(fuse_req_t req) {
  return *static_cast<Mixer *>(fuse_req_userdata(req));
}

// The file system: one file, its root, which is the mixer device.
struct stat device_attributes(const Mixer &mixer) {
  struct stat st = {};
  st.st_ino = FUSE_ROOT_ID;
  st.st_mode = S_IFREG | 0666;
  st.st_nlink = 1;
  st.st_uid = getuid();
  st.st_gid = getgid();
  st.st_atime = st.st_mtime = st.st_ctime = mixer.started;
  return st;
}

void device_getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info * /*fi*/) {
  if (ino != FUSE_ROOT_ID) {
    fuse_reply_err(req, ENOENT);
    return;
  }
  struct stat st = device_attributes(mixer_of(req));
  fuse_reply_attr(req, &st, 1.0);
}

void device_lookup(fuse_req_t req, fuse_ino_t /*parent*/, const char * /*name*/) {
  fuse_reply_err(req, ENOTDIR);
}

void device_open(fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi) {
  if (ino != FUSE_ROOT_ID) {
    fuse_reply_err(req, ENOENT);
    return;
  }
  fi->direct_io = 1;
  fi->nonseekable = 1;
  fuse_reply_open(req, fi);
}

// A mixer has nothing to read or write but its requests.
void device_read(fuse_req_t req, fuse_ino_t /*ino*/, size_t /*size*/, off_t /*off*/,
                 fuse_file_info * /*fi*/) {
  fuse_reply_err(req, EINVAL);
}

void device_write(fuse_req_t req, fuse_ino_t /*ino*/, const char * /*buf*/, size_t /*size*/,
                  off_t /*off*/, fuse_file_info * /*fi*/) {
  fuse_reply_err(req, EINVAL);
}

void device_release(fuse_req_t req, fuse_ino_t /*ino*/, fuse_file_info * /*fi*/) {
  fuse_reply_err(req, 0);
}

void device_ioctl(fuse_req_t req, fuse_ino_t /*ino*/, unsigned int cmd, void * /*arg*/,
                  fuse_file_info * /*fi*/, unsigned /*flags*/, const void *in_buf, size_t in_bufsz,
                  size_t out_bufsz) {
  Mixer &mixer = mixer_of(req);
  MixerAnswer answer = answer_mixer_request(mixer.levels, cmd, in_buf, in_bufsz);
  if (mixer.debug)
    fprintf(stderr, "velm_mixer: request 0x%08X: %s 0x%X\n", cmd,
            answer.result == 0 ? "answered" : strerror(-answer.result), answer.value);
  if (answer.result != 0) {
    fuse_reply_err(req, -answer.result);
    return;
  }
  // Every request answered carries an int back (the kernel made room for its size).
  if (out_bufsz < sizeof answer.value) {
    fuse_reply_err(req, EFAULT);
    return;
  }
  fuse_reply_ioctl(req, 0, &answer.value, sizeof answer.value);
  levels_changed(mixer);
}

const fuse_lowlevel_ops DEVICE_OPS = [] {
  fuse_lowlevel_ops ops = {};
  ops.lookup = device_lookup;
  ops.getattr = device_getattr;
  ops.open = device_open;
  ops.read = device_read;
  ops.write = device_write;
  ops.release = device_release;
  ops.ioctl = device_ioctl;
  return ops;
}();

[[noreturn]] void usage() {
  fputs("usage: velm_mixer [-d] [-p FIFO] [DEVICE]\n", stderr);
  exit(2);
}

// Makes the file to mount on; false when a real device (or another mixer) is there.
bool take_device_path(const char *path, bool &made) {
  struct stat st;
  made = false;
  // The mount of a mixer that was killed is left without its server (its attributes may
  // still be cached, but no request is answered): taken away, and so is any such mount
  // below it.
  for (int layer = 0; layer < 16; ++layer) {
    struct statfs fs;
    bool dead = (lstat(path, &st) != 0 && errno == ENOTCONN) ||
                (statfs(path, &fs) != 0 && errno == ENOTCONN);
    if (!dead || umount2(path, MNT_DETACH) != 0)
      break;
    fprintf(stderr, "velm_mixer: %s: took away the mount of a mixer that had ended\n", path);
  }
  if (lstat(path, &st) != 0) {
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      fprintf(stderr, "velm_mixer: %s: %s\n", path, strerror(errno));
      return false;
    }
    close(fd);
    made = true;
    return true;
  }
  if (!S_ISREG(st.st_mode) || is_fuse_mount(path)) {
    fprintf(stderr, "velm_mixer: %s: there is a mixer device already\n", path);
    return false;
  }
  return true;
}

int take_signals() {
  signal(SIGPIPE, SIG_IGN);
  sigset_t set;
  sigemptyset(&set);
  for (int signo : {SIGHUP, SIGTERM, SIGINT})
    sigaddset(&set, signo);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  return signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

fuse_session *mount_device(Mixer &mixer, const char *path) {
  // Root's mount is for every user, each held to the file's mode (0666).
  const char *options = geteuid() == 0
                            ? "fsname=velm_mixer,subtype=velm_mixer,allow_other,default_permissions"
                            : "fsname=velm_mixer,subtype=velm_mixer";
  const char *argv[] = {"velm_mixer", "-o", options, nullptr};
  fuse_args args = FUSE_ARGS_INIT(3, const_cast<char **>(argv));
  fuse_session *session = fuse_session_new(&args, &DEVICE_OPS, sizeof DEVICE_OPS, &mixer);
  // The session keeps what it needs of the options (their parse may have copied them).
  fuse_opt_free_args(&args);
  if (session == nullptr)
    return nullptr;
  if (fuse_session_mount(session, path) != 0) {
    fuse_session_destroy(session);
    return nullptr;
  }
  // The session's descriptor must not reach the children of the programs that use the
  // device.
  fcntl(fuse_session_fd(session), F_SETFD, FD_CLOEXEC);
  return session;
}

// The player's FIFO, watched: its own inode while it is there (it goes when a player is
// started anew), its folder until the next one is made. Reading and writing the FIFO
// report nothing to these watches.
struct PlayerWatch {
  int fd = -1;
  int watch = -1;
  bool on_folder = false;
};

void watch_player(PlayerWatch &w, const std::string &fifo) {
  if (w.watch >= 0)
    inotify_rm_watch(w.fd, w.watch);
  w.watch = inotify_add_watch(w.fd, fifo.c_str(), IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF);
  w.on_folder = w.watch < 0;
  if (w.on_folder) {
    std::string folder = fifo.substr(0, fifo.rfind('/') + 1);
    w.watch = inotify_add_watch(w.fd, folder.empty() ? "." : folder.c_str(),
                                IN_CREATE | IN_MOVED_TO | IN_ONLYDIR);
  }
}

// Whether the events say that a new player's FIFO is there.
bool new_player(PlayerWatch &w, const std::string &fifo) {
  alignas(inotify_event) char events[sizeof(inotify_event) + NAME_MAX + 1];
  std::string name = fifo.substr(fifo.rfind('/') + 1);
  bool gone = false, made = false;
  ssize_t got;
  while ((got = read(w.fd, events, sizeof events)) > 0) {
    for (char *at = events; at < events + got;) {
      const auto *event = reinterpret_cast<const inotify_event *>(at);
      if (event->wd == w.watch) {
        if (w.on_folder && event->len > 0 && name == event->name)
          made = true;
        // IN_ATTRIB also comes of a change of mode: only a FIFO no longer linked is gone.
        if (!w.on_folder && ((event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) != 0 ||
                             ((event->mask & IN_ATTRIB) != 0 && access(fifo.c_str(), F_OK) != 0)))
          gone = true;
      }
      at += sizeof(inotify_event) + event->len;
    }
  }
  if (!gone && !made)
    return false;
  watch_player(w, fifo);
  // A FIFO that is there now, where there was none or another: a new player.
  return !w.on_folder;
}

// Reads the signals that came: false at SIGTERM or SIGINT; SIGHUP asks for the levels
// to be sent again.
bool read_signals(int signals, bool &resend) {
  signalfd_siginfo info;
  while (read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    if (info.ssi_signo != SIGHUP)
      return false;
    resend = true;
  }
  return true;
}

// One request from the kernel, answered: false when the file system is gone.
bool take_request(fuse_session *session, fuse_buf &buffer) {
  int got = fuse_session_receive_buf(session, &buffer);
  if (got == -EINTR || got == -EAGAIN)
    return true;
  if (got <= 0)
    return false;
  fuse_session_process_buf(session, &buffer);
  return true;
}

// The one loop: requests from the kernel, signals, the player's FIFO, and the retries of
// commands the player did not take yet. Returns at SIGTERM or SIGINT, or when the file
// system is gone.
void serve(fuse_session *session, Mixer &mixer, int signals, PlayerWatch &player) {
  fuse_buf buffer = {};
  while (!fuse_session_exited(session)) {
    pollfd fds[3] = {
        {fuse_session_fd(session), POLLIN, 0}, {signals, POLLIN, 0}, {player.fd, POLLIN, 0}};
    if (poll(fds, 3, mixer.pending ? RETRY_MS : -1) < 0 && errno != EINTR)
      break;
    // A new player, or one to give the levels again: sent at once. Otherwise what the
    // player did not take yet is tried again.
    bool resend = false;
    if ((fds[1].revents & POLLIN) != 0 && !read_signals(signals, resend))
      break;
    if ((fds[2].revents & POLLIN) != 0 && new_player(player, mixer.player_fifo))
      resend = true;
    if (resend)
      mixer.pending = false;
    if (resend || mixer.pending)
      send_levels(mixer);
    if ((fds[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0 && !take_request(session, buffer))
      break;
  }
  free(buffer.mem);
}

} // namespace

int main(int argc, char **argv) {
  Mixer mixer;
  int option;
  while ((option = getopt(argc, argv, "dp:")) != -1) {
    if (option == 'd')
      mixer.debug = true;
    else if (option == 'p' && optarg[0] != '\0')
      mixer.player_fifo = optarg;
    else
      usage();
  }
  if (argc - optind > 1)
    usage();
  const char *path = optind < argc ? argv[optind] : MIXER_DEVICE_PATH;
  mixer.started = time(nullptr);
  mixer.sent = player_commands(mixer.levels);
  int signals = take_signals();
  bool made = false;
  if (signals < 0 || !take_device_path(path, made))
    return 1;
  fuse_session *session = mount_device(mixer, path);
  if (session == nullptr) {
    fprintf(stderr, "velm_mixer: %s: cannot mount the mixer there\n", path);
    if (made)
      unlink(path);
    return 1;
  }
  PlayerWatch player;
  player.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (player.fd >= 0)
    watch_player(player, mixer.player_fifo);
  else
    fprintf(stderr, "velm_mixer: inotify: %s; a new player gets the levels at SIGHUP only\n",
            strerror(errno));
  sd_notify(0, "READY=1");
  serve(session, mixer, signals, player);
  fuse_session_unmount(session);
  fuse_session_destroy(session);
  if (made)
    unlink(path);
  return 0;
}
