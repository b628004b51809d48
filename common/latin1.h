#pragma once

#include <cstddef>

// The display sends one byte for each character, as Latin-1 (ISO 8859-1). Texts from
// today's sources (the player in a UTF-8 locale, tags written as Unicode) come as UTF-8.

// Writes `text` into `out` (`size` bytes, at least 1) as Latin-1, zero-terminated, and
// returns the length written. ASCII stays as it is. Each well-formed UTF-8 sequence
// becomes one character: U+00A0 to U+00FF as that byte, the control characters U+0080
// to U+009F as blanks, a letter of Latin Extended-A (U+0100 to U+017F) as its letter
// without the accent, the common quotation marks, dashes and spaces as their plain
// forms, any other character as "?". A byte that does not start a well-formed sequence
// is taken as Latin-1 already and kept, so a text that was Latin-1 before stays as it
// was. The text is cut at a character's end when `out` is full.
size_t utf8_to_latin1(const char *text, char *out, size_t size);
