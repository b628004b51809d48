#pragma once

#include <cstdio>
#include <string>

// A file that replaces its target whole or not at all. It is written into a temporary
// file beside the target, then flushed to disk and renamed over the target, so a reader
// (or a power cut) sees either the old file or the complete new one.
struct AtomicFile {
  std::string target;
  std::string temp;
  FILE *fp = nullptr;
};

// Creates the temporary file. On failure returns false with errno set.
bool atomic_open(AtomicFile *file, const char *target);

// Flushes, syncs, closes and renames over the target. On any failure the temporary is
// removed, the target is left as it was, and false is returned with errno set.
bool atomic_commit(AtomicFile *file);
