#pragma once

// Display titles from paths: the last component of a path, without the ".mp3" ending,
// underscores as blanks, without a leading track number, with a capital first letter,
// and marked " (versteckt)" when the name begins with a tilde.

// Characters of a path the callers keep, and the room the routine may append after
// them. A working path buffer of TITLE_BUFFER_SIZE bytes holds any path of up to
// TITLE_PATH_MAX characters with the mark, and so does a title buffer of that size.
inline constexpr int TITLE_PATH_MAX = 255;
inline constexpr int TITLE_MARK_ROOM = 12; // " (versteckt)"
inline constexpr int TITLE_BUFFER_SIZE = TITLE_PATH_MAX + TITLE_MARK_ROOM + 1;

// Derives the title of `path` into `title`. The path is changed in place (its ending and
// a trailing slash are cut, underscores of its last component become blanks, the hidden
// mark may be appended), so its buffer must have room for TITLE_MARK_ROOM characters
// after the text; `title` must have room for the changed path.
void titleform(char *path, char *title);

// Copies `text` into a working buffer of TITLE_BUFFER_SIZE bytes: texts longer than
// TITLE_PATH_MAX keep their last TITLE_PATH_MAX characters, where the title comes from.
void title_work_copy(char *work, const char *text);
