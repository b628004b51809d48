#include "keymap.h"

#include "commands.h"
#include "keynames.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/input-event-codes.h>

namespace {

// A word as it may be shown in a message: bytes that are not printable become "?", and a
// long word is cut.
std::string shown(const std::string &word) {
  std::string text;
  for (char c : word.substr(0, 40))
    text += c >= ' ' && c <= '~' ? c : '?';
  if (word.size() > 40)
    text += "...";
  return text;
}

// The words of a line, up to a word that begins with "#".
std::vector<std::string> words_of(const std::string &line) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
      ++i;
    if (i == line.size() || line[i] == '#')
      break;
    size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r')
      ++i;
    words.push_back(line.substr(start, i - start));
  }
  return words;
}

// A decimal number of at most 9 digits between min and max.
bool number_in(const std::string &word, int min, int max, int *value) {
  if (word.empty() || word.size() > 9 || word.find_first_not_of("0123456789") != std::string::npos)
    return false;
  *value = std::stoi(word);
  return *value >= min && *value <= max;
}

// What one line of the map is about: a key (its code among keys) or an axis.
struct Target {
  CodeKind kind = CodeKind::key;
  int code = 0;
};

struct Parser {
  const char *file;
  int line_number = 0;
  Keymap *map;
  std::string *error;

  bool fail(const std::string &what) const {
    *error = std::string(file) + ":" + std::to_string(line_number) + ": " + what;
    return false;
  }

  bool target(const std::string &word, Target *t) const {
    if (word.rfind("lirc:", 0) == 0) {
      std::string name = word.substr(5);
      if (name.empty())
        return fail("a lircd button name is missing after lirc:");
      t->kind = CodeKind::key;
      std::vector<std::string> &names = map->lirc_names;
      size_t i = 0;
      while (i < names.size() && names[i] != name)
        ++i;
      if (i == names.size())
        names.push_back(name);
      t->code = LIRC_CODE_BASE + static_cast<int>(i);
      return true;
    }
    if (!word.empty() && word[0] >= '0' && word[0] <= '9') {
      if (!number_in(word, 1, KEY_MAX, &t->code))
        return fail("key code " + shown(word) + " is not a number from 1 to " +
                    std::to_string(KEY_MAX));
      t->kind = CodeKind::key;
      return true;
    }
    if (!find_key_name(word.c_str(), &t->kind, &t->code))
      return fail("unknown key name " + shown(word));
    return true;
  }

  bool action(const std::vector<std::string> &words, Action *a) const {
    if (words.size() < 3)
      return fail("what " + shown(words[0]) + " sends is missing");
    const std::string &first = words[2];
    if (first == "digit") {
      if (words.size() != 4 || words[3].size() != 1 || words[3][0] < '0' || words[3][0] > '9')
        return fail("digit takes one digit, 0 to 9");
      a->act = Act::digit;
      a->digit = words[3][0] - '0';
      return true;
    }
    static const struct {
      const char *word;
      Act act;
    } words_alone[] = {{"enter", Act::enter}, {"enter-list", Act::enter_list}, {"mode", Act::mode}};
    for (const auto &w : words_alone) {
      if (first == w.word) {
        if (words.size() != 3)
          return fail(std::string(w.word) + " takes nothing after it");
        a->act = w.act;
        return true;
      }
    }
    std::string line = first;
    for (size_t i = 3; i < words.size(); ++i)
      line += " " + words[i];
    if (!is_control_line(line.c_str()) && !is_display_mode_line(line.c_str()))
      return fail("not a command line of the jukebox: " + shown(line));
    a->act = Act::line;
    a->line = line;
    return true;
  }

  bool rule(const std::vector<std::string> &words) const {
    Target t;
    if (!target(words[0], &t))
      return false;
    if (words.size() < 2)
      return fail("press, hold or repeat is missing after " + shown(words[0]));
    const std::string &when = words[1];
    Action *slot = nullptr;
    if (t.kind == CodeKind::key) {
      KeyRules &rules = map->keys[t.code];
      if (when == "press")
        slot = &rules.press;
      else if (when == "hold")
        slot = &rules.hold;
      else if (when == "repeat")
        slot = &rules.repeat;
      else
        return fail(shown(words[0]) + " is a key: press, hold or repeat, not " + shown(when));
    } else {
      AxisRules &rules = map->axes[t.code];
      if (when == "up")
        slot = &rules.up;
      else if (when == "down")
        slot = &rules.down;
      else
        return fail(shown(words[0]) + " is an axis: up or down, not " + shown(when));
    }
    if (slot->act != Act::none)
      return fail(shown(words[0]) + " " + when + " is given twice");
    return action(words, slot);
  }

