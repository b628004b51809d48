// The display's commands, state machine and drawing, tick by tick, with the rig's device.

#include "panel_rig.h"

#include "panel_rows.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// Started, with the welcome scroll over.
void start_past_welcome(bool id3 = false) {
  rig_start(true, id3);
  rig_line("display_startup");
  rig_ticks(2 * static_cast<int>(24 + (id3 ? WELCOME_ID3 : WELCOME).size()));
  ASSERT_TRUE(lcd.welcome_done);
}

// The next n draws of row 1.
std::vector<std::string> next_title_rows(int n) {
  size_t from = rig.draws.size();
  std::vector<std::string> rows;
  while (static_cast<int>(rows.size()) < n) {
    rig_ticks(1);
    rows = rig_rows(1, from);
  }
  return rows;
}

std::string padded(const std::string &text) {
  return (text + BLANK_ROW).substr(0, 24);
}

} // namespace

TEST(DisplayCommands, WordsMatchWholeLinesOrPrefixesInTableOrder) {
  rig_start(false, false);
  rig_line("display_restart now"); // not the whole line
  rig_line("display_startup ");    // trailing blank
  EXPECT_FALSE(display.started);
  EXPECT_EQ(rig.timer_arms, 0);
  rig_line("display_startup");
  EXPECT_TRUE(display.started);
  EXPECT_EQ(std::string(display.title), WELCOME);
  EXPECT_EQ(std::string(display.id3tag_title), WELCOME_ID3);

  rig_line("display_settitle Some Title  "); // trailing blanks are kept
  EXPECT_STREQ(display.title, "Some Title  ");
  rig_line("display_settitle-Other"); // any separating character
  EXPECT_STREQ(display.title, "Other");
  rig_line("display_setid3tagtitle Artist - Song");
  EXPECT_STREQ(display.id3tag_title, "Artist - Song");
  rig_line(std::string("display_settitle ") + std::string(200, 'x'));
  EXPECT_EQ(std::string(display.title), std::string(127, 'x'));
  rig_line("display_settitle"); // shorter than the word and its separator
  EXPECT_STREQ(display.title, "");
  rig_line("display_setid3tagtitle ");
  EXPECT_STREQ(display.id3tag_title, "");

  rig_line("display_setstatus PLAYING 1 23 4");
  EXPECT_STREQ(display.status_text, "PLAY");
  EXPECT_EQ(display.status_device, 1);
  EXPECT_EQ(display.status_list, 23);
  EXPECT_EQ(display.status_song, 4);
  rig_line("display_setstatus PLAY 12 3 4"); // each field ends at its width
  EXPECT_EQ(display.status_device, 1);
  EXPECT_EQ(display.status_list, 2);
  EXPECT_EQ(display.status_song, 3);

  rig_line("display_settime +01:02 -03:04");
  EXPECT_STREQ(display.time_remaining, "-03:04");
  rig_line("display_settime nonsense");
  EXPECT_STREQ(display.time_remaining, "-03:04");

  rig_line("display_setvolume 1234");
  EXPECT_EQ(display.volume, 123);
  rig_line("display_setbalance -1000");
  EXPECT_EQ(display.balance, -100);
  rig_line("display_setbass 7");
  rig_line("display_settreble 88");
  EXPECT_EQ(display.bass, 7);
  EXPECT_EQ(display.treble, 88);
  rig_line("display_setrandommode device");
  EXPECT_STREQ(display.random_mode, "dev");
  rig_line("display_setmode 12");
  EXPECT_EQ(display.display_mode, 1);
  rig_line("display_setmodes 5"); // a prefix match still scans from the word
  EXPECT_EQ(display.display_mode, 1);
  rig_line("Display_setmode 5");
  rig_line("unknown line");
  EXPECT_EQ(display.display_mode, 1);
}

