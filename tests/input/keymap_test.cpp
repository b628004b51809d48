// The key map of velm_input: its rules, its settings, its errors with file and line, and
// the built-in map, which is the example file's text.

#include "commands.h"
#include "keymap.h"
#include "keynames.h"
#include "sandbox_run.h"

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <string>

namespace {

Keymap parsed(const std::string &text) {
  Keymap map;
  std::string error;
  EXPECT_TRUE(parse_keymap(text, "map", &map, &error)) << error;
  return map;
}

std::string error_of(const std::string &text) {
  Keymap map;
  std::string error;
  EXPECT_FALSE(parse_keymap(text, "my.map", &map, &error)) << text;
  return error;
}

} // namespace

TEST(InputKeymap, RulesAndSettings) {
  Keymap map = parsed("# a comment\n"
                      "\n"
                      "KEY_PLAYPAUSE   press   player_pause\n"
                      "  KEY_NEXTSONG\tpress player_nextsong   # next\n"
                      "KEY_NEXTSONG    hold    player_jumpfw\r\n"
                      "KEY_VOLUMEUP    repeat  mixer_volumeup\n"
                      "KEY_1 press digit 1\n"
                      "KEY_OK press enter\n"
                      "KEY_LIST press enter-list\n"
                      "KEY_MODE press mode\n"
                      "KEY_F1 press player_gotosong   12\n"
                      "KEY_F2 press display_setmode 3\n"
                      "REL_DIAL up mixer_volumeup\n"
                      "REL_DIAL down mixer_volumedown\n"
                      "304 press player_stop\n"
                      "lirc:power press player_stop\n"
                      "lirc:KEY#1 press player_pause\n"
                      "set debounce 10\n"
                      "set hold 500\n"
                      "set entry 2000\n"
                      "set steps REL_DIAL 4\n"
                      "set reverse REL_DIAL\n"
                      "set steps REL_WHEEL 2\n");
  EXPECT_EQ(map.keys.at(KEY_PLAYPAUSE).press.line, "player_pause");
  EXPECT_EQ(map.keys.at(KEY_NEXTSONG).press.line, "player_nextsong");
  EXPECT_EQ(map.keys.at(KEY_NEXTSONG).hold.line, "player_jumpfw");
  EXPECT_EQ(map.keys.at(KEY_VOLUMEUP).repeat.line, "mixer_volumeup");
  EXPECT_EQ(map.keys.at(KEY_VOLUMEUP).press.act, Act::none);
  EXPECT_EQ(map.keys.at(KEY_1).press.act, Act::digit);
  EXPECT_EQ(map.keys.at(KEY_1).press.digit, 1);
  EXPECT_EQ(map.keys.at(KEY_OK).press.act, Act::enter);
  EXPECT_EQ(map.keys.at(KEY_LIST).press.act, Act::enter_list);
  EXPECT_EQ(map.keys.at(KEY_MODE).press.act, Act::mode);
  // The words of a line are joined by one blank, the form the daemon is sent.
  EXPECT_EQ(map.keys.at(KEY_F1).press.line, "player_gotosong 12");
  EXPECT_EQ(map.keys.at(KEY_F2).press.line, "display_setmode 3");
  EXPECT_EQ(map.axes.at(REL_DIAL).up.line, "mixer_volumeup");
  EXPECT_EQ(map.axes.at(REL_DIAL).down.line, "mixer_volumedown");
  EXPECT_EQ(map.axes.at(REL_DIAL).steps, 4);
  EXPECT_TRUE(map.axes.at(REL_DIAL).reverse);
  EXPECT_EQ(map.axes.at(REL_WHEEL).steps, 2);
  EXPECT_FALSE(map.axes.at(REL_WHEEL).reverse);
  EXPECT_EQ(map.keys.at(BTN_SOUTH).press.line, "player_stop"); // 304
  EXPECT_EQ(map.debounce_ms, 10);
  EXPECT_EQ(map.hold_ms, 500);
  EXPECT_EQ(map.entry_ms, 2000);
  // lircd's buttons: by the kernel name when the map has that key, else by lirc:NAME.
  EXPECT_EQ(lirc_button_code(map, "KEY_PLAYPAUSE"), KEY_PLAYPAUSE);
  EXPECT_EQ(map.keys.at(lirc_button_code(map, "power")).press.line, "player_stop");
  EXPECT_EQ(map.keys.at(lirc_button_code(map, "KEY#1")).press.line, "player_pause");
  EXPECT_EQ(lirc_button_code(map, "KEY_STOP"), -1);
  EXPECT_EQ(lirc_button_code(map, "menu"), -1);
  // An empty map is a map; the settings keep their defaults.
  Keymap empty = parsed("");
  EXPECT_TRUE(empty.keys.empty());
  EXPECT_EQ(empty.debounce_ms, 30);
  EXPECT_EQ(empty.hold_ms, 800);
  EXPECT_EQ(empty.entry_ms, 4000);
}

