#pragma once

// A plain reference of the title derivation on std::string, written straight from the
// rules step by step, for the fuzzers to compare titleform against. Texts hold no NUL.

#include <string>

struct ReferenceTitle {
  std::string path;  // the path as titleform leaves it
  std::string title; // the title
};

inline ReferenceTitle reference_title(std::string path) {
  // The ending, only from paths longer than five characters, in these capitals only.
  if (path.size() > 5) {
    std::string ending = path.substr(path.size() - 4);
    if (ending == ".mp3" || ending == ".Mp3" || ending == ".MP3")
      path.resize(path.size() - 4);
  }
  // One trailing slash.
  if (!path.empty() && path.back() == '/')
    path.pop_back();
  // The last component begins after the last slash; its underscores become blanks.
  size_t slash = path.rfind('/');
  size_t at = slash == std::string::npos ? 0 : slash + 1;
  for (size_t i = at; i < path.size(); ++i) {
    if (path[i] == '_')
      path[i] = ' ';
  }
  // The hidden mark.
  if (at < path.size() && path[at] == '~') {
    ++at;
    path += " (versteckt)";
  }
  // The prefix steps, each once and in order.
  auto step = [&](bool (*matches)(char)) {
    if (at < path.size() && matches(path[at]))
      ++at;
  };
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  step([](char c) { return c == '['; });
  step(digit);
  step(digit);
  step([](char c) { return c == ']'; });
  step([](char c) { return c == '.'; });
  step([](char c) { return c == ' '; });
  step([](char c) { return c == '-'; });
  step([](char c) { return c == ' '; });
  // The capital, in place.
  if (at < path.size() && path[at] >= 'a' && path[at] <= 'z')
    path[at] = static_cast<char>(path[at] - 'a' + 'A');
  return {path, path.substr(at)};
}
