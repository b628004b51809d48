#pragma once

#include <climits>
#include <cstddef>
#include <cstdio>
#include <sys/types.h>

// The one way the jukebox replaces a file: a fresh temporary file "<name>.<pid>" beside
// it, written, synced, renamed over the file, and the folder synced. A reader, or a power
// cut, finds the old file or the whole new one, and nothing is ever written through a
// link or into a FIFO someone put under either name in a shared folder such as /tmp.
// The steps use only calls that are safe in a signal handler, and no allocation.

// A replacement under way.
struct Replacement {
  int dir_fd = -1;            // the folder, the caller's
  const char *name = nullptr; // the file in it, the caller's
  char temp[NAME_MAX + 1] = {};
  int fd = -1; // the temporary file, open for writing
};

// Makes the temporary file "<name>.<pid>" in the folder open as `dir_fd`. Whatever lies
// under that name (left by a writer that was killed, or put there by someone else) is
// removed first where it can be, and the file is created only if the name is then free,
// never through a link. `mode`: its permissions, exactly; 0 for 0666 less the umask.
// False (errno set) when it cannot be made.
bool replace_begin(Replacement &r, int dir_fd, const char *name, mode_t mode = 0);

// Syncs and closes the temporary file and renames it over the file, then syncs the
// folder. On any failure the temporary is removed, the file stays as it was, and false is
// returned with errno set.
bool replace_commit(Replacement &r);

// Closes and removes the temporary file; the file stays as it was.
void replace_abandon(Replacement &r);

// The whole replacement of the file `name` in the folder open as `dir_fd` with the
// `size` bytes of `text`, for a writer that replaces a file often and keeps its folder
// open. False (errno set) when the file cannot be written.
bool replace_file_at(int dir_fd, const char *name, const char *text, size_t size, mode_t mode = 0);

// Opens the folder of `path` for the calls above and points `*name` at the file's name
// in `path`. A folder that may be written but not read is opened all the same; only its
// sync is then left out. -1 (errno set) when it cannot be opened.
int open_folder_of(const char *path, const char **name);

// replace_file_at for a path.
bool write_text_file(const char *path, const char *text, size_t size, mode_t mode = 0);

// A replacement written through a stream.
struct AtomicFile {
  Replacement replacement;
  FILE *fp = nullptr;
};

// Makes the temporary file beside `target` and a stream on it. On failure returns false
// with errno set.
bool atomic_open(AtomicFile *file, const char *target);

// Flushes and closes the stream and completes the replacement as replace_commit does;
// on a write error the temporary is removed and the target left as it was.
bool atomic_commit(AtomicFile *file);