TEST(DisplayCommands, MissingFieldsApplyTheLastTextOfTheirCommandAgain) {
  rig_start(false, false);
  rig_line("display_setvolume");
  EXPECT_EQ(display.volume, 0); // nothing scanned yet: the empty buffer gives 0
  rig_line("display_setvolume 42");
  rig_line("display_setvolume 7");
  rig_line("display_setvolume x");
  EXPECT_EQ(display.volume, 7);
  rig_line("display_setbalance -3");
  rig_line("display_setbalance");
  EXPECT_EQ(display.balance, -3);

  rig_line("display_setstatus PLAY 2 345 67");
  rig_line("display_setstatus STOP");
  EXPECT_STREQ(display.status_text, "STOP");
  EXPECT_EQ(display.status_device, 2);
  EXPECT_EQ(display.status_list, 345);
  EXPECT_EQ(display.status_song, 67);
  rig_line("display_setstatus");
  EXPECT_STREQ(display.status_text, "STOP");

  // The mode buffer outlives a start, which sets mode 0 itself.
  rig_line("display_setmode 2");
  rig_line("display_startup");
  EXPECT_EQ(display.display_mode, 0);
  rig_line("display_setmode");
  EXPECT_EQ(display.display_mode, 2);

  // A status word far beyond its buffer is cut, not written past it.
  rig_line("display_setstatus " + std::string(200, 'W') + " 1 2 3");
  EXPECT_STREQ(display.status_text, "WWWW");
  EXPECT_EQ(display.status_device, 2); // the fields after the cut word were not reached
  EXPECT_EQ(std::string(rig.buffers.status_word), std::string(15, 'W'));
}

TEST(DisplayStates, StartRestartAndWhatEachKeeps) {
  rig_start(true, false);
  EXPECT_EQ(rig.bytes, "\033R"); // display_init resets the panel; nothing more
  rig_line("display_restart");   // not yet started: nothing happens
  EXPECT_EQ(rig.bytes, "\033R");
  EXPECT_FALSE(display.started);

  rig_line("display_setrandommode all");
  rig_line("display_setvolume 30");
  rig_line("display_setmode 2");
  rig_line("display_startup");
  EXPECT_EQ(rig.bytes, "\033R\033K");
  EXPECT_EQ(rig.timer_arms, 1);
  EXPECT_EQ(display.volume, 0);
  EXPECT_EQ(display.display_mode, 0);
  EXPECT_STREQ(display.random_mode, "all");

  rig_line("display_setstatus PLAY 1 2 3");
  rig_line("display_startup"); // already started: nothing changes
  EXPECT_STREQ(display.status_text, "PLAY");
  EXPECT_EQ(rig.timer_arms, 1);

  rig_ticks(3);
  size_t before = rig.bytes.size();
  rig_line("display_restart");
  EXPECT_EQ(rig.bytes.substr(before), "\033R\033c\033K");
  EXPECT_TRUE(display.started);
  EXPECT_EQ(rig.timer_arms, 2);
  EXPECT_STREQ(display.status_text, "");
  EXPECT_FALSE(lcd.welcome_done);
  EXPECT_EQ(lcd.title_offset, 24);
}

TEST(DisplayScreens, WelcomeEntersFromTheRightOneColumnPerTick) {
  for (bool id3 : {false, true}) {
    const std::string &welcome = id3 ? WELCOME_ID3 : WELCOME;
    rig_start(true, id3);
    rig_line("display_startup");
    rig_ticks(1);
    // The first tick: the status line, and a blank row 1 (the welcome at offset 24).
    ASSERT_EQ(rig.draws.size(), 2u);
    EXPECT_EQ(rig.draws[0].row, 0);
    EXPECT_EQ(rig.draws[0].text, "0/000/00                ");
    EXPECT_EQ(rig.draws[1].row, 1);
    EXPECT_EQ(rig.draws[1].text, BLANK_ROW);
    rig_ticks(1);
    EXPECT_EQ(lcd_screen_row(rig.screen, 1), std::string(23, ' ') + "W");

    int ticks = 2;
    while (!lcd.welcome_done && ticks < 1000) {
      rig_ticks(1);
      ++ticks;
    }
    EXPECT_EQ(ticks, static_cast<int>(24 + welcome.size())) << "id3 " << id3;
    EXPECT_EQ(rig_rows(1), pass_through(welcome));
    // Row 0 on every other tick during the welcome, starting with the first.
    EXPECT_EQ(rig_rows(0).size(), static_cast<size_t>((ticks + 1) / 2));

    // No title set: the welcome text goes on passing through, one row per tick.
    size_t from = rig.draws.size();
    rig_ticks(4);
    ASSERT_EQ(rig.draws.size() - from, 4u);
    EXPECT_EQ(rig_rows(1, from), (std::vector<std::string>{BLANK_ROW, BLANK_ROW.substr(1) + "W"}));
  }
}

