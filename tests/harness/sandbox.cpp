// sandbox: runs a command with a private /tmp, /dev and process table.
//
//   sandbox [--keep DIR]... [--tmpfs DIR]... [--tmp-size BYTES] [--tmp-from DIR]
//           [--status-fd N] [--hold-fd N] -- COMMAND [ARG]...
//
// The command runs in a new mount and pid namespace: a fresh tmpfs on /tmp (and on each
// existing folder named with --tmpfs, such as /mnt for music devices), a fresh
// /dev holding only the harmless host devices (null, zero, full, random, urandom, tty;
// fuse, for the file systems of programs under test, mounted in the private namespace)
// and its own /proc, so programs use their real fixed paths without touching the host,
// and killall reaches nothing outside. With --tmp-from, /tmp is the host folder DIR
// instead of a tmpfs (bound there, as a service's state folder is), so what the programs
// keep in /tmp outlives the sandbox. Directories named with --keep (the build tree,
// the sources) stay visible at their own paths even when they lie under /tmp.
//
// The exit status is the command's (128 + signal when it was killed). When the command
// ends, every process left in the namespace is killed. With --status-fd, "+" is written
// there once the private tree is in place (the command is then about to start), and the
// status as "%d\n" when it has ended; with --hold-fd the namespace is then kept until that
// descriptor reads end of file, so a test can still look at the sandbox's files through
// /proc/<pid of sandbox>/root.
//
// Started by a user other than root, the sandbox makes a user namespace first, in which
// that user is root (uid and gid 0) and no one else exists: the programs under test act as
// they do as root, except where they need another user (chown, running as www-data) or a
// device of their own (mknod).
//
// With --emulator EMULATOR --foreign PROGRAM (a cross build whose programs this machine
// cannot run itself: they run under qemu-user), the sandbox always makes a user namespace
// (started by root too, and then as for any other user) and gives it a binfmt_misc instance of
// its own (Linux 6.7 or later) that hands every program of PROGRAM's kind (ELF class, byte
// order, machine) to EMULATOR, so the host's shell and tools run the programs under test
// as if they were native. Nothing of this reaches the host: the instance lives and dies
// with the namespace. The sandbox itself is then built for the host (the emulator cannot
// make a user namespace: it runs threads of its own).

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

[[noreturn]] void die(const char *what, const std::string &detail = "") {
  fprintf(stderr, "sandbox: %s%s%s: %s\n", what, detail.empty() ? "" : " ", detail.c_str(),
          strerror(errno));
  exit(125);
}

struct Kept {
  std::string path;
  int fd;
};

struct Options {
  std::vector<Kept> keep;
  std::vector<std::string> tmpfs = {"/tmp"};
  std::string tmp_size; // of /tmp, in bytes; empty for the tmpfs default
  std::string tmp_from; // a host folder bound at /tmp; empty: a tmpfs
  int status_fd = -1;
  int hold_fd = -1;
  std::string emulator; // with the program whose kind it runs
  std::string foreign;
  char **command = nullptr;
};

void usage() {
  fputs("usage: sandbox [--keep DIR]... [--tmpfs DIR]... [--tmp-size BYTES] [--tmp-from DIR] "
        "[--status-fd N] [--hold-fd N] [--emulator EMULATOR --foreign PROGRAM] -- "
        "COMMAND [ARG]...\n",
        stderr);
  exit(125);
}

Options parse_options(int argc, char **argv) {
  Options options;
  int i = 1;
  for (; i < argc && strcmp(argv[i], "--") != 0; ++i) {
    std::string arg = argv[i];
    if (i + 1 >= argc)
      usage();
    if (arg == "--keep") {
      char *real = realpath(argv[++i], nullptr);
      if (real == nullptr)
        die("cannot find", argv[i]);
      options.keep.push_back({real, -1});
      free(real);
    } else if (arg == "--tmpfs") {
      options.tmpfs.push_back(argv[++i]);
    } else if (arg == "--tmp-size") {
      options.tmp_size = argv[++i];
      if (options.tmp_size.find_first_not_of("0123456789") != std::string::npos)
        usage();
    } else if (arg == "--tmp-from") {
      char *real = realpath(argv[++i], nullptr);
      if (real == nullptr)
        die("cannot find", argv[i]);
      options.tmp_from = real;
      free(real);
    } else if (arg == "--status-fd") {
      options.status_fd = atoi(argv[++i]);
    } else if (arg == "--hold-fd") {
      options.hold_fd = atoi(argv[++i]);
    } else if (arg == "--emulator") {
      options.emulator = argv[++i];
    } else if (arg == "--foreign") {
      options.foreign = argv[++i];
    } else {
      usage();
    }
  }
  if (i + 1 >= argc || options.emulator.empty() != options.foreign.empty())
    usage();
  options.command = argv + i + 1;
  return options;
}

