#pragma once

#include "order.h"

#include <string>

// The play core's own record of where the jukebox stands, kept in /tmp/PLAYSTATE and
// replaced whole (and synced) at every change, one "key value" line a field:
//
//   song 1 2 3        the chosen song: device, list and song number
//   status play       what the player was last told: play, pause or stop
//   frame kept        kept: /tmp/FRAMEPOS belongs to this song (absent: its start);
//                     fresh: the song was just chosen and a FRAMEPOS still there is an
//                     earlier song's, not to be used
//   generation 17     counts the choices of a song (every new start of one), 0 to
//                     2147483647 on every machine, then 0 again
//
// /tmp/STATUS says the same status to the outside, except that the control daemon
// writes "startup" into it while the jukebox starts; this file keeps what it was before.

enum class PlayStatus { stop, play, pause };

struct PlayState {
  bool has_song = false;
  SongAddress song{};
  PlayStatus status = PlayStatus::stop;
  bool frame_kept = false;
  int generation = 0;
};

// Reads the text of the file. Lines it does not know are passed over, and a field whose
// line is missing or not well formed keeps the default above (no song: the order's first
// is taken; frame fresh: no resume point is trusted).
PlayState parse_play_state(const std::string &text);

std::string format_play_state(const PlayState &state);

// The generation after `generation`: one more, and 0 after 2147483647.
int next_generation(int generation);

// "play", "pause", "stop".
const char *status_word(PlayStatus status);