TEST(DisplayScreens, TitleSetDuringTheWelcomeWaitsForItsEnd) {
  rig_start(true, false);
  rig_line("display_startup");
  rig_ticks(10);
  rig_line("display_settitle Short title");
  while (!lcd.welcome_done)
    rig_ticks(1);
  EXPECT_EQ(rig_rows(1), pass_through(WELCOME));
  EXPECT_EQ(next_title_rows(3), std::vector<std::string>(3, padded("Short title")));
}

TEST(DisplayScreens, TitlesThatFitStandLongOnesPauseThenScrollAndReEnter) {
  start_past_welcome();
  const std::string fits(24, 'f');
  rig_line("display_settitle " + fits);
  EXPECT_EQ(next_title_rows(30), std::vector<std::string>(30, fits));

  const std::string title = "ABCDEFGHIJKLMNOPQRSTUVWXY"; // 25 characters
  rig_line("display_settitle " + title);
  std::vector<std::string> rows = next_title_rows(11 + 24 + 49 + 11);
  std::vector<std::string> expected(11, title.substr(0, 24));
  for (int k = 1; k <= 24; ++k)
    expected.push_back(padded(title.substr(k)));
  for (int pass = 0; pass < 2; ++pass) { // re-entering, with no further pause
    for (const std::string &row : pass_through(title))
      expected.push_back(row);
  }
  expected.resize(rows.size());
  EXPECT_EQ(rows, expected);

  // An empty title gives a blank row.
  rig_line("display_settitle ");
  EXPECT_EQ(next_title_rows(2), std::vector<std::string>(2, BLANK_ROW));
}

TEST(DisplayScreens, TitleSelection) {
  // Without "-t" the ID3 title never shows.
  start_past_welcome(false);
  rig_line("display_settitle file title");
  rig_line("display_setid3tagtitle Tag - Title");
  EXPECT_EQ(next_title_rows(2), std::vector<std::string>(2, padded("file title")));

  start_past_welcome(true);
  rig_line("display_settitle file title");
  rig_line("display_setid3tagtitle Tag - Title");
  EXPECT_EQ(next_title_rows(2), std::vector<std::string>(2, padded("Tag - Title")));
  // No tag: the file title, scrolling like any long title.
  const std::string long_file = "A rather long file title here";
  rig_line("display_settitle " + long_file);
  rig_line("display_setid3tagtitle (no-id3-tag)");
  std::vector<std::string> rows = next_title_rows(13);
  EXPECT_EQ(rows[0], long_file.substr(0, 24));
  EXPECT_EQ(rows[10], long_file.substr(0, 24));
  EXPECT_EQ(rows[11], padded(long_file.substr(1)));
  EXPECT_EQ(rows[12], padded(long_file.substr(2)));
  // A later tag replaces the file title shown for want of one.
  rig_line("display_setid3tagtitle Later - Tag");
  EXPECT_EQ(next_title_rows(1)[0], padded("Later - Tag"));
  // A file title beginning with "/" wins over any tag.
  rig_line("display_settitle /mnt/music/odd name");
  EXPECT_EQ(next_title_rows(1)[0], padded("/mnt/music/odd name"));
}

TEST(DisplayScreens, StatusLineInEveryMode) {
  start_past_welcome();
  rig_line("display_setstatus PLAYING 1 23 4");
  rig_line("display_settime +00:01 -03:59");
  rig_line("display_setrandommode all");
  rig_line("display_setvolume 50");
  rig_line("display_setbass 7");
  rig_line("display_settreble 100");
  rig_line("display_setbalance -100");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"0", "1/023/04 PLAY -03:59 all"},
      {"1", "NUMINPUT" + std::string(16, ' ')},
      {"2", "V: 50 b:  7 t:100 B:-100"},
      {"3", BLANK_ROW},
      {"9", BLANK_ROW},
  };
  for (const auto &[mode, row] : cases) {
    rig_line("display_setmode " + mode);
    size_t from = rig.draws.size();
    rig_ticks(2);
    EXPECT_EQ(rig_rows(0, from), std::vector<std::string>{row}) << "mode " << mode;
  }
  // Values beyond the protocol's widths are cut at the row's end.
  rig_line("display_setmode 0");
  rig_line("display_setstatus ST 9 999 99");
  rig_line("display_setrandommode \x1b[x");
  size_t from = rig.draws.size();
  rig_ticks(2);
  EXPECT_EQ(rig_rows(0, from), std::vector<std::string>{"9/999/99   ST -03:59 ?[x"});
}

