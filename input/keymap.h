#pragma once

// The key map of velm_input: which key, button or knob of an input device (or which
// button lircd reports) sends which line. One rule a line:
//
//   KEY   WHEN   WHAT          KEY_NEXTSONG hold player_jumpfw, REL_DIAL up mixer_volumeup
//   set   NAME   VALUE...      set hold 800, set steps REL_DIAL 4, set reverse REL_DIAL
//
// KEY is a kernel name (KEY_*, BTN_*: keys; REL_*: axes), a key code (304), or
// "lirc:NAME" for a button lircd knows under a name of its own. WHEN is press, hold or
// repeat for a key, up or down for an axis. WHAT is a line of the control daemon's table,
// a display mode line, or one of digit N, enter, enter-list, mode. "#" at the start of a
// word begins a comment.

#include <map>
#include <string>
#include <vector>

enum class Act { none, line, digit, enter, enter_list, mode };

struct Action {
  Act act = Act::none;
  int digit = 0;    // of a digit action
  std::string line; // of a line action: a control line or a display mode line
};

struct KeyRules {
  Action press, hold, repeat;
};

struct AxisRules {
  Action up, down;
  int steps = 1; // steps of the axis per detent: 1, 2 or 4
  bool reverse = false;
};

// The codes of buttons named "lirc:NAME" in a map come after every kernel key code.
inline constexpr int LIRC_CODE_BASE = 0x10000;

struct Keymap {
  std::map<int, KeyRules> keys;        // by key code
  std::map<int, AxisRules> axes;       // by relative axis code
  std::vector<std::string> lirc_names; // the button of code LIRC_CODE_BASE + index
  int debounce_ms = 30;                // a second press of a key within this counts once
  int hold_ms = 800;                   // a press this long is a hold
  int entry_ms = 4000;                 // a number left alone this long is entered
};

// The built-in map: the text of input/keymap.example.
extern const char DEFAULT_KEYMAP[];

// Reads the rules of `text` into map (a fresh one). On a fault, false with error set to
// "FILE:LINE: what is wrong", FILE being `file`.
bool parse_keymap(const std::string &text, const char *file, Keymap *map, std::string *error);

// Reads the map of the file at path, or the built-in one (named "(built-in)") when path
// is null. False with error set when the file cannot be read or holds a fault.
bool load_keymap(const char *path, Keymap *map, std::string *error);

// The code a button name from lircd has in the map: that of its kernel name (KEY_PLAY),
// else that of its "lirc:NAME" rules; -1 when the map has neither.
int lirc_button_code(const Keymap &map, const char *button);
