// Drawing the display state on the 2x24 LCD: the status line on row 0; on row 1 the
// title, scrolling when it is too long, or a mixer value's bar while it changes.

#include "daemon.h"
#include "display.h"
#include "lcdproto.h"
#include "panel_feed.h"

#include <cstdio>
#include <cstring>

LcdState lcd;

namespace {

const char NO_ID3_TAG[] = "(no-id3-tag)";
const char FAREWELL_TOP[] = "Thanx for using VELM";
const char FAREWELL_BOTTOM[] = "(powered by Linux!)";

void lcd_write(const char *bytes, size_t length) {
  lcd_device_write(bytes, length);
}

void lcd_write_text(const char *text) {
  lcd_write(text, strlen(text));
}

// Lays text on a row of 24 characters, cut after the 24th or filled up with blanks.
// Control characters would reach the panel's driver as commands: they show as "?".
void fit_row(char *row, const char *text) {
  size_t i = 0;
  for (; i < LCD_COLUMNS && text[i] != '\0'; ++i)
    row[i] = text[i];
  memset(row + i, ' ', LCD_COLUMNS - i);
}

void mask_control_characters(char *row) {
  for (int i = 0; i < LCD_COLUMNS; ++i) {
    auto c = static_cast<unsigned char>(row[i]);
    if (c < 0x20 || c == 0x7f)
      row[i] = '?';
  }
}

// The mixer values in the order in which their bars take turns.
int *mixer_value(int index) {
  int *const values[] = {&display.volume, &display.balance, &display.bass, &display.treble};
  return values[index];
}

int *shown_value(int index) {
  int *const values[] = {&lcd.shown_volume, &lcd.shown_balance, &lcd.shown_bass, &lcd.shown_treble};
  return values[index];
}

// The first mixer value that differs from its shown value, or -1.
int changed_value() {
  for (int i = 0; i < 4; ++i) {
    if (*mixer_value(i) != *shown_value(i))
      return i;
  }
  return -1;
}

void fill(char *row, long first, long last, char c) {
  if (first < 0)
    first = 0;
  if (last > LCD_COLUMNS - 1)
    last = LCD_COLUMNS - 1;
  for (long i = first; i <= last; ++i)
    row[i] = c;
}

} // namespace

const char *display_title() {
  if (display.id3_enabled && strcmp(display.id3tag_title, NO_ID3_TAG) != 0 &&
      display.title[0] != '/')
    return display.id3tag_title;
  return display.title;
}

namespace {

void compose_statusline(char *row) {
  char text[128];
  switch (display.display_mode) {
  case 0:
    if (strcmp(display.status_text, NO_MUSIC_WORD) == 0) {
      snprintf(text, sizeof text, "%-20s%4s", NO_MUSIC_WORD, display.random_mode);
      break;
    }
    snprintf(text, sizeof text, "%1i/%03i/%02i %4s %6s %3s", display.status_device,
             display.status_list, display.status_song, display.status_text, display.time_remaining,
             display.random_mode);
    break;
  case 1:
    snprintf(text, sizeof text, "NUMINPUT");
    break;
  case 2:
    snprintf(text, sizeof text, "V:%3i b:%3i t:%3i B:%4i", display.volume, display.bass,
             display.treble, display.balance);
    break;
  default:
    text[0] = '\0';
    break;
  }
  fit_row(row, text);
  mask_control_characters(row);
}

void compose_title(char *row) {
  memset(row, ' ', LCD_COLUMNS);
  long length = static_cast<long>(strlen(lcd.shown_title));
  long offset = lcd.title_offset;
  long skip = offset < 0 ? -offset : 0;
  for (long column = offset < 0 ? 0 : offset, i = skip; column < LCD_COLUMNS && i < length;
       ++column, ++i)
    row[column] = lcd.shown_title[i];
  mask_control_characters(row);
}

} // namespace

void compose_mixerbar(char *row, int value_index) {
  memset(row, ' ', LCD_COLUMNS);
  long value = *mixer_value(value_index);
  if (value_index != 1) {
    fill(row, 0, value * LCD_COLUMNS / 100 - 1, LCD_BAR_GLYPH);
    return;
  }
  long n = value * 12 / 100;
  if (n < 0)
    fill(row, 12 + n, 12, LCD_BAR_GLYPH);
  else if (n > 0)
    fill(row, 11, 11 + n, LCD_BAR_GLYPH);
  else
    fill(row, 11, 12, value == 0 ? '|' : LCD_BAR_GLYPH);
}

void lcd_init() {
  debug_trace("lcd_init");
  if (!lcd_device_open()) {
    // Without its device the display runs on as without "-l".
    display.lcd_enabled = false;
    return;
  }
  lcd_reset();
}

