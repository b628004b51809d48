#include "mounts.h"

#include "convert.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>

namespace {

// The fields of a line split at single blanks; an empty field (two blanks) makes the
// line bad.
bool split_fields(std::string_view line, std::vector<std::string_view> &fields) {
  fields.clear();
  size_t start = 0;
  for (;;) {
    size_t end = line.find(' ', start);
    std::string_view field = line.substr(start, end == std::string_view::npos ? end : end - start);
    if (field.empty())
      return false;
    fields.push_back(field);
    if (end == std::string_view::npos)
      return true;
    start = end + 1;
  }
}

bool is_octal(char c) {
  return c >= '0' && c <= '7';
}

bool unescape(std::string_view field, std::string &out) {
  out.clear();
  for (size_t i = 0; i < field.size(); ++i) {
    char c = field[i];
    if (c == '\0')
      return false; // the kernel writes none
    if (c != '\\') {
      out.push_back(c);
      continue;
    }
    if (i + 3 >= field.size() || !is_octal(field[i + 1]) || !is_octal(field[i + 2]) ||
        !is_octal(field[i + 3]))
      return false;
    int value = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
    if (value == 0 || value > 255)
      return false;
    out.push_back(static_cast<char>(value));
    i += 3;
  }
  return true;
}

bool parse_number(std::string_view text, long max, long &value) {
  if (text.empty() || text.size() > 10 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  std::string copy(text);
  return parse_long(copy.c_str(), 0, max, &value);
}

} // namespace

bool parse_mountinfo_line(std::string_view line, MountEntry &entry) {
  std::vector<std::string_view> fields;
  if (!split_fields(line, fields) || fields.size() < 10)
    return false;
  long id, parent, major, minor;
  size_t colon = fields[2].find(':');
  if (!parse_number(fields[0], 0x7fffffff, id) || !parse_number(fields[1], 0x7fffffff, parent) ||
      colon == std::string_view::npos ||
      // The kernel's device numbers: a major of 12 bits, a minor of 20 (limits that fit
      // a long of 32 bits as well).
      !parse_number(fields[2].substr(0, colon), 0xfff, major) ||
      !parse_number(fields[2].substr(colon + 1), 0xfffff, minor))
    return false;
  // Optional fields ("shared:1", "master:2", ...) up to the separator.
  size_t dash = 6;
  while (dash < fields.size() && fields[dash] != "-")
    ++dash;
  // Then exactly the type, the source and the super options.
  if (dash + 4 != fields.size())
    return false;
  MountEntry parsed;
  parsed.id = static_cast<int>(id);
  parsed.parent = static_cast<int>(parent);
  parsed.major = static_cast<unsigned>(major);
  parsed.minor = static_cast<unsigned>(minor);
  if (!unescape(fields[3], parsed.root) || !unescape(fields[4], parsed.mount_point) ||
      !unescape(fields[dash + 1], parsed.fs_type) || !unescape(fields[dash + 2], parsed.source))
    return false;
  if (parsed.mount_point.empty() || parsed.mount_point[0] != '/')
    return false;
  entry = std::move(parsed);
  return true;
}

std::vector<MountEntry> parse_mountinfo(std::string_view text) {
  std::vector<MountEntry> mounts;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    std::string_view line = text.substr(start, end == std::string_view::npos ? end : end - start);
    MountEntry entry;
    if (parse_mountinfo_line(line, entry))
      mounts.push_back(std::move(entry));
    if (end == std::string_view::npos)
      break;
    start = end + 1;
  }
  return mounts;
}

std::vector<MountEntry> mounts_below(const std::vector<MountEntry> &mounts,
                                     const std::string &folder) {
  std::string prefix = folder;
  while (prefix.size() > 1 && prefix.back() == '/')
    prefix.pop_back();
  if (prefix != "/")
    prefix += "/";
  // The table lists mounts in the order they were made: a later one on the same point
  // covers the earlier.
  std::map<std::string, MountEntry> seen;
  for (const MountEntry &entry : mounts) {
    if (entry.mount_point.size() > prefix.size() && entry.mount_point.starts_with(prefix))
      seen[entry.mount_point] = entry;
  }
  std::vector<MountEntry> below;
  below.reserve(seen.size());
  for (auto &[point, entry] : seen)
    below.push_back(std::move(entry));
  return below;
}

std::string clean_identity(std::string_view identity) {
  std::string clean(identity.substr(0, 200));
  for (char &c : clean) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
      c = '?';
  }
  return clean;
}

StickMap parse_stick_map(std::string_view text) {
  StickMap map;
  std::set<int> numbers;
  std::set<std::string> identities;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    std::string_view line = text.substr(start, end == std::string_view::npos ? end : end - start);
    start = end == std::string_view::npos ? text.size() : end + 1;
    size_t blank = line.find(' ');
    long number;
    if (blank == std::string_view::npos ||
        !parse_number(line.substr(0, blank), 0x7fffffff, number) || number < 1 ||
        number > STICK_NUMBER_MAX)
      continue;
    std::string identity(line.substr(blank + 1));
    if (identity.empty() || identity != clean_identity(identity) ||
        numbers.contains(static_cast<int>(number)) || identities.contains(identity))
      continue;
    numbers.insert(static_cast<int>(number));
    identities.insert(identity);
    map.push_back({static_cast<int>(number), std::move(identity)});
  }
  return map;
}

std::string format_stick_map(const StickMap &map) {
  std::string text;
  for (const StickNumber &entry : map)
    text += std::to_string(entry.number) + " " + entry.identity + "\n";
  return text;
}

std::vector<int> assign_stick_numbers(StickMap &map, const std::vector<std::string> &identities,
                                      int first) {
  // Entries of numbers the command line's folders now hold are given up.
  std::erase_if(map, [&](const StickNumber &entry) { return entry.number < first; });
  std::vector<int> numbers;
  std::set<std::string> present;
  for (const std::string &given : identities) {
    // Room is left for the count of a copy.
    std::string base = clean_identity(given).substr(0, 190);
    std::string identity = base;
    for (int copy = 2; present.contains(identity); ++copy)
      identity = base + " #" + std::to_string(copy);
    present.insert(identity);
    auto known = std::find_if(map.begin(), map.end(),
                              [&](const StickNumber &entry) { return entry.identity == identity; });
    if (known != map.end()) {
      numbers.push_back(known->number);
      continue;
    }
    int number = std::max(first, 1);
    while (number <= STICK_NUMBER_MAX &&
           std::any_of(map.begin(), map.end(),
                       [&](const StickNumber &entry) { return entry.number == number; }))
      ++number;
    if (number > STICK_NUMBER_MAX) {
      numbers.push_back(0);
      continue;
    }
    map.push_back({number, identity});
    numbers.push_back(number);
  }
  return numbers;
}
