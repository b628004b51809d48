#include "scan.h"

#include "plfile.h"

#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>

namespace {

// True for a file name longer than four characters ending in ".mp3", ".Mp3" or ".MP3".
bool is_song_name(const char *name) {
  size_t length = strlen(name);
  if (length <= 4)
    return false;
  const char *ending = name + length - 4;
  return strcmp(ending, ".mp3") == 0 || strcmp(ending, ".Mp3") == 0 || strcmp(ending, ".MP3") == 0;
}

} // namespace

bool has_line_break(const char *text) {
  return strpbrk(text, "\n\r") != nullptr;
}

void print_path_escaped(FILE *out, const char *path) {
  for (const char *p = path; *p != '\0'; ++p) {
    if (*p == '\n')
      fputs("\\n", out);
    else if (*p == '\r')
      fputs("\\r", out);
    else
      putc(*p, out);
  }
}

namespace {

void report_skipped(FILE *diag, const std::string &path, const char *reason) {
  fputs("[scantree]Skipped <", diag);
  print_path_escaped(diag, path.c_str());
  fprintf(diag, ">: %s.\n", reason);
}

struct ScanState {
  FILE *mpl;
  FILE *diag;
  int device;
  int list_counter; // the number the next list gets
  int song_counter; // 0 until the current list's first song, then the next song's number
  std::string list_path;
};

// Lists the songs of one root entry, `name`. The directory's entries are read and
// sorted in one piece and released before the next root entry is taken.
void scan_list(ScanState *st, const char *name) {
  struct dirent **entries = nullptr;
  int count = scandir(st->list_path.c_str(), &entries, nullptr, alphasort);
  if (count < 0)
    return;
  bool list_refused = false;
  for (int i = 0; i < count && !list_refused; ++i) {
    const char *file = entries[i]->d_name;
    if (is_song_name(file)) {
      std::string song_path = st->list_path + "/" + file;
      if (st->song_counter == 0 && has_line_break(name)) {
        // The list line would break the master list; none of its songs is listed.
        report_skipped(st->diag, st->list_path, "name holds a line break");
        list_refused = true;
      } else if (has_line_break(file)) {
        report_skipped(st->diag, song_path, "name holds a line break");
      } else if (song_path.size() > PL_TEXT_MAX) {
        report_skipped(st->diag, song_path, "path longer than 255 characters");
      } else {
        if (st->song_counter == 0) {
          fprintf(st->mpl, "%d %d %d %s\n", st->device, st->list_counter, 0, name);
          st->list_counter++;
          st->song_counter = 1;
        }
        fprintf(st->mpl, "%d %d %d %s\n", st->device, st->list_counter - 1, st->song_counter,
                song_path.c_str());
        st->song_counter++;
      }
    }
    if (st->song_counter > SCAN_MAX_SONGS)
      break;
  }
  for (int i = 0; i < count; ++i)
    free(entries[i]);
  free(entries);
  st->song_counter = 0;
}

} // namespace

void scan_device(FILE *mpl, FILE *diag, const char *root, DIR *root_dir, int device) {
  fprintf(mpl, "%d 0 0 %s\n", device, root);
  ScanState st{mpl, diag, device, 1, 0, {}};
  while (struct dirent *entry = readdir(root_dir)) {
    const char *name = entry->d_name;
    if (strcmp(name, ".") != 0 && strcmp(name, "..") != 0) {
      st.list_path.assign(root).append("/").append(name);
      scan_list(&st, name);
    }
    if (st.list_counter > SCAN_MAX_LISTS)
      break;
  }
}
