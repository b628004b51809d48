#pragma once

#include <cstdio>
#include <dirent.h>

// Adds one device's directory tree to the master list: every subdirectory of the root
// that holds songs becomes a list, every ".mp3", ".Mp3" or ".MP3" file directly inside
// it a song.

inline constexpr int SCAN_MAX_LISTS = 32000;
inline constexpr int SCAN_MAX_SONGS = 32000;

// Walks the open root directory `root_dir` (named `root`) and appends the device line
// and the list and song lines of device `device` to `mpl`. Entries that cannot be
// written as one master list line (a song path over 255 characters, a name holding a
// line break) are skipped with one line on `diag`.
void scan_device(FILE *mpl, FILE *diag, const char *root, DIR *root_dir, int device);

// Writes `path` on one line: line breaks appear as "\n" and "\r".
void print_path_escaped(FILE *out, const char *path);

// True when the text holds a newline or a carriage return.
bool has_line_break(const char *text);
