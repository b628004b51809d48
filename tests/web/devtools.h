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
  // Asks the browser to close.
  void close_browser();

  const std::string &error() const { return error_; }

private:
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
