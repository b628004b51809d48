#include "webserver.h"

#include "atomic_file.h"
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

// The server's folder holds only the page and the chooser: busybox httpd lists no
// folders, and a path outside the folder is refused.
// The server and its chooser run as the first of these users that exists when the
// launcher runs as root.
const char *const SERVER_USERS[] = {"www-data", "nobody"};

constexpr int MAX_RESTARTS = 3;
constexpr double RESTART_WINDOW = 10;
constexpr size_t MAX_REQUEST_LINE = 64;

bool all_digits(const std::string &text, size_t min, size_t max) {
  if (text.size() < min || text.size() > max)
    return false;
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool read_whole(const std::string &path, std::string &content) {
  FILE *fp = fopen(path.c_str(), "rbe");
  if (fp == nullptr)
    return false;
  char buffer[4096];
  size_t n;
  content.clear();
  while ((n = fread(buffer, 1, sizeof buffer, fp)) > 0)
    content.append(buffer, n);
  bool ok = ferror(fp) == 0;
  fclose(fp);
  return ok;
}

// The first file `name` in a folder of PATH, as the launcher finds its other programs.
std::string find_on_path(const char *name) {
  const char *path = getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  size_t start = 0;
  for (;;) {
    size_t end = dirs.find(':', start);
    std::string dir = dirs.substr(start, end == std::string::npos ? end : end - start);
    std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (access(candidate.c_str(), R_OK) == 0)
      return candidate;
    if (end == std::string::npos)
      return "";
    start = end + 1;
  }
}

bool wait_for(pid_t pid) {
  int status;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR)
      return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The server's files are served and run from folders under the shared /tmp: they are
// used only when they are real folders (not links) of the launcher's user that nobody
// else may write into, so no one else can put a page or a script there.
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

bool copy_chooser(const WebServer &web) {
  std::string source = web.files.empty() ? find_on_path("choose.sh") : web.files + "/choose.sh";
  std::string script;
  return !source.empty() && read_whole(source, script) &&
         write_text_file(WEB_CHOOSER_PATH, script.data(), script.size(), 0755);
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
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return false;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address.c_str(), &to.sin_addr);
  bool ok = connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0;
  close(fd);
  return ok;
}

// Starts busybox httpd in the foreground, with a bare environment (its CGI scripts
// inherit it), and waits until it takes connections.
void launch_server(WebServer &web, const WebHost &host) {
  std::string where = web.address + ":" + std::to_string(web.port);
  std::vector<std::string> argv = {
      "env", "-i", "PATH=/usr/bin:/bin", "LANG=C.UTF-8", "busybox",      "httpd", "-f", "-v", "-p",
      where, "-h", WEB_ROOT_PATH,        "-c",           WEB_CONFIG_PATH};
  if (const passwd *user = server_user())
    argv.insert(argv.end(), {"-u", user->pw_name});
  int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  web.pid = host.spawn(argv, null, null);
  close(null);
  std::string address = web.address == "0.0.0.0" ? "127.0.0.1" : web.address;
  for (int i = 0; i < 300; ++i) {
    if (listening(address, web.port))
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
  mkdir(WEB_CGI_PATH, 0755);
  for (const char *dir : {WEB_ROOT_PATH, WEB_CGI_PATH}) {
    if (!own_folder(dir)) {
      host.message("%s is not a folder of the launcher's own that only it may change; the web "
                   "catalogue stays off",
                   dir);
      return;
    }
  }
  if (!write_page(host))
    host.message("could not write the catalogue page %s", WEB_PAGE_PATH);
  if (!copy_chooser(web))
    host.message("could not put choose.sh into %s", WEB_CGI_PATH);
  // UTF-8 titles: the page itself names no character set.
  const char config[] = "# The web catalogue's server, written by velm at every start.\n"
                        ".html:text/html; charset=utf-8\n";
  if (!write_text_file(WEB_CONFIG_PATH, config, sizeof config - 1, 0644))
    host.message("could not write %s: %s", WEB_CONFIG_PATH, strerror(errno));
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

void take_web_requests(WebServer &web, const WebHost &host) {
  char buffer[512];
  ssize_t n;
  while ((n = read(web.fifo, buffer, sizeof buffer)) > 0)
    web.pending.append(buffer, static_cast<size_t>(n));
  size_t end;
  while ((end = web.pending.find('\n')) != std::string::npos) {
    std::string line = web.pending.substr(0, end);
    web.pending.erase(0, end + 1);
    std::vector<std::string> numbers;
    if (!parse_request(line, numbers)) {
      host.message("the web catalogue sent a request that is not an address");
      continue;
    }
    host.message("the web catalogue chooses %s", line.c_str());
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    // Reaped with the other children; its end needs nothing.
    host.spawn({"playaddress.sh", numbers[0], numbers[1], numbers[2]}, -1, null);
    close(null);
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
  unlink(WEB_CHOOSER_PATH);
  unlink(WEB_PAGE_PATH);
  rmdir(WEB_CGI_PATH);
  rmdir(WEB_ROOT_PATH);
  unlink(WEB_CONFIG_PATH);
}
