#include "sandbox_run.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

const char *bin_dir() {
  return VELM_BIN_DIR;
}
const char *source_dir() {
  return VELM_SOURCE_DIR;
}

std::string shell_quote(const std::string &word) {
  std::string quoted = "'";
  for (char c : word) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  return quoted + "'";
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw std::runtime_error("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_file(const std::string &path, const std::string &content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out)
    throw std::runtime_error("cannot write " + path);
}

Sandbox::Sandbox() {
  fs::path root = fs::path(VELM_BUILD_DIR) / "test-scratch";
  fs::create_directories(root);
  std::string pattern = (root / "sandbox-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr)
    throw std::runtime_error("cannot make a scratch folder under " + root.string());
  scratch_ = pattern;
}

Sandbox::~Sandbox() {
  release();
  std::error_code ignored;
  fs::remove_all(scratch_, ignored);
}

void Sandbox::put(const std::string &inside, const std::string &content) {
  std::string staged = scratch_ + "/staged-" + std::to_string(staged_.size());
  write_file(staged, content);
  staged_.emplace_back(staged, inside);
}

void Sandbox::start(const std::string &script, const std::string &input) {
  release();
  std::string setup;
  for (const auto &[staged, inside] : staged_) {
    std::string dir = fs::path(inside).parent_path().string();
    setup += "mkdir -p " + shell_quote(dir) + " && cp " + shell_quote(staged) + " " +
             shell_quote(inside) + " || exit 125\n";
  }
  staged_.clear();
  write_file(scratch_ + "/stdin", input);
  std::string full = setup + script;

  int status_pipe[2], hold_pipe[2];
  if (pipe2(status_pipe, O_CLOEXEC) != 0 || pipe2(hold_pipe, O_CLOEXEC) != 0)
    throw std::runtime_error("cannot make pipes");
  pid_ = fork();
  if (pid_ < 0)
    throw std::runtime_error("cannot fork");
  if (pid_ == 0) {
    int in = open((scratch_ + "/stdin").c_str(), O_RDONLY);
    int out = open((scratch_ + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open((scratch_ + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0)
      _exit(125);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    dup2(status_pipe[1], 3);
    dup2(hold_pipe[0], 4);
    std::string path =
        std::string(VELM_BIN_DIR) + ":/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
    setenv("PATH", path.c_str(), 1);
    setenv("VELM_SCRATCH", scratch_.c_str(), 1);
    // The sanitizer runtime must not object to a preloaded stand-in library.
    setenv("ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=1", 0);
    signal(SIGPIPE, SIG_DFL);
    std::vector<std::string> args = {
        VELM_SANDBOX, "--keep", VELM_SOURCE_DIR, "--keep", VELM_BUILD_DIR, "--keep", scratch_,
        "--tmpfs",    "/mnt",   "--status-fd",   "3",      "--hold-fd",    "4"};
#ifdef VELM_EMULATOR
    // The programs of this build run under the emulator, as this test does.
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0)
      _exit(125);
    for (const char *arg :
         {"--emulator", VELM_EMULATOR, "--foreign", static_cast<const char *>(self)})
      args.emplace_back(arg);
#endif
    if (tmp_size_ > 0) {
      args.emplace_back("--tmp-size");
      args.push_back(std::to_string(tmp_size_));
    }
    if (!tmp_from_.empty()) {
      args.emplace_back("--tmp-from");
      args.push_back(tmp_from_);
    }
    for (const char *arg : {"--", "/bin/sh", "-c"})
      args.emplace_back(arg);
    args.push_back(full);
    std::vector<char *> argv;
    for (std::string &arg : args)
      argv.push_back(arg.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(125);
  }
  close(status_pipe[1]);
  close(hold_pipe[0]);
  status_fd_ = status_pipe[0];
  hold_fd_ = hold_pipe[1];
  // Wait until the private tree stands, so path() leads into it from now on.
  char ready = 0;
  struct pollfd pfd = {status_fd_, POLLIN, 0};
  if (poll(&pfd, 1, 30000) <= 0 || ::read(status_fd_, &ready, 1) != 1 || ready != '+') {
    kill(pid_, SIGKILL);
    release();
  }
}

RunResult Sandbox::wait(int timeout_ms) {
  RunResult result;
  if (pid_ < 0) {
    result.err = read_file(scratch_ + "/stderr"); // why the sandbox did not start
    return result;
  }
  struct pollfd pfd = {status_fd_, POLLIN, 0};
  int ready;
  do
    ready = poll(&pfd, 1, timeout_ms);
  while (ready < 0 && errno == EINTR);
  char text[32] = {};
  if (ready > 0 && ::read(status_fd_, text, sizeof text - 1) > 0) {
    result.status = atoi(text);
  } else {
    // Timed out, or the sandbox itself failed: end it and everything in it.
    kill(pid_, SIGKILL);
    release();
    result.status = -1;
  }
  result.out = read_file(scratch_ + "/stdout");
  result.err = read_file(scratch_ + "/stderr");
  return result;
}

RunResult Sandbox::run(const std::string &script, const std::string &input, int timeout_ms) {
  start(script, input);
  return wait(timeout_ms);
}

std::string Sandbox::path(const std::string &inside) const {
  return "/proc/" + std::to_string(pid_) + "/root" + inside;
}

std::string Sandbox::read(const std::string &inside) const {
  return read_file(path(inside));
}

bool Sandbox::exists(const std::string &inside) const {
  return access(path(inside).c_str(), F_OK) == 0;
}

void Sandbox::release() {
  if (status_fd_ >= 0)
    close(status_fd_);
  if (hold_fd_ >= 0)
    close(hold_fd_);
  status_fd_ = hold_fd_ = -1;
  if (pid_ > 0) {
    int status;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  pid_ = -1;
}
