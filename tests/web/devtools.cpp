#include "devtools.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point until) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

void append_utf8(std::string &out, unsigned code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xc0 | code >> 6);
    out += static_cast<char>(0x80 | (code & 0x3f));
  } else {
    out += static_cast<char>(0xe0 | code >> 12);
    out += static_cast<char>(0x80 | (code >> 6 & 0x3f));
    out += static_cast<char>(0x80 | (code & 0x3f));
  }
}

} // namespace

std::string json_quote(const std::string &text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escape[8];
      snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string json_string(const std::string &json, const std::string &key) {
  std::string opening = "\"" + key + "\":\"";
  size_t at = json.find(opening);
  if (at == std::string::npos)
    return "";
  std::string value;
  for (size_t i = at + opening.size(); i < json.size() && json[i] != '"'; ++i) {
    if (json[i] != '\\' || i + 1 >= json.size()) {
      value += json[i];
      continue;
    }
    char escaped = json[++i];
    switch (escaped) {
    case 'n':
      value += '\n';
      break;
    case 't':
      value += '\t';
      break;
    case 'r':
      value += '\r';
      break;
    case 'u':
      if (i + 4 < json.size()) {
        append_utf8(value,
                    static_cast<unsigned>(strtoul(json.substr(i + 1, 4).c_str(), nullptr, 16)));
        i += 4;
      }
      break;
    default: // " \ /
      value += escaped;
      break;
    }
  }
  return value;
}

DevTools::~DevTools() {
  if (in_ >= 0)
    close(in_);
  if (out_ >= 0)
    close(out_);
}

void DevTools::make_pipes(const std::string &dir) {
  for (const char *name : {"/cdp.in", "/cdp.out"}) {
    std::string path = dir + name;
    unlink(path.c_str());
    mkfifo(path.c_str(), 0600);
  }
}

bool DevTools::connect(const std::string &dir, int timeout_ms) {
  auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
  // A reader end of our own first, so the browser's shell finds its writing end open.
  out_ = open((dir + "/cdp.out").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (out_ < 0) {
    error_ = "cannot open cdp.out";
    return false;
  }
  while ((in_ = open((dir + "/cdp.in").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0) {
    if (errno != ENXIO || remaining_ms(until) == 0) {
      error_ = "no browser read cdp.in";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  fcntl(in_, F_SETFL, fcntl(in_, F_GETFL) & ~O_NONBLOCK);
  // The browser answers once it is up.
  std::string answer = call("Browser.getVersion", "{}", false);
  if (answer.empty()) {
    error_ = "the browser did not answer";
    return false;
  }
  return true;
}

bool DevTools::read_message(std::string &message, int timeout_ms) {
  auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    size_t end = pending_.find('\0');
    if (end != std::string::npos) {
      message = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      return true;
    }
    int left = remaining_ms(until);
    if (left == 0)
      return false;
    pollfd fd = {out_, POLLIN, 0};
    if (poll(&fd, 1, std::min(left, 100)) < 0 && errno != EINTR)
      return false;
    char buffer[65536];
    ssize_t n = read(out_, buffer, sizeof buffer);
    if (n > 0)
      pending_.append(buffer, static_cast<size_t>(n));
    else if (n == 0 || errno == EAGAIN)
      // No writer yet, or nothing new: wait a little.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::string DevTools::call(const std::string &method, const std::string &params, bool in_tab) {
  int id = next_id_++;
  std::string command = "{\"id\":" + std::to_string(id) + ",\"method\":" + json_quote(method) +
                        ",\"params\":" + params;
  if (in_tab && !session_.empty())
    command += ",\"sessionId\":" + json_quote(session_);
  command += "}";
  command += '\0';
  if (write(in_, command.data(), command.size()) != static_cast<ssize_t>(command.size()))
    return "";
  const std::string tag = "{\"id\":" + std::to_string(id) + ",";
  auto until = Clock::now() + std::chrono::seconds(30);
  std::string message;
  while (read_message(message, remaining_ms(until))) {
    // Events and other answers are not wanted here.
    if (message.rfind(tag, 0) == 0)
      return message;
  }
  return "";
}

bool DevTools::open_tab(const std::string &url) {
  std::string target = json_string(
      call("Target.createTarget", "{\"url\":" + json_quote(url) + "}", false), "targetId");
  if (target.empty()) {
    error_ = "no tab was made";
    return false;
  }
  session_ = json_string(call("Target.attachToTarget",
                              "{\"targetId\":" + json_quote(target) + ",\"flatten\":true}", false),
                         "sessionId");
  if (session_.empty()) {
    error_ = "could not attach to the tab";
    return false;
  }
  return true;
}

std::string DevTools::evaluate(const std::string &expression) {
  std::string answer =
      call("Runtime.evaluate", "{\"expression\":" + json_quote("String(" + expression + ")") +
                                   ",\"returnByValue\":true}");
  if (answer.find("\"exceptionDetails\"") != std::string::npos)
    return "!exception: " + json_string(answer, "description");
  return json_string(answer, "value");
}

std::string DevTools::await_value(const std::string &expression, const std::string &want,
                                  int timeout_ms) {
  auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
  std::string value;
  while ((value = evaluate(expression)) != want && remaining_ms(until) > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return value;
}

bool DevTools::point_of(const std::string &selector, double fx, double fy, int &x, int &y) {
  // The point in the window, or why there is none.
  std::string where = evaluate("(() => { const e = document.querySelector(" + json_quote(selector) +
                               "); if (!e) return 'missing'; const r = e.getBoundingClientRect();"
                               " if (r.bottom <= 0 || r.top >= innerHeight || r.width == 0)"
                               " return 'out of view at ' + r.top;"
                               " return Math.round(r.left + r.width * " +
                               std::to_string(fx) + ") + ' ' + Math.round(r.top + r.height * " +
                               std::to_string(fy) + "); })()");
  if (sscanf(where.c_str(), "%d %d", &x, &y) != 2) {
    error_ = selector + ": " + where;
    return false;
  }
  return true;
}

bool DevTools::click(const std::string &selector) {
  return click_in(selector, 0.5, 0.5);
}

bool DevTools::click_in(const std::string &selector, double fx, double fy) {
  int x, y;
  if (!point_of(selector, fx, fy, x, y))
    return false;
  for (const char *type : {"mousePressed", "mouseReleased"}) {
    std::string answer =
        call("Input.dispatchMouseEvent",
             std::string("{\"type\":\"") + type + "\",\"x\":" + std::to_string(x) +
                 ",\"y\":" + std::to_string(y) + ",\"button\":\"left\",\"clickCount\":1}");
    if (answer.empty() || answer.find("\"error\"") != std::string::npos) {
      error_ = selector + ": the click was not taken: " + answer;
      return false;
    }
  }
  return true;
}

bool DevTools::tap_in(const std::string &selector, double fx, double fy) {
  int x, y;
  if (!point_of(selector, fx, fy, x, y))
    return false;
  const std::string point = "[{\"x\":" + std::to_string(x) + ",\"y\":" + std::to_string(y) + "}]";
  for (const char *type : {"touchStart", "touchEnd"}) {
    std::string answer = call("Input.dispatchTouchEvent",
                              std::string("{\"type\":\"") + type + "\",\"touchPoints\":" +
                                  (type[5] == 'S' ? point : std::string("[]")) + "}");
    if (answer.empty() || answer.find("\"error\"") != std::string::npos) {
      error_ = selector + ": the touch was not taken: " + answer;
      return false;
    }
  }
  return true;
}

namespace {

std::string base64_decode(const std::string &text) {
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (char c : text) {
    int v;
    if (c >= 'A' && c <= 'Z')
      v = c - 'A';
    else if (c >= 'a' && c <= 'z')
      v = c - 'a' + 26;
    else if (c >= '0' && c <= '9')
      v = c - '0' + 52;
    else if (c == '+')
      v = 62;
    else if (c == '/')
      v = 63;
    else
      continue;
    bits = bits << 6 | static_cast<unsigned>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>(bits >> count & 0xff);
    }
  }
  return out;
}

} // namespace

std::string DevTools::screenshot() {
  return base64_decode(json_string(call("Page.captureScreenshot", "{\"format\":\"png\"}"), "data"));
}

void DevTools::close_browser() {
  if (in_ >= 0)
    call("Browser.close", "{}", false);
}
