#pragma once

// Converts text to an int the way atoi does on the jukebox's 32-bit box: leading white
// space, an optional sign, decimal digits, the rest ignored; no digits give 0; a value
// beyond the int range gives INT_MAX (or INT_MIN for a negative one).
int parse_atoi(const char *text);

// Converts the whole of `text` (an optional sign, then decimal digits, nothing else) to
// a number from `min` to `max`. False, with *value untouched, for anything else: empty
// text, white space or other characters, a value out of the range.
bool parse_long(const char *text, long min, long max, long *value);
