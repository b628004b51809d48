#pragma once

#include <cstdio>

// Readers of the master list (/tmp/MPL) and the order list (/tmp/OPL).
//
// Master list line: device, list and song number and a text, "%d %d %d %s\n".
// Order list line:  order number, device, list and song, "%i %i %i %i\n".
//
// Every tool reads these files the same way: call the reader until it reports that no
// whole entry was read, and stop there.

// Texts are held in 256-byte buffers: at most 255 characters and the terminating NUL.
inline constexpr int PL_TEXT_MAX = 255;

struct MplEntry {
  int device;
  int list;
  int song;
  char text[PL_TEXT_MAX + 1];
};

struct OplEntry {
  int order;
  int device;
  int list;
  int song;
};

// Opens a list file for reading by one reader, buffered for a pass over the whole file.
FILE *pl_open_read(const char *path);

// Reads one master list line as the pattern "%d%d%d %255[^\n]%*[^\n]" does: white space
// (newlines included) is skipped before each number and before the text; the text runs
// to the end of the line, has at least one character, and keeps its first 255
// characters, the rest of an over-long line being passed over. The newline is left for
// the next call. Returns true only when all four fields were read.
bool mpl_read_entry(FILE *fp, MplEntry *entry);

// Reads one order list line as the pattern "%d %d %d %d\n" does, consuming the newline
// and any white space after it. Returns true only when all four numbers were read.
bool opl_read_entry(FILE *fp, OplEntry *entry);

// A song line carries non-zero device, list and song numbers; a list line has song 0 and
// a device line list 0 (and song 0).
inline bool mpl_is_song(const MplEntry &entry) {
  return entry.device != 0 && entry.list != 0 && entry.song != 0;
}
