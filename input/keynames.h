#pragma once

// The kernel's names of keys, buttons and relative axes (KEY_*, BTN_*, REL_*), made by
// the build from <linux/input-event-codes.h>. Aliases (KEY_SCREENLOCK for KEY_COFFEE)
// are names of their own with the same code.

struct KeyName {
  const char *name;
  int code;
};

extern const KeyName KEY_NAMES[];
extern const int KEY_NAME_COUNT;

enum class CodeKind { key, axis };

// The code of a name: KEY_* and BTN_* are keys, REL_* axes. False for a name the kernel
// does not have.
bool find_key_name(const char *name, CodeKind *kind, int *code);

// A name of a code for the trace ("KEY_PLAYPAUSE", "REL_DIAL"), or null.
const char *key_name_of(CodeKind kind, int code);
