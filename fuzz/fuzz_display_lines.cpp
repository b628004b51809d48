// Fuzzer of the display daemon's core: the input is a stream of display command lines,
// split as the read loop splits them, each followed by a few timer ticks. Every byte
// the drawing writes goes through the LCD screen model, which must see only well-formed
// sequences and rows of exactly 24 characters, whatever the lines held.

#include "daemon.h"
#include "display.h"
#include "lcdscreen.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

LcdScreen screen;
int row_length = -1; // characters since the last cursor sequence; -1 before the first
bool closing;        // the farewell lines are shorter than a row

void check(bool ok) {
  if (!ok)
    abort();
}

void end_row() {
  if (row_length >= 0 && !closing)
    check(row_length == LCD_COLUMNS);
  row_length = -1;
}

bool same_drawing_state(const LcdState &a, const LcdState &b) {
  return strcmp(a.shown_title, b.shown_title) == 0 && a.title_offset == b.title_offset &&
         a.title_pause == b.title_pause && a.welcome_done == b.welcome_done &&
         a.tick_phase == b.tick_phase && a.shown_volume == b.shown_volume &&
         a.shown_balance == b.shown_balance && a.shown_bass == b.shown_bass &&
         a.shown_treble == b.shown_treble && a.bar_hold == b.bar_hold;
}

} // namespace

bool lcd_device_open() {
  return true;
}

void lcd_device_write(const char *bytes, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    switch (lcd_screen_put(screen, static_cast<unsigned char>(bytes[i]))) {
    case LcdEvent::Cursor:
      end_row();
      row_length = 0;
      check(screen.row >= 0 && screen.row < LCD_ROWS && screen.column == 0);
      break;
    case LcdEvent::Text:
      check(row_length >= 0);
      ++row_length;
      break;
    case LcdEvent::None:
      break;
    default:
      end_row();
      break;
    }
  }
  check(screen.ignored == 0);
}

void lcd_device_close() {}

void timer_init() {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0)
    return 0;
  screen = LcdScreen();
  row_length = -1;
  closing = false;
  display = DisplayState();
  lcd = LcdState();
  display.lcd_enabled = true;
  display.id3_enabled = (data[0] & 1) != 0;
  display_init();

  ArgumentBuffers buffers = {};
  LineAssembler assembler;
  const char *p = reinterpret_cast<const char *>(data) + 1;
  const char *end = reinterpret_cast<const char *>(data) + size;
  auto run = [&](const char *line) {
    display_dispatch(line, buffers);
    for (size_t ticks = strlen(line) % 7; ticks > 0; --ticks) {
      if (display.started)
        lcd_update();
      end_row();
      check(!display.started || lcd.tick_phase == 1 || lcd.tick_phase == 2);
      check(lcd.bar_hold >= 0 && lcd.bar_hold <= 10);
      check(lcd.title_offset <= LCD_COLUMNS && lcd.title_offset > -TITLE_SIZE);
      check(strlen(display.title) < TITLE_SIZE &&
            (strlen(display.status_text) <= STATUS_WORD_MAX ||
             strcmp(display.status_text, NO_MUSIC_WORD) == 0));
    }
  };
  while (ipc_take_line(assembler, p, end))
    run(assembler.line);
  if (ipc_take_last_line(assembler))
    run(assembler.line);
  // A scrolling title keeps going: run it past a whole pass (a row 1 draw every other
  // tick), its pause included. The lines are over, so the drawing depends on the drawing
  // state alone: once a two-tick cycle leaves that state as it found it, every later
  // cycle draws the same again, and the pass can stop there.
  int pass = static_cast<int>(strlen(lcd.shown_title)) + LCD_COLUMNS + 12;
  for (int i = 0; i < pass && display.started; ++i) {
    LcdState before = lcd;
    for (int tick = 0; tick < 2; ++tick) {
      lcd_update();
      end_row();
    }
    if (same_drawing_state(before, lcd))
      break;
  }
  closing = true;
  display_close();
  return 0;
}
