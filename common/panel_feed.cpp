// The display feed's message: text lines "KEY VALUE" in a fixed order. The parser takes
// exactly what the formatter writes, so a message read and written again is the same
// bytes, and a reader can tell a message from anything else.

#include "panel_feed.h"

#include <climits>
#include <cstring>

namespace {

const char *const KEYS[] = {"row0", "row1",  "title", "status", "device",  "list", "song",
                            "time", "order", "mode",  "volume", "balance", "bass", "treble"};
constexpr int KEY_COUNT = sizeof KEYS / sizeof KEYS[0];

void append_value(std::string &out, const std::string &value) {
  for (char c : value)
    out += c == '\n' || c == '\0' ? '?' : c;
}

void append_line(std::string &out, const char *key, const std::string &value) {
  out += key;
  out += ' ';
  append_value(out, value);
  out += '\n';
}

std::string fitted_row(const std::string &row) {
  std::string fitted = row.substr(0, PANEL_FEED_COLUMNS);
  fitted.resize(PANEL_FEED_COLUMNS, ' ');
  return fitted;
}

// Decimal integers as the formatter writes them: no sign but a minus, no leading zeros,
// no "-0", within the int range.
bool parse_int(const std::string &text, int &value) {
  size_t digits = !text.empty() && text[0] == '-' ? 1 : 0;
  if (digits == text.size() || text.size() - digits > 10)
    return false;
  if (text[digits] == '0' && (text.size() > digits + 1 || digits == 1))
    return false;
  long long number = 0;
  for (size_t i = digits; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9')
      return false;
    number = number * 10 + (text[i] - '0');
  }
  if (digits == 1)
    number = -number;
  if (number < INT_MIN || number > INT_MAX)
    return false;
  value = static_cast<int>(number);
  return true;
}

} // namespace

bool operator==(const PanelFeed &a, const PanelFeed &b) {
  return a.rows[0] == b.rows[0] && a.rows[1] == b.rows[1] && a.title == b.title &&
         a.status == b.status && a.device == b.device && a.list == b.list && a.song == b.song &&
         a.time == b.time && a.order == b.order && a.mode == b.mode && a.volume == b.volume &&
         a.balance == b.balance && a.bass == b.bass && a.treble == b.treble;
}

std::string format_panel_feed(const PanelFeed &feed) {
  std::string out;
  out.reserve(PANEL_FEED_MAX);
  append_line(out, KEYS[0], fitted_row(feed.rows[0]));
  append_line(out, KEYS[1], fitted_row(feed.rows[1]));
  append_line(out, KEYS[2], feed.title);
  append_line(out, KEYS[3], feed.status);
  append_line(out, KEYS[4], std::to_string(feed.device));
  append_line(out, KEYS[5], std::to_string(feed.list));
  append_line(out, KEYS[6], std::to_string(feed.song));
  append_line(out, KEYS[7], feed.time);
  append_line(out, KEYS[8], feed.order);
  append_line(out, KEYS[9], std::to_string(feed.mode));
  append_line(out, KEYS[10], std::to_string(feed.volume));
  append_line(out, KEYS[11], std::to_string(feed.balance));
  append_line(out, KEYS[12], std::to_string(feed.bass));
  append_line(out, KEYS[13], std::to_string(feed.treble));
  return out;
}

bool parse_panel_feed(const char *data, size_t size, PanelFeed &feed) {
  if (size > PANEL_FEED_MAX || memchr(data, '\0', size) != nullptr)
    return false;
  std::string values[KEY_COUNT];
  size_t at = 0;
  for (int k = 0; k < KEY_COUNT; ++k) {
    size_t key_length = strlen(KEYS[k]);
    if (size - at < key_length + 1 || memcmp(data + at, KEYS[k], key_length) != 0 ||
        data[at + key_length] != ' ')
      return false;
    at += key_length + 1;
    const void *end = memchr(data + at, '\n', size - at);
    if (end == nullptr)
      return false;
    size_t length = static_cast<size_t>(static_cast<const char *>(end) - (data + at));
    values[k].assign(data + at, length);
    at += length + 1;
  }
  if (at != size)
    return false;
  for (int r = 0; r < 2; ++r) {
    if (values[r].size() != PANEL_FEED_COLUMNS)
      return false;
    feed.rows[r] = values[r];
  }
  feed.title = values[2];
  feed.status = values[3];
  feed.time = values[7];
  feed.order = values[8];
  return parse_int(values[4], feed.device) && parse_int(values[5], feed.list) &&
         parse_int(values[6], feed.song) && parse_int(values[9], feed.mode) &&
         parse_int(values[10], feed.volume) && parse_int(values[11], feed.balance) &&
         parse_int(values[12], feed.bass) && parse_int(values[13], feed.treble);
}
