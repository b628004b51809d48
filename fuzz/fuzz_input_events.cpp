// Fuzzer of velm_input's interpreter: any stream of events, lircd lines, timers and
// devices that go, on the built-in map or on one with holds, knob steps and lircd names.
// Whatever comes out is a line of the control daemon's table or a display mode line; a
// number never has more than four digits; after the timers of a moment nothing is left
// due at that moment; a device gone leaves nothing of its own behind. The input is
//
//   byte 0       bit 0: the second map
//   then steps of 8 bytes:
//     byte 0     what: bits 0-2 the kind (key, axis, SYN, timers, device gone, lircd
//                line), bits 3-4 the device (0 is the lircd connection)
//     bytes 1-2  the code (little endian)
//     bytes 3-6  the value (little endian, any int)
//     byte 7     milliseconds since the step before

#include "commands.h"
#include "interpret.h"
#include "keymap.h"
#include "memstream.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <linux/input-event-codes.h>
#include <string>

namespace {

const char SECOND_MAP[] = "KEY_NEXTSONG press player_nextsong\n"
                          "KEY_NEXTSONG hold player_jumpfw\n"
                          "KEY_NEXTSONG repeat player_jump 100\n"
                          "KEY_1 press digit 1\nKEY_2 hold digit 2\nKEY_OK press enter\n"
                          "KEY_OK hold enter-list\nKEY_MODE repeat mode\n"
                          "lirc:power press player_stop\nlirc:power hold display_setmode 3\n"
                          "REL_DIAL up mixer_volumeup\nREL_DIAL down digit 9\n"
                          "REL_WHEEL up player_gotosong 12\nREL_WHEEL down mixer_bassdown\n"
                          "set steps REL_DIAL 4\nset reverse REL_DIAL\nset steps REL_WHEEL 2\n"
                          "set debounce 5\nset hold 60\nset entry 500\n";

// Key codes the maps use, so the fuzzer reaches them often; others come as they are.
const int KEYS[] = {KEY_NEXTSONG, KEY_1, KEY_2,     KEY_OK,   KEY_MODE,
                    KEY_VOLUMEUP, KEY_0, KEY_ENTER, KEY_LIST, KEY_PLAYPAUSE};
const char *const BUTTONS[] = {"KEY_NEXTSONG", "power", "KEY_1", "KEY_OK", "KEY_VOLUMEUP", "x"};

void check(Interpreter &in, std::vector<OutLine> &out) {
  for (const OutLine &l : out) {
    if (l.fifo == Fifo::control)
      FUZZ_CHECK(is_control_line(l.text.c_str()));
    else
      FUZZ_CHECK(is_display_mode_line(l.text.c_str()));
  }
  out.clear();
  FUZZ_CHECK(in.number.size() <= 4);
  FUZZ_CHECK(in.number.empty() == (in.entry_deadline < 0));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1)
    return 0;
  static Keymap maps[2];
  static bool loaded = false;
  if (!loaded) {
    std::string error;
    FUZZ_CHECK(load_keymap(nullptr, &maps[0], &error));
    FUZZ_CHECK(parse_keymap(SECOND_MAP, "fuzz", &maps[1], &error));
    loaded = true;
  }
  Interpreter in;
  in.map = &maps[data[0] & 1];
  std::vector<OutLine> out;
  long long now = 0;
  for (size_t i = 1; i + 8 <= size; i += 8) {
    const uint8_t *s = data + i;
    int kind = s[0] & 7, device = (s[0] >> 3) & 3;
    int code = s[1] | s[2] << 8;
    uint32_t bits = static_cast<uint32_t>(s[3]) | static_cast<uint32_t>(s[4]) << 8 |
                    static_cast<uint32_t>(s[5]) << 16 | static_cast<uint32_t>(s[6]) << 24;
    int value;
    memcpy(&value, &bits, sizeof value);
    now += s[7];
    switch (kind) {
    case 0: // a key: small codes stand for the maps' keys
      interpret_event(in, {device, EV_KEY, code < 10 ? KEYS[code] : code, value % 4, now}, out);
      break;
    case 1:
      interpret_event(in, {device, EV_REL, code & 0x0f, value, now}, out);
      break;
    case 2:
      interpret_event(in, {device, EV_SYN, code & 3, value, now}, out);
      break;
    case 3: {
      input_timers(in, now, out);
      long long due = input_deadline(in);
      FUZZ_CHECK(due < 0 || due > now);
      break;
    }
    case 4:
      input_device_gone(in, device);
      for (const HeldKey &k : in.held)
        FUZZ_CHECK(k.device != device);
      for (const auto &p : in.partial)
        FUZZ_CHECK(p.first.first != device);
      break;
    default: {
      char line[128];
      snprintf(line, sizeof line, "%016x %02x %s remote", bits, code & 3,
               BUTTONS[static_cast<unsigned>(s[1]) % 6]);
      if (value < 0)
        line[value & 31] = static_cast<char>(s[2]);
      lirc_line(in, 0, line, now, out);
      break;
    }
    }
    check(in, out);
  }
  input_timers(in, now + 100000, out);
  check(in, out);
  return 0;
}
