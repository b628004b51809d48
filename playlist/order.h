#pragma once

#include "plfile.h"

#include <compare>
#include <cstdio>

// Building the order list: which songs of the master list play in which order.

inline constexpr int ORDER_MAX_ENTRIES = 99999;

struct SongAddress {
  int device;
  int list;
  int song;
  auto operator<=>(const SongAddress &) const = default;
};

enum class OrderMode { sequential, all, device, list };

// The display's word for the order mode of a letter as /tmp/RANDOM holds it: s (and
// anything else) SEQ, a ALL, d DEV, l LST.
const char *order_mode_text(char mode);

// Reads the song lines of the master list into `entries` (device and list lines take no
// room), at most `capacity` of them. Returns the number read.
int read_song_entries(FILE *mpl, SongAddress *entries, int capacity);

// The milliseconds part (0 to 999) of the current time of day.
int clock_millis();

// The end (one past the last position) of the group that starts at `start`: all songs in
// mode all; in device mode the run of entries with the device number of the first; in
// list mode the run with its list number, whatever their devices.
int group_end(const SongAddress *entries, int count, int start, OrderMode mode);

// Seed for placing entry `q` when the clock reads `millis`: the low 16 bits of
// millis * (q + 1), read as a signed 16-bit number and widened with its sign.
unsigned placement_seed(int millis, int q);

// The first number the C library's generator gives after srand(seed): srand and rand
// themselves, and the same worked out faster where the C library's generator is known.
int placement_draw(unsigned seed);
int placement_draw_libc(unsigned seed);
// True when placement_draw takes the faster way.
bool placement_draw_shortcut();

// Which of the `free_slots` free slots a draw picks: floor(free_slots * r / 2^31).
inline int placement_pick(int free_slots, int r) {
  return static_cast<int>((static_cast<long long>(free_slots) * r) >> 31);
}

// Fills `slots` (room for `count`) with the entries in the mode's order. The shuffled
// modes keep every group on its own positions and place each entry of a group, in table
// order, on the k-th still free slot of the group, k drawn from a generator seeded anew
// from `clock` for every entry.
void fill_order(const SongAddress *entries, int count, OrderMode mode, SongAddress *slots,
                int (*clock)());

// One order list line, "%i %i %i %i\n", written at p by hand (it is written 99,999
// times); returns its end. A line takes at most ORDER_LINE_MAX characters.
inline constexpr int ORDER_LINE_MAX = 4 * 12;
char *put_order_line(char *p, int order, const SongAddress &song);

// Reports how many entries were put in order, and in which mode.
void print_buffered(FILE *out, OrderMode mode, int count);
