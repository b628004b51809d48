// Fuzzer of the display feed's message. Any bytes: the parser never fails hard, and a
// message it takes is written back by the formatter as the very same bytes. A feed made
// of the bytes' pieces: formatted and read back it is the same feed, its rows fitted to
// 24 bytes and its line ends and NULs as "?", unless the message is longer than allowed,
// which the parser then refuses.

#include "panel_feed.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Takes the next piece of the input: a length byte, then that many bytes (fewer at the
// end).
std::string take_text(const uint8_t *&data, size_t &size) {
  if (size == 0)
    return "";
  size_t length = data[0];
  ++data;
  --size;
  if (length > size)
    length = size;
  std::string text(reinterpret_cast<const char *>(data), length);
  data += length;
  size -= length;
  return text;
}

int take_int(const uint8_t *&data, size_t &size) {
  uint32_t value = 0;
  size_t n = size < 4 ? size : 4;
  memcpy(&value, data, n);
  data += n;
  size -= n;
  int number;
  memcpy(&number, &value, sizeof number);
  return number;
}

std::string sent(const std::string &text) {
  std::string out = text;
  for (char &c : out) {
    if (c == '\n' || c == '\0')
      c = '?';
  }
  return out;
}

std::string sent_row(const std::string &row) {
  std::string out = sent(row.substr(0, PANEL_FEED_COLUMNS));
  out.resize(PANEL_FEED_COLUMNS, ' ');
  return out;
}

void check_parse(const uint8_t *data, size_t size) {
  PanelFeed feed;
  if (!parse_panel_feed(reinterpret_cast<const char *>(data), size, feed))
    return;
  std::string again = format_panel_feed(feed);
  if (again.size() != size || memcmp(again.data(), data, size) != 0)
    abort();
}

void check_round_trip(const uint8_t *data, size_t size) {
  PanelFeed feed;
  feed.rows[0] = take_text(data, size);
  feed.rows[1] = take_text(data, size);
  feed.title = take_text(data, size);
  feed.status = take_text(data, size);
  feed.time = take_text(data, size);
  feed.order = take_text(data, size);
  for (int *number : {&feed.device, &feed.list, &feed.song, &feed.mode, &feed.volume, &feed.balance,
                      &feed.bass, &feed.treble})
    *number = take_int(data, size);

  std::string message = format_panel_feed(feed);
  PanelFeed back;
  bool parsed = parse_panel_feed(message.data(), message.size(), back);
  if (message.size() > PANEL_FEED_MAX) {
    if (parsed)
      abort();
    return;
  }
  PanelFeed expected = feed;
  expected.rows[0] = sent_row(feed.rows[0]);
  expected.rows[1] = sent_row(feed.rows[1]);
  expected.title = sent(feed.title);
  expected.status = sent(feed.status);
  expected.time = sent(feed.time);
  expected.order = sent(feed.order);
  if (!parsed || !(back == expected))
    abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  check_parse(data, size);
  check_round_trip(data, size);
  return 0;
}