std::string fd_path(int fd) {
  return "/proc/self/fd/" + std::to_string(fd);
}

void make_dirs(const std::string &path) {
  for (size_t slash = 1; slash != std::string::npos; slash = path.find('/', slash + 1)) {
    std::string prefix = path.substr(0, slash);
    if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST)
      die("cannot make", prefix);
  }
  if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
    die("cannot make", path);
}

void bind_fd(int fd, const std::string &target) {
  if (mount(fd_path(fd).c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
    die("cannot bind", target);
}

bool lies_under(const std::string &path, const char *dir) {
  // True when path is dir or lies inside it.
  size_t n = strlen(dir);
  return path.compare(0, n, dir) == 0 && (path.size() == n || path[n] == '/');
}

void make_private_dev() {
  static const char *const nodes[] = {"null", "zero", "full", "random", "urandom", "tty", "fuse"};
  std::vector<std::pair<std::string, int>> host;
  for (const char *node : nodes) {
    std::string path = std::string("/dev/") + node;
    int fd = open(path.c_str(), O_PATH | O_CLOEXEC);
    if (fd >= 0)
      host.emplace_back(path, fd);
  }
  if (mount("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=755") != 0)
    die("cannot mount", "/dev");
  for (auto &[path, fd] : host) {
    int made = open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
    if (made < 0)
      die("cannot make", path);
    close(made);
    bind_fd(fd, path);
    close(fd);
  }
  make_dirs("/dev/shm");
  if (mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0)
    die("cannot mount", "/dev/shm");
  symlink("/proc/self/fd", "/dev/fd");
  symlink("/proc/self/fd/0", "/dev/stdin");
  symlink("/proc/self/fd/1", "/dev/stdout");
  symlink("/proc/self/fd/2", "/dev/stderr");
}

void write_proc(const char *name, const std::string &text) {
  std::string path = std::string("/proc/self/") + name;
  int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
    die("cannot write", path);
  close(fd);
}

void make_namespaces(bool emulated) {
  uid_t uid = geteuid();
  gid_t gid = getegid();
  if (uid == 0 && !emulated) {
    if (unshare(CLONE_NEWNS | CLONE_NEWPID) != 0)
      die("cannot unshare");
    return;
  }
  if (unshare(CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWPID) != 0)
    die("cannot make a user namespace");
  // The kernel takes a gid map from an unprivileged user only once setgroups is denied.
  write_proc("setgroups", "deny");
  write_proc("uid_map", "0 " + std::to_string(uid) + " 1\n");
  write_proc("gid_map", "0 " + std::to_string(gid) + " 1\n");
}

void make_private_tree(const Options &options) {
  make_namespaces(!options.emulator.empty());
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    die("cannot make / private");
  // Hold on to the kept folders before anything covers them; a bind mount takes its
  // source from this namespace only, so they are opened after the unshare.
  std::vector<Kept> keep = options.keep;
  for (Kept &kept : keep) {
    kept.fd = open(kept.path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (kept.fd < 0)
      die("cannot open", kept.path);
  }
  int tmp_from = -1;
  if (!options.tmp_from.empty()) {
    tmp_from = open(options.tmp_from.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (tmp_from < 0)
      die("cannot open", options.tmp_from);
  }
  for (const std::string &dir : options.tmpfs) {
    if (dir == "/tmp" && tmp_from >= 0) {
      bind_fd(tmp_from, "/tmp");
      close(tmp_from);
      continue;
    }
    std::string data = "mode=1777";
    if (dir == "/tmp" && !options.tmp_size.empty())
      data += ",size=" + options.tmp_size;
    if (mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, data.c_str()) != 0)
      die("cannot mount", dir);
  }
  make_private_dev();
  // Kept directories hidden by the new mounts come back at their own paths; shorter
  // paths first, so a kept directory inside another one lands on top of it.
  std::sort(keep.begin(), keep.end(),
            [](const Kept &a, const Kept &b) { return a.path.size() < b.path.size(); });
  for (const Kept &kept : keep) {
    bool hidden = lies_under(kept.path, "/dev");
    for (const std::string &dir : options.tmpfs)
      hidden = hidden || lies_under(kept.path, dir.c_str());
    if (hidden) {
      make_dirs(kept.path);
      bind_fd(kept.fd, kept.path);
    }
    close(kept.fd);
  }
}

// Registers `emulator` in a binfmt_misc instance of this user namespace for the
// executables of the kind of `foreign`: its ELF class, byte order and machine, position
// independent or not.
void hand_programs_to_emulator(const std::string &emulator, const std::string &foreign) {
  const char *dir = "/proc/sys/fs/binfmt_misc";
  if (mount("binfmt_misc", dir, "binfmt_misc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
    die("cannot mount binfmt_misc in a user namespace (needs Linux 6.7 or later) at", dir);
  unsigned char header[20];
  int fd = open(foreign.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || read(fd, header, sizeof header) != static_cast<ssize_t>(sizeof header))
    die("cannot read", foreign);
  close(fd);
  // ELF magic, class, byte order, version; then the type (2 executable, 3 shared object)
  // and the machine.
  unsigned char mask[sizeof header] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0,    0,    0,
                                       0,    0,    0,    0,    0,    0,    0xfe, 0xff, 0xff, 0xff};
  if (header[5] == 2) { // big-endian: the type's low bit is in its second byte
    mask[16] = 0xff;
    mask[17] = 0xfe;
  }
  std::string magic, bits;
  char hex[8];
  for (size_t i = 0; i < sizeof header; ++i) {
    snprintf(hex, sizeof hex, "\\x%02x", header[i] & mask[i]);
    magic += hex;
    snprintf(hex, sizeof hex, "\\x%02x", mask[i]);
    bits += hex;
  }
  // P: the program keeps its own argv[0], as when the kernel runs it.
  std::string rule = ":velm-emulated:M::" + magic + ":" + bits + ":" + emulator + ":P";
  std::string path = std::string(dir) + "/register";
  fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0 || write(fd, rule.data(), rule.size()) != static_cast<ssize_t>(rule.size()))
    die("cannot register the emulator in", path);
  close(fd);
}

int status_code(int status) {
  if (WIFEXITED(status))
    return WEXITSTATUS(status);
  if (WIFSIGNALED(status))
    return 128 + WTERMSIG(status);
  return 125;
}

// The first process of the new pid namespace: mounts its /proc, runs the command and
// reaps every orphan until the command ends. Its own end kills what is left.
[[noreturn]] void run_init(const Options &options) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
    die("cannot mount", "/proc");
  if (!options.emulator.empty())
    hand_programs_to_emulator(options.emulator, options.foreign);
  pid_t command = fork();
  if (command < 0)
    die("cannot fork");
  if (command == 0) {
    signal(SIGPIPE, SIG_DFL);
    // The command starts with standard input, output and error only, whatever the
    // caller (a shell, ctest) left open, as a program started at boot would.
    close_range(3, ~0U, 0);
    execvp(options.command[0], options.command);
    die("cannot run", options.command[0]);
  }
  for (;;) {
    int status;
    pid_t pid = wait(&status);
    if (pid == command)
      _exit(status_code(status));
    if (pid < 0 && errno != EINTR)
      _exit(125);
  }
}

} // namespace

int main(int argc, char **argv) {
  Options options = parse_options(argc, argv);
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  make_private_tree(options);

  if (options.status_fd >= 0 && write(options.status_fd, "+", 1) != 1)
    die("cannot report");
  pid_t init = fork();
  if (init < 0)
    die("cannot fork");
  if (init == 0) {
    if (options.status_fd >= 0)
      close(options.status_fd);
    if (options.hold_fd >= 0)
      close(options.hold_fd);
    run_init(options);
  }
  int status;
  while (waitpid(init, &status, 0) < 0) {
    if (errno != EINTR)
      die("cannot wait");
  }
  int code = status_code(status);
  if (options.status_fd >= 0) {
    dprintf(options.status_fd, "%d\n", code);
    close(options.status_fd);
  }
  if (options.hold_fd >= 0) {
    char byte;
    for (;;) {
      ssize_t got = read(options.hold_fd, &byte, 1);
      if (got == 0 || (got < 0 && errno != EINTR))
        break;
    }
  }
  return code;
}
