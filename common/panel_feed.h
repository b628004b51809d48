#pragma once

// The display's feed: what the panel shows and what it shows it from, for readers that
// are not the panel (the web remote). The display daemon listens on a seqpacket socket
// (DISPLAY_FEED_PATH); each reader gets the current message when it connects, then one
// message each time anything in it changes, at most one a tick of the display's timer.
// A message is one packet of text lines "KEY VALUE", in this order:
//
//   row0 <the 24 bytes of the top row, as sent to the panel>
//   row1 <the 24 bytes of the bottom row>
//   title <the whole title the bottom row shows or scrolls>
//   status <PLAY, PAUS, STOP, ..., or NO MUSIC>
//   device <number>
//   list <number>
//   song <number>
//   time <the time left as the status line shows it>
//   order <the order mode word>
//   mode <the display mode number>
//   volume <number>
//   balance <number>
//   bass <number>
//   treble <number>
//
// The rows are the panel's own bytes (byte 255 the bar glyph, bytes above 127 whatever
// the panel's character ROM shows there); no value holds a line end or a NUL.

#include <array>
#include <cstddef>
#include <string>

inline constexpr int PANEL_FEED_COLUMNS = 24;
// The largest message: the rows, a title of at most 127 bytes and the short fields.
inline constexpr size_t PANEL_FEED_MAX = 512;

struct PanelFeed {
  std::array<std::string, 2> rows; // PANEL_FEED_COLUMNS bytes each
  std::string title;
  std::string status;
  int device = 0;
  int list = 0;
  int song = 0;
  std::string time;
  std::string order;
  int mode = 0;
  int volume = 0;
  int balance = 0;
  int bass = 0;
  int treble = 0;
};

bool operator==(const PanelFeed &a, const PanelFeed &b);

// The message of `feed`. A row is cut or filled with blanks to 24 bytes; a line end or
// NUL in a value is sent as "?".
std::string format_panel_feed(const PanelFeed &feed);

// Reads a message; false (and `feed` unspecified) for anything that is not one message
// of the form above: keys missing, out of order or unknown, a row not of 24 bytes,
// numbers that are not decimal integers of int range, more than PANEL_FEED_MAX bytes.
bool parse_panel_feed(const char *data, size_t size, PanelFeed &feed);
