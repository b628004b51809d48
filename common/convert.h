#pragma once

// Converts text to an int the way atoi does on the jukebox's 32-bit box: leading white
// space, an optional sign, decimal digits, the rest ignored; no digits give 0; a value
// beyond the int range gives INT_MAX (or INT_MIN for a negative one).
int parse_atoi(const char *text);
