#include "webserver.h"

#include "atomic_file.h"
#include "commands.h"
#include "convert.h"
#include "paths.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// velm_web, started as root, goes on as the first of these users that exists once it has
// bound its socket; the request FIFO is writable by that user's group.
const char *const SERVER_USERS[] = {"www-data", "nobody"};

constexpr int MAX_RESTARTS = 3;
constexpr double RESTART_WINDOW = 10;
constexpr size_t MAX_REQUEST_LINE = 256;

bool all_digits(const std::string &text, size_t min, size_t max) {
  if (text.size() < min || text.size() > max)
    return false;
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool wait_for(pid_t pid) {
  int status;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR)
      return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The catalogue page is served from a folder under the shared /tmp: it is used only when
// it is a real folder (not a link) of the launcher's user that nobody else may write
// into, so no one else can put a page there.
bool own_folder(const char *path) {
  struct stat st;
  return lstat(path, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
         (st.st_mode & 022) == 0;
}

// The catalogue page of the master list, replaced whole. A page that htmlcatalog could
// not finish (a full disk) is dropped: the page served before stays.
bool write_page(const WebHost &host) {
  const char *name;
  int dir = open_folder_of(WEB_PAGE_PATH, &name);
  Replacement page;
  bool ok = dir >= 0 && replace_begin(page, dir, name, 0644);
  if (ok) {
    ok = wait_for(host.spawn({"htmlcatalog"}, -1, page.fd));
    if (ok)
      ok = replace_commit(page);
    else
      replace_abandon(page);
  }
  if (dir >= 0)
    close(dir);
  return ok;
}

// The user the server runs as; none (the launcher's own) when the launcher is not root.
const passwd *server_user() {
  if (geteuid() != 0)
    return nullptr;
  for (const char *name : SERVER_USERS) {
    if (const passwd *user = getpwnam(name))
      return user;
  }
  return nullptr;
}

// The request FIFO, writable by the server's group only; the launcher holds both ends, so
// the chooser's writes never wait and the reader never sees its end.
int make_request_fifo(const WebHost &host) {
  unlink(FIFO_WEB_PATH);
  if (mkfifo(FIFO_WEB_PATH, 0600) != 0)
    return -1;
  if (const passwd *user = server_user()) {
    if (chown(FIFO_WEB_PATH, 0, user->pw_gid) != 0 || chmod(FIFO_WEB_PATH, 0620) != 0)
      host.message("%s: %s", FIFO_WEB_PATH, strerror(errno));
  }
  return open(FIFO_WEB_PATH, O_RDWR | O_NONBLOCK | O_CLOEXEC);
}

bool listening(const std::string &address, int port) {
  sockaddr_storage to{};
  socklen_t size;
  if (address.find(':') != std::string::npos) {
    auto *a = reinterpret_cast<sockaddr_in6 *>(&to);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET6, address == "::" ? "::1" : address.c_str(), &a->sin6_addr);
    size = sizeof *a;
  } else {
    auto *a = reinterpret_cast<sockaddr_in *>(&to);
    a->sin_family = AF_INET;
    a->sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address == "0.0.0.0" ? "127.0.0.1" : address.c_str(), &a->sin_addr);
    size = sizeof *a;
  }
  int fd = socket(to.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return false;
  bool ok = connect(fd, reinterpret_cast<sockaddr *>(&to), size) == 0;
  close(fd);
  return ok;
}

// Starts velm_web and waits until it takes connections. Started as root, it lets go of
// root itself once its socket is bound (so a port below 1024 serves as well).
void launch_server(WebServer &web, const WebHost &host) {
  bool v6 = web.address.find(':') != std::string::npos;
  std::string where = (v6 ? "[" + web.address + "]" : web.address) + ":" + std::to_string(web.port);
  int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  web.pid = host.spawn({"velm_web", "-w", where}, null, null);
  close(null);
  for (int i = 0; i < 300; ++i) {
    if (listening(web.address, web.port))
      return;
    if (waitpid(web.pid, nullptr, WNOHANG) == web.pid) {
      web.pid = -1;
      host.message("the web server could not serve on %s", where.c_str());
      return;
    }
    usleep(10000);
  }
  host.message("the web server does not answer on %s", where.c_str());
}

// "device list song": three numbers of at most nine digits, one blank between them.
bool parse_request(const std::string &line, std::vector<std::string> &numbers) {
  numbers.clear();
  size_t start = 0;
  for (int i = 0; i < 3; ++i) {
    size_t end = line.find(' ', start);
    if ((i < 2) != (end != std::string::npos))
      return false;
    numbers.push_back(line.substr(start, end == std::string::npos ? end : end - start));
    if (!all_digits(numbers.back(), 1, 9))
      return false;
    start = end + 1;
  }
  return true;
}

// A checked command line into a daemon's FIFO, in one write, as the launcher sends its own.
void forward(int fifo, const std::string &line, const WebHost &host) {
  std::string text = line + "\n";
  if (fifo < 0 || write(fifo, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
    host.message("could not pass on the web remote's %s", line.c_str());
}

} // namespace

bool parse_web_address(const std::string &text, std::string &address, int &port) {
  size_t colon = text.rfind(':');
  std::string host = colon == std::string::npos ? "127.0.0.1" : text.substr(0, colon);
  std::string number = colon == std::string::npos ? text : text.substr(colon + 1);
  bool ok;
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
    in6_addr parsed6;
    ok = inet_pton(AF_INET6, host.c_str(), &parsed6) == 1;
  } else {
    in_addr parsed;
    ok = inet_pton(AF_INET, host.c_str(), &parsed) == 1;
  }
  long value;
  if (!ok || !all_digits(number, 1, 5) || !parse_long(number.c_str(), 1, 65535, &value))
    return false;
  address = host;
  port = static_cast<int>(value);
  return true;
}

void start_web(WebServer &web, const WebHost &host) {
  if (web.port == 0)
    return;
  mkdir(WEB_ROOT_PATH, 0755);
  if (!own_folder(WEB_ROOT_PATH)) {
    host.message("%s is not a folder of the launcher's own that only it may change; the web "
                 "remote stays off",
                 WEB_ROOT_PATH);
    return;
  }
  if (!write_page(host))
    host.message("could not write the catalogue page %s", WEB_PAGE_PATH);
  web.fifo = make_request_fifo(host);
  if (web.fifo < 0)
    host.message("%s: %s", FIFO_WEB_PATH, strerror(errno));
  launch_server(web, host);
}

void refresh_web(const WebServer &web, const WebHost &host) {
  if (web.port == 0 || !own_folder(WEB_ROOT_PATH))
    return;
  if (!write_page(host))
    host.message("could not write the catalogue page %s", WEB_PAGE_PATH);
}

void restart_web(WebServer &web, const WebHost &host) {
  if (!restart_allowed(web.restarts, host.now(), MAX_RESTARTS, RESTART_WINDOW)) {
    // The jukebox plays on without its web catalogue.
    host.message("the web server keeps ending; giving it up");
    return;
  }
  host.message("the web server ended; starting it again");
  launch_server(web, host);
}

void take_web_requests(WebServer &web, const WebHost &host, const WebTargets &targets) {
  char buffer[512];
  ssize_t n;
  while ((n = read(web.fifo, buffer, sizeof buffer)) > 0)
    web.pending.append(buffer, static_cast<size_t>(n));
  size_t end;
  while ((end = web.pending.find('\n')) != std::string::npos) {
    std::string line = web.pending.substr(0, end);
    web.pending.erase(0, end + 1);
    std::vector<std::string> numbers;
    if (parse_request(line, numbers)) {
      host.message("the web catalogue chooses %s", line.c_str());
      int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
      // Reaped with the other children; its end needs nothing.
      host.spawn({"playaddress.sh", numbers[0], numbers[1], numbers[2]}, -1, null);
      close(null);
    } else if (is_control_line(line.c_str())) {
      forward(targets.control, line, host);
    } else if (is_display_mode_line(line.c_str())) {
      forward(targets.display, line, host);
    } else {
      host.message("the web catalogue sent a request that is neither an address nor a command");
    }
  }
  if (web.pending.size() > MAX_REQUEST_LINE) {
    host.message("the web catalogue sent an overlong request");
    web.pending.clear();
  }
}

void stop_web(WebServer &web) {
  if (web.pid > 0) {
    kill(web.pid, SIGTERM);
    waitpid(web.pid, nullptr, 0);
    web.pid = -1;
  }
  if (web.fifo >= 0) {
    close(web.fifo);
    web.fifo = -1;
    unlink(FIFO_WEB_PATH);
  }
  if (web.port == 0)
    return;
  unlink(WEB_PAGE_PATH);
  rmdir(WEB_ROOT_PATH);
}
