#pragma once

#include <string>
#include <sys/types.h>
#include <unistd.h>
#include <utility>
#include <vector>

// A private machine for one test: shell scripts run inside it with the jukebox's
// programs on PATH, a fresh /tmp, /mnt (where music devices go) and /dev, and their own
// process table, so the programs work at their real fixed paths and tests may run side
// by side. Everything else of the host's file tree is shared: scripts write only under
// /tmp, /mnt, /dev and scratch().

struct RunResult {
  int status = -1; // exit status of the script; 128 + signal when it was killed
  std::string out; // its standard output
  std::string err; // its standard error
};

class Sandbox {
public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox &) = delete;
  Sandbox &operator=(const Sandbox &) = delete;

  // Puts a file into the sandbox at `inside` (e.g. "/tmp/MPL") before the next start;
  // its folders are made as needed.
  void put(const std::string &inside, const std::string &content);

  // Runs `script` with /bin/sh in a fresh sandbox and waits for it to end (at most
  // `timeout_ms`; then everything in it is killed and the status is -1). The sandbox's
  // files stay readable through path() until the next start or the end of this object.
  RunResult run(const std::string &script, const std::string &input = "", int timeout_ms = 120000);

  // The two halves of run(), for tests that talk to programs while they run. start()
  // returns once the sandbox's private /tmp, /mnt and /dev are in place.
  void start(const std::string &script, const std::string &input = "");
  RunResult wait(int timeout_ms = 120000);

  // Host path through which a path inside the running or finished sandbox is reached.
  std::string path(const std::string &inside) const;
  std::string read(const std::string &inside) const;
  bool exists(const std::string &inside) const;

  // Makes the next starts' /tmp a tmpfs of `bytes` (0: the default size, half the memory),
  // for tests of a full /tmp. Kept folders under /tmp come back as usual.
  void limit_tmp(unsigned long bytes) { tmp_size_ = bytes; }

  // Makes the next starts' /tmp the host folder `dir` (bound there, as a service's state
  // folder is) instead of a fresh tmpfs; empty: a tmpfs again.
  void tmp_from(const std::string &dir) { tmp_from_ = dir; }

  // A host folder of this sandbox's own, seen at the same path inside it.
  const std::string &scratch() const { return scratch_; }

private:
  void release();

  std::string scratch_;
  std::vector<std::pair<std::string, std::string>> staged_; // host file, path inside
  unsigned long tmp_size_ = 0;
  std::string tmp_from_;
  pid_t pid_ = -1;
  int status_fd_ = -1;
  int hold_fd_ = -1;
};

// Run by another user, the sandbox is a user namespace in which only that user exists (as
// root): a test that needs another user or a real device starts with this. So is the
// sandbox of a build whose programs run under an emulator (VELM_EMULATOR), even for root.
#ifdef VELM_EMULATOR
#define SKIP_WITHOUT_ROOT(why)                                                                     \
  GTEST_SKIP() << "needs root: " << (why) << " (the programs of this build run under "             \
               << VELM_EMULATOR << ", in a user namespace)"
#else
#define SKIP_WITHOUT_ROOT(why)                                                                     \
  if (geteuid() != 0)                                                                              \
  GTEST_SKIP() << "needs root: " << (why)
#endif

// Quotes a word for the shell.
std::string shell_quote(const std::string &word);

// Whole-file helpers on host paths.
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);

// Where the programs under test were built, and the sources (for fixtures).
const char *bin_dir();
const char *source_dir();
