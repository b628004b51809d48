#pragma once

// A headless chromium driven through its DevTools protocol over the two pipes of
// --remote-debugging-pipe (commands in on its descriptor 3, answers out on 4, each
// message JSON ended by a NUL byte). Here the pipes are two FIFOs in a folder, so the
// browser can run inside a sandbox while the test drives it from outside.

#include <string>

class DevTools {
public:
  DevTools() = default;
  ~DevTools();
  DevTools(const DevTools &) = delete;
  DevTools &operator=(const DevTools &) = delete;

  // Makes `dir`/cdp.in and `dir`/cdp.out; the browser is started with
  // 3<"$dir/cdp.in" 4>"$dir/cdp.out".
  static void make_pipes(const std::string &dir);
  // Connects to a browser started so; false when none came within `timeout_ms`.
  bool connect(const std::string &dir, int timeout_ms);

  // Opens a tab on `url` and attaches to it; false on failure (see error()).
  bool open_tab(const std::string &url);
  // The value of a JavaScript expression in the tab, as a string (String(value)); the
  // text "!exception: ..." when it threw.
  std::string evaluate(const std::string &expression);
  // Evaluates `expression` until it gives `want`, at most `timeout_ms`; its last value.
  std::string await_value(const std::string &expression, const std::string &want, int timeout_ms);
  // A left mouse click on the middle of the first element matching `selector`, which
  // must lie in the visible part of the page; false (see error()) when it does not.
  bool click(const std::string &selector);
  // A touch on the middle of the first element matching `selector` (touch start and end
  // at one point, which the page takes as a tap); false (see error()) as click().
  bool tap(const std::string &selector) { return tap_in(selector, 0.5, 0.5); }
  // A touch at the point `fx`, `fy` (0 to 1) of the element's box.
  bool tap_in(const std::string &selector, double fx, double fy);
  // A left mouse click at the point `fx`, `fy` (0 to 1) of the element's box.
  bool click_in(const std::string &selector, double fx, double fy);
  // Any command of the protocol in the tab; its whole answer, "" on failure.
  std::string command(const std::string &method, const std::string &params) {
    return call(method, params);
  }
  // The tab's visible part as PNG bytes; "" on failure.
  std::string screenshot();
  // Asks the browser to close.
  void close_browser();

  const std::string &error() const { return error_; }

private:
  // "x y" of a point of the element in the window, or false (see error()).
  bool point_of(const std::string &selector, double fx, double fy, int &x, int &y);
  // Sends a command and returns its whole answer ("" on timeout or a closed pipe).
  std::string call(const std::string &method, const std::string &params, bool in_tab = true);
  bool read_message(std::string &message, int timeout_ms);

  int in_ = -1;
  int out_ = -1;
  int next_id_ = 1;
  std::string session_;
  std::string pending_;
  std::string error_;
};

// A JSON string literal of `text`.
std::string json_quote(const std::string &text);
// The string value of the first `"key":"..."` in a JSON text, decoded; "" when missing.
std::string json_string(const std::string &json, const std::string &key);