void lcd_reset() {
  debug_trace("lcd_reset");
  lcd_write(LCD_RESET, sizeof LCD_RESET - 1);
}

void lcd_clear() {
  debug_trace("lcd_clear");
  lcd_write(LCD_CLEAR, sizeof LCD_CLEAR - 1);
}

namespace {

void lcd_setcursor(int column, int row) {
  char sequence[32];
  int length = snprintf(sequence, sizeof sequence, LCD_CURSOR_FORMAT, column, row);
  lcd_write(sequence, static_cast<size_t>(length));
}

// Keeps a row as composed for the feed, then draws it.
void lcd_row(int index, const char *row) {
  memcpy(lcd.rows[index], row, LCD_COLUMNS);
  lcd_write(row, LCD_COLUMNS);
}

void lcd_statusline() {
  char row[LCD_COLUMNS];
  compose_statusline(row);
  lcd_row(0, row);
}

void lcd_title() {
  const char *selected = display_title();
  if (lcd.welcome_done && strcmp(lcd.shown_title, selected) != 0) {
    debug_trace("lcd_title_changed");
    copy_text(lcd.shown_title, sizeof lcd.shown_title, selected);
    lcd.title_offset = 0;
    if (strlen(lcd.shown_title) > LCD_COLUMNS)
      lcd.title_pause = 10;
  }
  char row[LCD_COLUMNS];
  compose_title(row);
  lcd_row(1, row);

  auto length = static_cast<int>(strlen(lcd.shown_title));
  if (lcd.welcome_done && length <= LCD_COLUMNS && lcd.title_offset == 0)
    return; // a title that fits stands still
  if (lcd.title_pause > 0)
    --lcd.title_pause;
  else
    --lcd.title_offset;
  if (lcd.title_offset == -length) {
    lcd.title_offset = LCD_COLUMNS;
    lcd.welcome_done = true;
  }
}

void lcd_mixerbar() {
  int index = changed_value();
  if (index < 0)
    return;
  // The hold counter belongs to the bar row: a change during the hold does not start the
  // count again, and the value current at its end counts as shown.
  if (lcd.bar_hold >= 10) {
    *shown_value(index) = *mixer_value(index);
    lcd.bar_hold = 0;
  } else {
    ++lcd.bar_hold;
  }
  char row[LCD_COLUMNS];
  compose_mixerbar(row, index);
  lcd_row(1, row);
}

} // namespace

void lcd_startup() {
  debug_trace("lcd_startup");
  lcd_write(LCD_START, sizeof LCD_START - 1);
  lcd_compose_startup();
}

void lcd_compose_startup() {
  // The start sequence blanks the panel.
  memset(lcd.rows, ' ', sizeof lcd.rows);
  const char *welcome = display.id3_enabled ? display.id3tag_title : display.title;
  copy_text(lcd.shown_title, sizeof lcd.shown_title, welcome);
  lcd.title_offset = LCD_COLUMNS;
  lcd.tick_phase = 1;
  lcd.title_pause = 0;
  lcd.welcome_done = false;
}

void lcd_update() {
  if (lcd.tick_phase == 1) {
    lcd_setcursor(0, 0);
    lcd_statusline();
    if (!lcd.welcome_done) {
      lcd_setcursor(0, 1);
      lcd_title();
    }
  } else if (lcd.tick_phase == 2) {
    lcd_setcursor(0, 1);
    if (display.display_mode == 2 && lcd.welcome_done && changed_value() >= 0)
      lcd_mixerbar();
    else
      lcd_title();
  }
  if (++lcd.tick_phase > 2)
    lcd.tick_phase = 1;
}

void lcd_close() {
  debug_trace("lcd_close");
  lcd_reset();
  lcd_clear();
  lcd_setcursor(0, 0);
  lcd_write_text(FAREWELL_TOP);
  lcd_setcursor(0, 1);
  lcd_write_text(FAREWELL_BOTTOM);
  lcd_device_close();
}

PanelFeed display_feed() {
  PanelFeed feed;
  for (int r = 0; r < LCD_ROWS; ++r) {
    feed.rows[r].assign(lcd.rows[r], LCD_COLUMNS);
    // A row never composed is the blank row of the panel's reset.
    for (char &c : feed.rows[r]) {
      if (c == '\0')
        c = ' ';
    }
  }
  feed.title = display_title();
  feed.status = display.status_text;
  feed.device = display.status_device;
  feed.list = display.status_list;
  feed.song = display.status_song;
  feed.time = display.time_remaining;
  feed.order = display.random_mode;
  feed.mode = display.display_mode;
  feed.volume = display.volume;
  feed.balance = display.balance;
  feed.bass = display.bass;
  feed.treble = display.treble;
  return feed;
}
