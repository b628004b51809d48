#include "commands.h"

#include <cstring>

const char *const CONTROL_WORDS[] = {
    "player_startup",     "player_restart",   "player_stop",      "player_pause",
    "player_changernd",   "player_changedev", "player_nextlist",  "player_nextsong",
    "player_jumpfw",      "player_prevlist",  "player_prevsong",  "player_jumpbw",
    "player_sayinfo",     "mixer_volumeup",   "mixer_volumedown", "mixer_balanceleft",
    "mixer_balanceright", "mixer_bassup",     "mixer_bassdown",   "mixer_trebleup",
    "mixer_trebledown",
};
const int CONTROL_WORD_COUNT = sizeof CONTROL_WORDS / sizeof CONTROL_WORDS[0];

const NumericWord CONTROL_NUMERIC_WORDS[] = {
    {"player_jump", 16},
    {"player_jumpto", 16},
    {"player_gotolist", 4},
    {"player_gotosong", 4},
};
const int CONTROL_NUMERIC_WORD_COUNT =
    sizeof CONTROL_NUMERIC_WORDS / sizeof CONTROL_NUMERIC_WORDS[0];

namespace {

// True when text is 1 to max_digits digits and nothing else.
bool all_digits(const char *text, int max_digits) {
  int n = 0;
  while (text[n] >= '0' && text[n] <= '9')
    ++n;
  return n >= 1 && n <= max_digits && text[n] == '\0';
}

} // namespace

bool is_control_line(const char *line) {
  for (int i = 0; i < CONTROL_WORD_COUNT; ++i) {
    if (strcmp(line, CONTROL_WORDS[i]) == 0)
      return true;
  }
  for (int i = 0; i < CONTROL_NUMERIC_WORD_COUNT; ++i) {
    const NumericWord &w = CONTROL_NUMERIC_WORDS[i];
    size_t length = strlen(w.word);
    if (strncmp(line, w.word, length) == 0 && line[length] == ' ' &&
        all_digits(line + length + 1, w.max_digits))
      return true;
  }
  return false;
}

bool is_display_mode_line(const char *line) {
  static const char WORD[] = "display_setmode ";
  return strncmp(line, WORD, sizeof WORD - 1) == 0 && all_digits(line + sizeof WORD - 1, 1);
}
