#pragma once

// Converts text to an int the way the C library's atoi does on this system: leading
// white space, an optional sign, decimal digits; no digits give 0. Out-of-range values
// follow glibc (the value is clamped to the range of long, then cut to int) instead of
// being undefined.
int parse_atoi(const char *text);