TEST(InputKeymap, FaultsNameFileAndLine) {
  struct Case {
    const char *text;
    const char *error;
  } const cases[] = {
      {"KEY_PLAYPAUSE press player_pause\nKEY_FOO press player_stop\n",
       "my.map:2: unknown key name KEY_FOO"},
      {"\n\n\nkey_play press player_pause\n", "my.map:4: unknown key name key_play"},
      {"KEY_PLAY\n", "my.map:1: press, hold or repeat is missing after KEY_PLAY"},
      {"KEY_PLAY press\n", "my.map:1: what KEY_PLAY sends is missing"},
      {"KEY_PLAY press # player_pause\n", "my.map:1: what KEY_PLAY sends is missing"},
      {"KEY_PLAY up player_pause\n", "my.map:1: KEY_PLAY is a key: press, hold or repeat, not up"},
      {"REL_DIAL press player_pause\n", "my.map:1: REL_DIAL is an axis: up or down, not press"},
      {"KEY_PLAY press player_paws\n", "my.map:1: not a command line of the jukebox: player_paws"},
      {"KEY_PLAY press player_pause now\n",
       "my.map:1: not a command line of the jukebox: player_pause now"},
      {"KEY_PLAY press player_jump -100\n",
       "my.map:1: not a command line of the jukebox: player_jump -100"},
      {"KEY_PLAY press player_gotosong 12345\n",
       "my.map:1: not a command line of the jukebox: player_gotosong 12345"},
      {"KEY_PLAY press display_setmode 10\n",
       "my.map:1: not a command line of the jukebox: display_setmode 10"},
      {"KEY_PLAY press display_setvolume 3\n",
       "my.map:1: not a command line of the jukebox: display_setvolume 3"},
      {"KEY_PLAY press digit\n", "my.map:1: digit takes one digit, 0 to 9"},
      {"KEY_PLAY press digit 12\n", "my.map:1: digit takes one digit, 0 to 9"},
      {"KEY_PLAY press enter now\n", "my.map:1: enter takes nothing after it"},
      {"KEY_PLAY press player_pause\nKEY_PLAY press player_stop\n",
       "my.map:2: KEY_PLAY press is given twice"},
      {"0 press player_stop\n", "my.map:1: key code 0 is not a number from 1 to 767"},
      {"768 press player_stop\n", "my.map:1: key code 768 is not a number from 1 to 767"},
      {"3x press player_stop\n", "my.map:1: key code 3x is not a number from 1 to 767"},
      {"lirc: press player_stop\n", "my.map:1: a lircd button name is missing after lirc:"},
      {"set\n", "my.map:1: set: the name of a setting is missing"},
      {"set speed 3\n", "my.map:1: unknown setting speed (debounce, hold, entry, steps, reverse)"},
      {"set debounce\n", "my.map:1: set debounce takes milliseconds from 0 to 1000"},
      {"set debounce 1001\n", "my.map:1: set debounce takes milliseconds from 0 to 1000"},
      {"set hold -5\n", "my.map:1: set hold takes milliseconds from 50 to 60000"},
      {"set entry 99999999999\n", "my.map:1: set entry takes milliseconds from 500 to 60000"},
      {"set steps REL_DIAL 3\n",
       "my.map:1: set steps takes an axis and 1, 2 or 4 steps per detent"},
      {"set steps REL_DIAL\n", "my.map:1: set steps takes an axis and 1, 2 or 4 steps per detent"},
      {"set steps KEY_PLAY 2\n", "my.map:1: KEY_PLAY is not an axis (REL_...)"},
      {"set steps\n", "my.map:1: set steps: the axis is missing"},
      {"set reverse REL_FOO\n", "my.map:1: unknown key name REL_FOO"},
      {"set reverse\n", "my.map:1: set reverse takes one axis"},
      // Bytes that cannot be shown are not written to the terminal as they are.
      {"KEY_\x1b[2J press player_stop\n", "my.map:1: unknown key name KEY_?[2J"},
  };
  for (const Case &c : cases)
    EXPECT_EQ(error_of(c.text), c.error) << c.text;
}