  bool axis(const std::string &word, AxisRules **rules) const {
    Target t;
    if (!target(word, &t))
      return false;
    if (t.kind != CodeKind::axis)
      return fail(shown(word) + " is not an axis (REL_...)");
    *rules = &map->axes[t.code];
    return true;
  }

  bool setting(const std::vector<std::string> &words) const {
    if (words.size() < 2)
      return fail("set: the name of a setting is missing");
    const std::string &name = words[1];
    static const struct {
      const char *name;
      int min, max;
      int Keymap::*value;
    } times[] = {
        {"debounce", 0, 1000, &Keymap::debounce_ms},
        {"hold", 50, 60000, &Keymap::hold_ms},
        {"entry", 500, 60000, &Keymap::entry_ms},
    };
    for (const auto &s : times) {
      if (name == s.name) {
        int value;
        if (words.size() != 3 || !number_in(words[2], s.min, s.max, &value))
          return fail("set " + name + " takes milliseconds from " + std::to_string(s.min) + " to " +
                      std::to_string(s.max));
        map->*s.value = value;
        return true;
      }
    }
    AxisRules *rules = nullptr;
    if (name == "steps") {
      if (words.size() < 3)
        return fail("set steps: the axis is missing");
      if (!axis(words[2], &rules))
        return false;
      int steps = 0;
      if (words.size() != 4 || !number_in(words[3], 1, 4, &steps) || steps == 3)
        return fail("set steps takes an axis and 1, 2 or 4 steps per detent");
      rules->steps = steps;
      return true;
    }
    if (name == "reverse") {
      if (words.size() != 3)
        return fail("set reverse takes one axis");
      if (!axis(words[2], &rules))
        return false;
      rules->reverse = true;
      return true;
    }
    return fail("unknown setting " + shown(name) + " (debounce, hold, entry, steps, reverse)");
  }
};

} // namespace

bool parse_keymap(const std::string &text, const char *file, Keymap *map, std::string *error) {
  *map = Keymap();
  Parser parser{file, 0, map, error};
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos)
      end = text.size();
    ++parser.line_number;
    std::vector<std::string> words = words_of(text.substr(start, end - start));
    start = end + 1;
    if (words.empty())
      continue;
    if (!(words[0] == "set" ? parser.setting(words) : parser.rule(words)))
      return false;
  }
  // A key or axis named only by its settings has no rules; it stays in the map, harmless.
  return true;
}

bool load_keymap(const char *path, Keymap *map, std::string *error) {
  if (path == nullptr)
    return parse_keymap(DEFAULT_KEYMAP, "(built-in)", map, error);
  FILE *in = fopen(path, "re");
  if (in == nullptr) {
    *error = std::string(path) + ": " + strerror(errno);
    return false;
  }
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, in)) > 0 && text.size() < (1U << 20))
    text.append(buffer, n);
  bool failed = ferror(in) != 0;
  int saved = errno;
  fclose(in);
  if (failed) {
    *error = std::string(path) + ": " + strerror(saved);
    return false;
  }
  if (text.size() >= (1U << 20)) {
    *error = std::string(path) + ": larger than a key map can be (1 MiB)";
    return false;
  }
  return parse_keymap(text, path, map, error);
}

int lirc_button_code(const Keymap &map, const char *button) {
  CodeKind kind;
  int code;
  if (find_key_name(button, &kind, &code) && kind == CodeKind::key && map.keys.contains(code))
    return code;
  for (size_t i = 0; i < map.lirc_names.size(); ++i) {
    if (map.lirc_names[i] == button)
      return LIRC_CODE_BASE + static_cast<int>(i);
  }
  return -1;
}
