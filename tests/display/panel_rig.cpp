#include "panel_rig.h"

PanelRig rig;

bool lcd_device_open() {
  rig.device_open = rig.device_present;
  return rig.device_present;
}

void lcd_device_write(const char *bytes, size_t length) {
  if (!rig.device_open)
    return;
  rig.bytes.append(bytes, length);
  for (size_t i = 0; i < length; ++i) {
    switch (lcd_screen_put(rig.screen, static_cast<unsigned char>(bytes[i]))) {
    case LcdEvent::Cursor:
      rig.draws.push_back({rig.screen.row, ""});
      break;
    case LcdEvent::Text:
      if (!rig.draws.empty())
        rig.draws.back().text += bytes[i];
      break;
    default:
      break;
    }
  }
}

void lcd_device_close() {
  rig.device_open = false;
}

void timer_init() {
  ++rig.timer_arms;
}

void rig_start(bool lcd_enabled, bool id3_enabled) {
  rig = PanelRig();
  display = DisplayState();
  lcd = LcdState();
  display.lcd_enabled = lcd_enabled;
  display.id3_enabled = id3_enabled;
  display_init();
}

void rig_line(const std::string &line) {
  display_dispatch(line.c_str(), rig.buffers);
}

void rig_ticks(int n) {
  for (int i = 0; i < n; ++i) {
    if (display.started && display.lcd_enabled)
      lcd_update();
  }
}

std::vector<std::string> rig_rows(int row, size_t from) {
  std::vector<std::string> rows;
  for (size_t i = from; i < rig.draws.size(); ++i) {
    if (rig.draws[i].row == row)
      rows.push_back(rig.draws[i].text);
  }
  return rows;
}

std::string shown(const std::string &text) {
  std::string out = text;
  for (char &c : out) {
    if (c == '\xff')
      c = '#';
    else if (c == '\033')
      c = '^';
  }
  return out;
}