TEST(DisplayScreens, MixerBarsHoldForElevenDrawsAndTakeTurns) {
  start_past_welcome();
  rig_line("display_settitle Song");
  next_title_rows(1);

  // A change in mode 0 draws no bar; entering mode 2 shows it.
  rig_line("display_setvolume 50");
  EXPECT_EQ(next_title_rows(3), std::vector<std::string>(3, padded("Song")));
  rig_line("display_setmode 2");
  std::vector<std::string> rows = next_title_rows(12);
  const std::string half = std::string(12, '\xff') + std::string(12, ' ');
  EXPECT_EQ(std::vector<std::string>(rows.begin(), rows.begin() + 11),
            std::vector<std::string>(11, half));
  EXPECT_EQ(rows[11], padded("Song"));

  // Volume and balance together: the volume's bar first, then the balance's.
  rig_line("display_setvolume 33");
  rig_line("display_setbalance 0");
  rig_line("display_setbalance -50");
  rows = next_title_rows(23);
  const std::string vol33 = std::string(7, '\xff') + std::string(17, ' ');
  const std::string bal50 = std::string(6, ' ') + std::string(7, '\xff') + std::string(11, ' ');
  for (int i = 0; i < 11; ++i)
    EXPECT_EQ(shown(rows[i]), shown(vol33)) << i;
  for (int i = 11; i < 22; ++i)
    EXPECT_EQ(shown(rows[i]), shown(bal50)) << i;
  EXPECT_EQ(rows[22], padded("Song"));

  // A balance of exactly 0 shows the centre mark.
  rig_line("display_setbalance 0");
  rows = next_title_rows(12);
  EXPECT_EQ(rows[0], std::string(11, ' ') + "||" + std::string(11, ' '));
  EXPECT_EQ(rows[10], rows[0]);
  EXPECT_EQ(rows[11], padded("Song"));

  // The hold belongs to the row: a change during it neither restarts the count nor is
  // lost; the value current at the end counts as shown.
  rig_line("display_setvolume 100");
  rows = next_title_rows(5);
  rig_line("display_setvolume 25");
  std::vector<std::string> more = next_title_rows(7);
  EXPECT_EQ(rows[4], std::string(24, '\xff'));
  EXPECT_EQ(more[5], std::string(6, '\xff') + std::string(18, ' '));
  EXPECT_EQ(more[6], padded("Song"));
  EXPECT_EQ(lcd.shown_volume, 25);

  // A bar cut short by a change of mode leaves its count to the next bar.
  rig_line("display_setbass 40");
  next_title_rows(4); // bar_hold 4
  rig_line("display_setmode 0");
  next_title_rows(2);
  rig_line("display_setmode 2");
  rows = next_title_rows(8);
  EXPECT_EQ(rows[6], std::string(9, '\xff') + std::string(15, ' ')); // 7 more draws end it
  EXPECT_EQ(rows[7], padded("Song"));
}

TEST(DisplayScreens, BarShapes) {
  display = DisplayState();
  struct Case {
    int index, value;
    std::string row;
  };
  auto bar = [](int blanks, int cells) {
    return std::string(blanks, ' ') + std::string(cells, '#') +
           std::string(24 - blanks - cells, ' ');
  };
  const std::vector<Case> cases = {
      {0, 100, bar(0, 24)},   {0, 50, bar(0, 12)},   {0, 33, bar(0, 7)},   {0, 5, bar(0, 1)},
      {0, 4, bar(0, 0)},      {0, 999, bar(0, 24)},  {2, 60, bar(0, 14)},  {3, 101, bar(0, 24)},
      {1, -100, bar(0, 13)},  {1, -50, bar(6, 7)},   {1, -17, bar(10, 3)}, {1, -16, bar(11, 2)},
      {1, 1, bar(11, 2)},     {1, 16, bar(11, 2)},   {1, 50, bar(11, 7)},  {1, 100, bar(11, 13)},
      {1, 9999, bar(11, 13)}, {1, -999, bar(0, 13)},
  };
  for (const Case &c : cases) {
    display.volume = display.balance = display.bass = display.treble = c.value;
    char row[24];
    compose_mixerbar(row, c.index);
    EXPECT_EQ(shown(std::string(row, 24)), c.row) << c.index << " " << c.value;
  }
}

