#pragma once

// The control daemon's command table as data, for programs that only send its lines (the
// input handlers): the exact words, the words that take a number, and the display's mode
// line. A line passes when the daemon would act on it as written, in the one form these
// programs send: the word alone, or the word, one blank and the number.

struct NumericWord {
  const char *word;
  int max_digits; // the digits the daemon takes; more would be cut off there
};

extern const char *const CONTROL_WORDS[];
extern const int CONTROL_WORD_COUNT;
extern const NumericWord CONTROL_NUMERIC_WORDS[];
extern const int CONTROL_NUMERIC_WORD_COUNT;

// True for "player_pause", "mixer_volumeup", "player_gotosong 12", ...: an exact word, or
// a numeric word, a blank and 1 to max_digits digits (no sign).
bool is_control_line(const char *line);

// True for "display_setmode N" with N one digit.
bool is_display_mode_line(const char *line);
