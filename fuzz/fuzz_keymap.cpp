// Fuzzer of velm_input's key map parser. The input is the text of a map. A map that is
// taken holds only lines of the jukebox's tables (checked here with the senders' own
// table), digits 0 to 9, knob steps of 1, 2 or 4 and settings in their ranges; a map
// that is refused says so as "FILE:LINE: what" with a line number within the text and
// nothing but printable bytes.

#include "commands.h"
#include "keymap.h"
#include "memstream.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void check_action(const Action &a) {
  if (a.act == Act::line)
    FUZZ_CHECK(is_control_line(a.line.c_str()) || is_display_mode_line(a.line.c_str()));
  else
    FUZZ_CHECK(a.line.empty());
  FUZZ_CHECK(a.digit >= 0 && a.digit <= 9);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size);
  Keymap map;
  std::string error;
  if (parse_keymap(text, "fuzz", &map, &error)) {
    for (const auto &[code, rules] : map.keys) {
      FUZZ_CHECK(code > 0);
      check_action(rules.press);
      check_action(rules.hold);
      check_action(rules.repeat);
    }
    for (const auto &[code, rules] : map.axes) {
      FUZZ_CHECK(code >= 0);
      check_action(rules.up);
      check_action(rules.down);
      FUZZ_CHECK(rules.steps == 1 || rules.steps == 2 || rules.steps == 4);
    }
    FUZZ_CHECK(map.debounce_ms >= 0 && map.debounce_ms <= 1000);
    FUZZ_CHECK(map.hold_ms >= 50 && map.hold_ms <= 60000);
    FUZZ_CHECK(map.entry_ms >= 500 && map.entry_ms <= 60000);
    return 0;
  }
  FUZZ_CHECK(error.rfind("fuzz:", 0) == 0);
  long line = std::strtol(error.c_str() + 5, nullptr, 10);
  long lines = 1 + std::count(text.begin(), text.end(), '\n');
  FUZZ_CHECK(line >= 1 && line <= lines);
  for (char c : error)
    FUZZ_CHECK(c >= ' ' && c <= '~');
  return 0;
}