TEST(DisplayCommands, Utf8TitlesBecomeOneCellACharacter) {
  rig_start(false, false);
  rig_line("display_settitle Zo\xc3\xab & Caf\xc3\xa9 \xe2\x82\xac"
           "5 \xf0\x9f\x8e\xb5!");
  EXPECT_STREQ(display.title, "Zo\xeb & Caf\xe9 ?5 ?!");
  // Latin-1 text, and broken sequences, stay as they are.
  rig_line("display_setid3tagtitle Caf\xe9 \xc3 x\xc3");
  EXPECT_STREQ(display.id3tag_title, "Caf\xe9 \xc3 x\xc3");
}

TEST(DisplayScreens, ControlCharactersNeverReachTheDriver) {
  start_past_welcome();
  rig_line("display_settitle A\x1b"
           "cB\tC");
  EXPECT_EQ(next_title_rows(1)[0], padded("A?cB?C"));
  EXPECT_EQ(rig.screen.clears, 0);
}

TEST(DisplayScreens, FarewellWithAndWithoutAStart) {
  const std::string farewell =
      "\033R\033c\033p00,0Thanx for using VELM\033p00,1(powered by Linux!)";
  rig_start(true, false);
  display_close();
  EXPECT_EQ(rig.bytes, "\033R" + farewell);
  EXPECT_EQ(lcd_screen_row(rig.screen, 0), padded("Thanx for using VELM"));
  EXPECT_EQ(lcd_screen_row(rig.screen, 1), padded("(powered by Linux!)"));

  start_past_welcome();
  display_close();
  EXPECT_FALSE(display.started);
  EXPECT_EQ(rig.bytes.substr(rig.bytes.size() - farewell.size()), farewell);
  rig_ticks(3); // no drawing after the end
  EXPECT_EQ(rig.bytes.substr(rig.bytes.size() - farewell.size()), farewell);
}

TEST(DisplayScreens, WithoutItsDeviceTheDisplayRunsAsWithoutLcd) {
  rig = PanelRig();
  rig.device_present = false;
  display = DisplayState();
  lcd = LcdState();
  display.lcd_enabled = true;
  display_init();
  EXPECT_FALSE(display.lcd_enabled);
  rig_line("display_startup");
  rig_line("display_setvolume 5");
  rig_ticks(5);
  display_close();
  EXPECT_TRUE(display.started == false && display.volume == 5);
  EXPECT_EQ(rig.bytes, "");
}

TEST(DisplayScreens, NoMusicTakesTheStatusLineAndLeavesNoTitleOfTheSongThatWent) {
  start_past_welcome(true);
  rig_line("display_setrandommode SEQ");
  rig_line("display_settitle Gone song");
  rig_line("display_setid3tagtitle Artist - Gone");
  rig_line("display_setstatus PLAY 2 1 3");
  rig_line("display_settime +00:05 -01:10");
  rig_line("display_setstatus NO MUSIC");
  EXPECT_STREQ(display.status_text, "NO MUSIC");
  size_t from = rig.draws.size();
  rig_ticks(2);
  EXPECT_EQ(rig_rows(0, from), std::vector<std::string>{"NO MUSIC" + std::string(13, ' ') + "SEQ"});
  EXPECT_EQ(rig_rows(1, from), std::vector<std::string>{BLANK_ROW});
  // Only the whole word: anything else is a status word of four characters as ever.
  rig_line("display_setstatus NO MUSICS 1 1 1");
  EXPECT_STREQ(display.status_text, "NO");
  // The next song takes the line back.
  rig_line("display_setstatus PLAY 1 1 1");
  from = rig.draws.size();
  rig_ticks(2);
  EXPECT_EQ(rig_rows(0, from), std::vector<std::string>{"1/001/01 PLAY        SEQ"});
}
