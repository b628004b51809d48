#pragma once

// The pages of the web remote, rendered on the server: the remote itself (now playing, the
// keys, the search form, working with plain forms when the browser runs no JavaScript; its
// script takes the live state from /events and sends keys with fetch), the search results,
// and the state as JSON for the script. No external assets: the style and the script are
// part of the page.

#include "lcdrom.h"
#include "panel_feed.h"
#include "search_index.h"

#include <string>
#include <vector>

// What the remote shows: the display's feed and what the server knows around it.
struct RemoteState {
  bool display_seen = false; // a feed message came; otherwise the jukebox seems away
  PanelFeed panel;
  LcdRom rom = LcdRom::A00;
  std::string device_name; // the device's root folder
  std::string list_name;   // the list's title
  std::string song_name;   // the song's title from its path
  int seconds_left = -1;   // -1: unknown
  int seconds_total = -1;  // -1: unknown
};

// Text made safe inside HTML text and attribute values (& < > " ').
std::string html_escape(const std::string &text);
// A JSON string literal (with its quotes) of UTF-8 text; bytes that are not UTF-8 become
// U+FFFD.
std::string json_quote(const std::string &text);

// The panel's rows as Unicode text (UTF-8), each byte as the ROM shows it, the bar glyph
// as U+2588.
std::string panel_row_text(const std::string &row, LcdRom rom);

// The state JSON of /state.json and of each "state" event.
std::string render_state_json(const RemoteState &state);

// The remote page at "/". `query` and `hits` fill the search part (empty: none), so the
// plain form of the search works without JavaScript; `notice` is a line shown at the top
// (what a form did), empty for none.
std::string render_remote_page(const RemoteState &state, const std::string &query,
                               const std::vector<SearchEntry> &hits, size_t total, size_t from,
                               const std::string &notice);

// The JSON of /search.json.
std::string render_search_json(const std::vector<SearchEntry> &hits, size_t total, size_t from);