TEST(InputKeymap, FilesAndTheBuiltInMap) {
  Keymap map;
  std::string error;
  EXPECT_FALSE(load_keymap("/nonexistent/velm.map", &map, &error));
  EXPECT_EQ(error, "/nonexistent/velm.map: No such file or directory");
  // The built-in map is the example file, and the example file is a good map.
  std::string example = std::string(source_dir()) + "/input/keymap.example";
  EXPECT_EQ(std::string(DEFAULT_KEYMAP), read_file(example));
  ASSERT_TRUE(load_keymap(nullptr, &map, &error)) << error;
  Keymap from_file;
  ASSERT_TRUE(load_keymap(example.c_str(), &from_file, &error)) << error;
  EXPECT_EQ(from_file.keys.size(), map.keys.size());
  // Built-in faults are named as such (a map given as text, as the daemon names it).
  EXPECT_FALSE(parse_keymap("KEY_XX press player_stop\n", "(built-in)", &map, &error));
  EXPECT_EQ(error, "(built-in):1: unknown key name KEY_XX");
}

TEST(InputKeymap, KernelNames) {
  CodeKind kind;
  int code;
  struct Case {
    const char *name;
    CodeKind kind;
    int code;
  } const cases[] = {{"KEY_PLAYPAUSE", CodeKind::key, KEY_PLAYPAUSE},
                     {"KEY_NUMERIC_9", CodeKind::key, KEY_NUMERIC_9},
                     {"BTN_LEFT", CodeKind::key, BTN_LEFT},
                     {"BTN_TRIGGER_HAPPY40", CodeKind::key, BTN_TRIGGER_HAPPY40},
                     {"KEY_SCREENLOCK", CodeKind::key, KEY_COFFEE},
                     {"REL_DIAL", CodeKind::axis, REL_DIAL},
                     {"REL_WHEEL_HI_RES", CodeKind::axis, REL_WHEEL_HI_RES}};
  for (const Case &c : cases) {
    ASSERT_TRUE(find_key_name(c.name, &kind, &code)) << c.name;
    EXPECT_EQ(kind, c.kind) << c.name;
    EXPECT_EQ(code, c.code) << c.name;
  }
  for (const char *name : {"KEY_MAX", "KEY_CNT", "REL_MAX", "KEY_RESERVED", "ABS_X", "KEY_", ""})
    EXPECT_FALSE(find_key_name(name, &kind, &code)) << name;
  // Every name of the table is found (the look-up relies on the build's order).
  EXPECT_GT(KEY_NAME_COUNT, 600);
  for (int i = 0; i < KEY_NAME_COUNT; ++i) {
    ASSERT_TRUE(find_key_name(KEY_NAMES[i].name, &kind, &code)) << KEY_NAMES[i].name;
    EXPECT_EQ(code, KEY_NAMES[i].code) << KEY_NAMES[i].name;
  }
  EXPECT_STREQ(key_name_of(CodeKind::axis, REL_DIAL), "REL_DIAL");
  EXPECT_STREQ(key_name_of(CodeKind::key, KEY_VOLUMEUP), "KEY_VOLUMEUP");
  EXPECT_EQ(key_name_of(CodeKind::key, 0x2fe), nullptr);
}
