#include "titleform.h"

#include <cstring>
#include <initializer_list>

namespace {

bool ends_with_song_ending(const char *path, size_t length) {
  const char *ending = path + length - 4;
  return strcmp(ending, ".mp3") == 0 || strcmp(ending, ".Mp3") == 0 || strcmp(ending, ".MP3") == 0;
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

} // namespace

void titleform(char *path, char *title) {
  size_t length = strlen(path);

  // The ending goes only from paths longer than five characters.
  if (length > 5 && ends_with_song_ending(path, length)) {
    length -= 4;
    path[length] = '\0';
  }
  // One trailing slash.
  if (length > 0 && path[length - 1] == '/')
    path[--length] = '\0';

  // The last component, with its underscores turned into blanks on the way to it.
  size_t start = length;
  while (start > 0 && path[start - 1] != '/') {
    if (path[start - 1] == '_')
      path[start - 1] = ' ';
    --start;
  }
  char *p = path + start;

  if (*p == '~') {
    ++p;
    memcpy(path + length, " (versteckt)", TITLE_MARK_ROOM + 1);
  }

  // A track number prefix: each of these at most once, in this order, where it is next.
  if (*p == '[')
    ++p;
  if (is_digit(*p))
    ++p;
  if (is_digit(*p))
    ++p;
  for (char c : {']', '.', ' ', '-', ' '}) {
    if (*p == c)
      ++p;
  }

  if (*p >= 'a' && *p <= 'z')
    *p = static_cast<char>(*p - 'a' + 'A');
  strcpy(title, p);
}

void title_work_copy(char *work, const char *text) {
  size_t length = strlen(text);
  if (length > TITLE_PATH_MAX) {
    text += length - TITLE_PATH_MAX;
    length = TITLE_PATH_MAX;
  }
  memcpy(work, text, length + 1);
}
