// velm_input's interpreter: events in, lines out, with the time of each event given by
// the test. Presses, holds and repeats, the debounce, knobs with 1, 2 and 4 steps per
// detent, the number entry, lircd's buttons, lost events and devices that go.

#include "commands.h"
#include "interpret.h"
#include "keymap.h"

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

// An interpreter on a map, and the lines it wrote, "control LINE" or "display LINE".
struct Rig {
  Keymap map;
  Interpreter in;
  std::vector<OutLine> out;

  explicit Rig(const std::string &text = "") {
    std::string error;
    bool ok = text.empty() ? load_keymap(nullptr, &map, &error)
                           : parse_keymap(text, "test", &map, &error);
    EXPECT_TRUE(ok) << error;
    in.map = &map;
  }
  Lines take() {
    Lines lines;
    for (const OutLine &l : out) {
      // Whatever comes out is a line of the table.
      EXPECT_TRUE(l.fifo == Fifo::control ? is_control_line(l.text.c_str())
                                          : is_display_mode_line(l.text.c_str()))
          << l.text;
      lines.push_back((l.fifo == Fifo::control ? "control " : "display ") + l.text);
    }
    out.clear();
    return lines;
  }
  Lines event(int type, int code, int value, long long ms, int device = 1) {
    interpret_event(in, {device, type, code, value, ms}, out);
    return take();
  }
  Lines press(int code, long long ms, int device = 1) { return event(EV_KEY, code, 1, ms, device); }
  Lines release(int code, long long ms, int device = 1) {
    return event(EV_KEY, code, 0, ms, device);
  }
  Lines repeat(int code, long long ms, int device = 1) {
    return event(EV_KEY, code, 2, ms, device);
  }
  Lines turn(int axis, int value, long long ms, int device = 1) {
    return event(EV_REL, axis, value, ms, device);
  }
  Lines click(int code, long long ms) {
    Lines lines = press(code, ms);
    Lines more = release(code, ms + 50);
    lines.insert(lines.end(), more.begin(), more.end());
    return lines;
  }
  Lines timers(long long now) {
    input_timers(in, now, out);
    return take();
  }
  Lines lirc(const char *line, long long ms) {
    lirc_line(in, 0, line, ms, out);
    return take();
  }
};

Lines times(int n, const std::string &line) {
  return Lines(static_cast<size_t>(n), line);
}

} // namespace

TEST(InputInterpreter, EveryDefaultKey) {
  struct Case {
    int code;
    const char *line;
  } const cases[] = {
      {KEY_PLAYPAUSE, "player_pause"},
      {KEY_PLAY, "player_pause"},
      {KEY_PAUSE, "player_pause"},
      {KEY_PLAYCD, "player_pause"},
      {KEY_PAUSECD, "player_pause"},
      {KEY_MUTE, "player_pause"},
      {KEY_STOP, "player_stop"},
      {KEY_STOPCD, "player_stop"},
      {KEY_INFO, "player_sayinfo"},
      {KEY_CHANNELUP, "player_nextlist"},
      {KEY_CHANNELDOWN, "player_prevlist"},
      {KEY_FASTFORWARD, "player_jumpfw"},
      {KEY_REWIND, "player_jumpbw"},
      {KEY_VOLUMEUP, "mixer_volumeup"},
      {KEY_VOLUMEDOWN, "mixer_volumedown"},
      {KEY_KPPLUS, "mixer_volumeup"},
      {KEY_KPMINUS, "mixer_volumedown"},
  };
  Rig rig;
  long long t = 1000;
  for (const Case &c : cases) {
    EXPECT_EQ(rig.click(c.code, t), Lines{std::string("control ") + c.line}) << c.code;
    t += 1000;
  }
  // Repeats: volume and the jumps.
  for (const Case &c : cases) {
    bool repeats = c.code == KEY_VOLUMEUP || c.code == KEY_VOLUMEDOWN || c.code == KEY_KPPLUS ||
                   c.code == KEY_KPMINUS || c.code == KEY_FASTFORWARD || c.code == KEY_REWIND;
    rig.press(c.code, t);
    EXPECT_EQ(rig.repeat(c.code, t + 300),
              repeats ? Lines{std::string("control ") + c.line} : Lines{})
        << c.code;
    rig.release(c.code, t + 400);
    t += 1000;
  }
  // Next and previous: the press on release, the hold a jump.
  struct Held {
    int code;
    const char *press, *hold;
  } const held[] = {{KEY_NEXTSONG, "player_nextsong", "player_jumpfw"},
                    {KEY_NEXT, "player_nextsong", "player_jumpfw"},
                    {KEY_PREVIOUSSONG, "player_prevsong", "player_jumpbw"},
                    {KEY_PREVIOUS, "player_prevsong", "player_jumpbw"}};
  for (const Held &h : held) {
    EXPECT_EQ(rig.press(h.code, t), Lines{});
    EXPECT_EQ(rig.release(h.code, t + 200), Lines{std::string("control ") + h.press});
    t += 1000;
    rig.press(h.code, t);
    EXPECT_EQ(rig.timers(t + 799), Lines{});
    EXPECT_EQ(rig.timers(t + 800), Lines{std::string("control ") + h.hold});
    EXPECT_EQ(rig.release(h.code, t + 900), Lines{});
    t += 1000;
  }
  // Digits of the three rows, and the keys that end a number.
  const int rows[][10] = {
      {KEY_0, KEY_1, KEY_2, KEY_3, KEY_4, KEY_5, KEY_6, KEY_7, KEY_8, KEY_9},
      {KEY_NUMERIC_0, KEY_NUMERIC_1, KEY_NUMERIC_2, KEY_NUMERIC_3, KEY_NUMERIC_4, KEY_NUMERIC_5,
       KEY_NUMERIC_6, KEY_NUMERIC_7, KEY_NUMERIC_8, KEY_NUMERIC_9},
      {KEY_KP0, KEY_KP1, KEY_KP2, KEY_KP3, KEY_KP4, KEY_KP5, KEY_KP6, KEY_KP7, KEY_KP8, KEY_KP9}};
  for (const auto &row : rows) {
    for (int digit = 0; digit < 10; ++digit) {
      EXPECT_EQ(rig.click(row[digit], t), Lines{"display display_setmode 1"});
      EXPECT_EQ(
          rig.click(KEY_ENTER, t + 100),
          (Lines{"control player_gotosong " + std::to_string(digit), "display display_setmode 0"}));
      t += 1000;
    }
  }
  for (int end : {KEY_OK, KEY_ENTER, KEY_KPENTER, KEY_LIST, KEY_KPDOT}) {
    rig.click(KEY_4, t);
    rig.click(KEY_2, t + 100);
    std::string word = end == KEY_LIST || end == KEY_KPDOT ? "player_gotolist" : "player_gotosong";
    EXPECT_EQ(rig.click(end, t + 200),
              (Lines{"control " + word + " 42", "display display_setmode 0"}))
        << end;
    t += 1000;
  }
  // The mode keys, and both knobs.
  EXPECT_EQ(rig.click(KEY_MODE, t), Lines{"display display_setmode 2"});
  EXPECT_EQ(rig.click(KEY_MENU, t + 1000), Lines{"display display_setmode 0"});
  for (int axis : {REL_DIAL, REL_WHEEL}) {
    EXPECT_EQ(rig.turn(axis, 1, t), Lines{"control mixer_volumeup"});
    EXPECT_EQ(rig.turn(axis, -1, t), Lines{"control mixer_volumedown"});
  }
  // Keys the map leaves out do nothing.
  EXPECT_EQ(rig.click(KEY_A, t + 3000), Lines{});
  EXPECT_EQ(rig.turn(REL_X, 5, t + 3000), Lines{});
}

TEST(InputInterpreter, PressHoldRepeat) {
  Rig rig("KEY_NEXTSONG press player_nextsong\n"
          "KEY_NEXTSONG hold player_jumpfw\n"
          "KEY_NEXTSONG repeat mixer_bassup\n"
          "KEY_STOP hold player_stop\n"
          "KEY_VOLUMEUP press mixer_volumeup\n"
          "KEY_VOLUMEUP repeat mixer_volumeup\n"
          "set hold 500\n");
  // Without a hold rule, at once; repeats while held; nothing on the release.
  EXPECT_EQ(rig.press(KEY_VOLUMEUP, 0), Lines{"control mixer_volumeup"});
  EXPECT_EQ(input_deadline(rig.in), -1) << "nothing is pending: poll waits without a timeout";
  EXPECT_EQ(rig.repeat(KEY_VOLUMEUP, 250), Lines{"control mixer_volumeup"});
  EXPECT_EQ(rig.repeat(KEY_VOLUMEUP, 283), Lines{"control mixer_volumeup"});
  EXPECT_EQ(rig.release(KEY_VOLUMEUP, 300), Lines{});
  // A repeat of a key not seen down does nothing.
  EXPECT_EQ(rig.repeat(KEY_VOLUMEUP, 400), Lines{});
  // With a hold rule: the deadline is the hold; let go before, the press line.
  EXPECT_EQ(rig.press(KEY_NEXTSONG, 1000), Lines{});
  EXPECT_EQ(input_deadline(rig.in), 1500);
  EXPECT_EQ(rig.timers(1499), Lines{});
  EXPECT_EQ(rig.release(KEY_NEXTSONG, 1499), Lines{"control player_nextsong"});
  EXPECT_EQ(input_deadline(rig.in), -1);
  EXPECT_EQ(rig.timers(5000), Lines{});
  // Held: the hold line once, repeats as they come, nothing on the release.
  rig.press(KEY_NEXTSONG, 6000);
  EXPECT_EQ(rig.repeat(KEY_NEXTSONG, 6250), Lines{"control mixer_bassup"});
  EXPECT_EQ(rig.timers(6600), Lines{"control player_jumpfw"});
  EXPECT_EQ(rig.timers(7600), Lines{});
  EXPECT_EQ(rig.release(KEY_NEXTSONG, 8000), Lines{});
  // A hold rule alone: a short press sends nothing.
  rig.press(KEY_STOP, 9000);
  EXPECT_EQ(rig.release(KEY_STOP, 9100), Lines{});
  rig.press(KEY_STOP, 10000);
  EXPECT_EQ(rig.timers(10500), Lines{"control player_stop"});
}

TEST(InputInterpreter, DebounceCountsDoubleReportsOnce) {
  Rig rig("KEY_PLAYPAUSE press player_pause\nKEY_NEXTSONG press player_nextsong\n"
          "KEY_NEXTSONG hold player_jumpfw\nset debounce 30\n");
  // The press reported twice (no release between), in the same read.
  EXPECT_EQ(rig.press(KEY_PLAYPAUSE, 100), Lines{"control player_pause"});
  EXPECT_EQ(rig.press(KEY_PLAYPAUSE, 100), Lines{});
  EXPECT_EQ(rig.release(KEY_PLAYPAUSE, 150), Lines{});
  // A contact that bounces: press, release, press within 30 ms of each other.
  EXPECT_EQ(rig.press(KEY_PLAYPAUSE, 1000), Lines{"control player_pause"});
  EXPECT_EQ(rig.release(KEY_PLAYPAUSE, 1010), Lines{});
  EXPECT_EQ(rig.press(KEY_PLAYPAUSE, 1020), Lines{});
  EXPECT_EQ(rig.release(KEY_PLAYPAUSE, 1100), Lines{});
  // On letting go, too: the bounce after a release.
  EXPECT_EQ(rig.press(KEY_PLAYPAUSE, 1129), Lines{});
  EXPECT_EQ(rig.release(KEY_PLAYPAUSE, 1135), Lines{});
  // 30 ms after the last edge it is a press again.
  EXPECT_EQ(rig.press(KEY_PLAYPAUSE, 1165), Lines{"control player_pause"});
  EXPECT_EQ(rig.release(KEY_PLAYPAUSE, 1200), Lines{});
  // Another device's press of the same key is its own.
  EXPECT_EQ(rig.press(KEY_PLAYPAUSE, 1210, 2), Lines{"control player_pause"});
  // A key with a hold rule bouncing: one press line.
  EXPECT_EQ(rig.press(KEY_NEXTSONG, 2000), Lines{});
  EXPECT_EQ(rig.release(KEY_NEXTSONG, 2005), Lines{"control player_nextsong"});
  EXPECT_EQ(rig.press(KEY_NEXTSONG, 2010), Lines{});
  EXPECT_EQ(rig.release(KEY_NEXTSONG, 2015), Lines{});
  EXPECT_EQ(rig.timers(4000), Lines{});
  // Without a debounce, every press counts.
  Rig none("KEY_PLAYPAUSE press player_pause\nset debounce 0\n");
  EXPECT_EQ(none.press(KEY_PLAYPAUSE, 0), Lines{"control player_pause"});
  EXPECT_EQ(none.release(KEY_PLAYPAUSE, 0), Lines{});
  EXPECT_EQ(none.press(KEY_PLAYPAUSE, 0), Lines{"control player_pause"});
}

TEST(InputInterpreter, KnobsCountDetents) {
  const std::string rules = "REL_DIAL up mixer_volumeup\nREL_DIAL down mixer_volumedown\n";
  for (int steps : {1, 2, 4}) {
    SCOPED_TRACE("steps " + std::to_string(steps));
    Rig rig(rules + "set steps REL_DIAL " + std::to_string(steps) + "\n");
    // Slow: one step a record; a detent every `steps` records.
    Lines slow;
    for (int i = 0; i < 4 * steps; ++i) {
      Lines l = rig.turn(REL_DIAL, 1, i * 100LL);
      EXPECT_EQ(l.size(), (i + 1) % steps == 0 ? 1U : 0U) << i;
      slow.insert(slow.end(), l.begin(), l.end());
    }
    EXPECT_EQ(slow, times(4, "control mixer_volumeup"));
    // Fast: several steps in one record, a part of a detent left for the next.
    EXPECT_EQ(rig.turn(REL_DIAL, -(4 * steps - 1), 1000), times(3, "control mixer_volumedown"));
    EXPECT_EQ(rig.turn(REL_DIAL, -1, 1001), times(1, "control mixer_volumedown"));
    EXPECT_EQ(rig.turn(REL_DIAL, 7 * steps, 1002), times(7, "control mixer_volumeup"));
    if (steps > 1) {
      // Back and forth within a detent sends nothing.
      EXPECT_EQ(rig.turn(REL_DIAL, 1, 1100), Lines{});
      EXPECT_EQ(rig.turn(REL_DIAL, -1, 1101), Lines{});
      EXPECT_EQ(rig.turn(REL_DIAL, steps - 1, 1102), Lines{});
      EXPECT_EQ(rig.turn(REL_DIAL, 1, 1103), Lines{"control mixer_volumeup"});
      // Partial steps belong to their device.
      EXPECT_EQ(rig.turn(REL_DIAL, steps - 1, 1200, 1), Lines{});
      EXPECT_EQ(rig.turn(REL_DIAL, 1, 1201, 2), Lines{});
      EXPECT_EQ(rig.turn(REL_DIAL, 1, 1202, 1), Lines{"control mixer_volumeup"});
    }
  }
  Rig reversed(rules + "set reverse REL_DIAL\nset steps REL_DIAL 2\n");
  EXPECT_EQ(reversed.turn(REL_DIAL, 4, 0), times(2, "control mixer_volumedown"));
  EXPECT_EQ(reversed.turn(REL_DIAL, -2, 0), times(1, "control mixer_volumeup"));
  // A value no hand turns is bounded, and nothing overflows.
  Rig wild(rules);
  EXPECT_EQ(wild.turn(REL_DIAL, 2147483647, 0).size(), 64U);
  EXPECT_EQ(wild.turn(REL_DIAL, -2147483647 - 1, 0).size(), 64U);
  EXPECT_EQ(wild.turn(REL_DIAL, 1, 0), Lines{"control mixer_volumeup"});
}

TEST(InputInterpreter, NumberEntry) {
  Rig rig("KEY_1 press digit 1\nKEY_2 press digit 2\nKEY_0 press digit 0\n"
          "KEY_OK press enter\nKEY_LIST press enter-list\nKEY_MODE press mode\n"
          "KEY_STOP press player_stop\nset entry 3000\n");
  // NUMINPUT at the first digit; enter sends the song, then the mode goes back.
  EXPECT_EQ(rig.click(KEY_1, 0), Lines{"display display_setmode 1"});
  EXPECT_EQ(rig.click(KEY_2, 500), Lines{});
  EXPECT_EQ(rig.click(KEY_OK, 1000),
            (Lines{"control player_gotosong 12", "display display_setmode 0"}));
  EXPECT_EQ(input_deadline(rig.in), -1);
  // Enter without a number does nothing.
  EXPECT_EQ(rig.click(KEY_OK, 2000), Lines{});
  // The mode key's choice is the mode gone back to; the list key ends in a list.
  EXPECT_EQ(rig.click(KEY_MODE, 3000), Lines{"display display_setmode 2"});
  rig.click(KEY_0, 4000);
  rig.click(KEY_2, 4100);
  EXPECT_EQ(rig.click(KEY_LIST, 4200),
            (Lines{"control player_gotolist 02", "display display_setmode 2"}));
  // At most four digits.
  for (int i = 0; i < 6; ++i)
    rig.click(i % 2 ? KEY_1 : KEY_2, 5000 + i * 100);
  EXPECT_EQ(rig.click(KEY_OK, 6000),
            (Lines{"control player_gotosong 2121", "display display_setmode 2"}));
  // Left alone, the number is entered after the entry time of its last digit.
  rig.click(KEY_1, 7000);
  rig.click(KEY_2, 8000);
  EXPECT_EQ(input_deadline(rig.in), 11000);
  EXPECT_EQ(rig.timers(10999), Lines{});
  EXPECT_EQ(rig.timers(11000), (Lines{"control player_gotosong 12", "display display_setmode 2"}));
  EXPECT_EQ(input_deadline(rig.in), -1);
  // Another key drops the number, and does nothing else.
  rig.click(KEY_1, 12000);
  EXPECT_EQ(rig.click(KEY_STOP, 12500), Lines{"display display_setmode 2"});
  EXPECT_EQ(rig.timers(20000), Lines{});
  rig.click(KEY_1, 21000);
  EXPECT_EQ(rig.click(KEY_MODE, 21500), Lines{"display display_setmode 2"});
  EXPECT_EQ(rig.click(KEY_MODE, 22000), Lines{"display display_setmode 0"});
}

TEST(InputInterpreter, LostEventsAndDevicesGone) {
  Rig rig("KEY_NEXTSONG press player_nextsong\nKEY_NEXTSONG hold player_jumpfw\n"
          "KEY_VOLUMEUP press mixer_volumeup\nKEY_VOLUMEUP repeat mixer_volumeup\n"
          "REL_DIAL up mixer_volumeup\nset steps REL_DIAL 4\n");
  // SYN_DROPPED: the keys held on that device are let go without firing, and what comes
  // up to the next report is passed over.
  rig.press(KEY_NEXTSONG, 0);
  rig.press(KEY_VOLUMEUP, 0);
  rig.turn(REL_DIAL, 3, 0);
  EXPECT_EQ(rig.event(EV_SYN, SYN_DROPPED, 0, 10), Lines{});
  EXPECT_EQ(rig.press(KEY_VOLUMEUP, 20), Lines{});
  EXPECT_EQ(rig.turn(REL_DIAL, 4, 20), Lines{});
  EXPECT_EQ(rig.event(EV_SYN, SYN_REPORT, 0, 20), Lines{});
  EXPECT_EQ(rig.release(KEY_NEXTSONG, 30), Lines{});
  EXPECT_EQ(rig.repeat(KEY_VOLUMEUP, 40), Lines{});
  EXPECT_EQ(rig.timers(5000), Lines{});
  // The partial turn before the loss is gone too: four steps from here make a detent.
  EXPECT_EQ(rig.turn(REL_DIAL, 1, 5000), Lines{});
  EXPECT_EQ(rig.turn(REL_DIAL, 3, 5000), Lines{"control mixer_volumeup"});
  // A device that goes: its held keys and partial steps with it, the others stay.
  rig.press(KEY_NEXTSONG, 6000, 1);
  rig.press(KEY_NEXTSONG, 6000, 2);
  rig.turn(REL_DIAL, 3, 6000, 1);
  input_device_gone(rig.in, 1);
  EXPECT_EQ(rig.timers(6800), Lines{"control player_jumpfw"}) << "only device 2's";
  EXPECT_EQ(rig.release(KEY_NEXTSONG, 6900, 1), Lines{});
  EXPECT_EQ(rig.turn(REL_DIAL, 1, 7000, 1), Lines{});
  // Back again, it starts afresh.
  EXPECT_EQ(rig.press(KEY_VOLUMEUP, 7000, 1), Lines{"control mixer_volumeup"});
  // Other event types do nothing.
  EXPECT_EQ(rig.event(EV_MSC, MSC_SCAN, 0x70004, 8000), Lines{});
  EXPECT_EQ(rig.event(EV_ABS, ABS_X, 100, 8000), Lines{});
  EXPECT_EQ(rig.event(EV_KEY, -1, 1, 8000), Lines{});
  EXPECT_EQ(rig.event(EV_KEY, KEY_VOLUMEUP, 7, 8000), Lines{});
}

TEST(InputInterpreter, LircdButtons) {
  Rig rig("KEY_PLAY press player_pause\nKEY_NEXT press player_nextsong\n"
          "KEY_NEXT hold player_jumpfw\nKEY_VOLUMEUP press mixer_volumeup\n"
          "KEY_VOLUMEUP repeat mixer_volumeup\nlirc:power press player_stop\nset hold 800\n");
  EXPECT_EQ(rig.lirc("0000000000f40bf0 00 KEY_PLAY mceusb", 0), Lines{"control player_pause"});
  EXPECT_EQ(rig.lirc("0000000000f40bf0 01 KEY_PLAY mceusb", 110), Lines{});
  EXPECT_EQ(input_deadline(rig.in), 110 + LIRC_RELEASE_MS);
  EXPECT_EQ(rig.timers(310), Lines{});
  EXPECT_EQ(rig.lirc("0000000000000001 00 power mceusb", 1000), Lines{"control player_stop"});
  EXPECT_EQ(rig.timers(1200), Lines{});
  // Repeats, then a time without any: let go.
  EXPECT_EQ(rig.lirc("0000000000000002 00 KEY_VOLUMEUP x", 2000), Lines{"control mixer_volumeup"});
  EXPECT_EQ(rig.lirc("0000000000000002 01 KEY_VOLUMEUP x", 2110), Lines{"control mixer_volumeup"});
  EXPECT_EQ(rig.lirc("0000000000000002 0a KEY_VOLUMEUP x", 2220), Lines{"control mixer_volumeup"});
  EXPECT_EQ(input_deadline(rig.in), 2220 + LIRC_RELEASE_MS);
  EXPECT_EQ(rig.timers(2500), Lines{});
  EXPECT_EQ(input_deadline(rig.in), -1);
  EXPECT_EQ(rig.lirc("0000000000000002 01 KEY_VOLUMEUP x", 2600), Lines{});
  // A hold: the repeats keep it down until the hold time.
  EXPECT_EQ(rig.lirc("0000000000000003 00 KEY_NEXT x", 3000), Lines{});
  Lines held;
  for (int i = 1; i <= 9; ++i) {
    Lines l = rig.lirc("0000000000000003 01 KEY_NEXT x", 3000 + i * 110);
    held.insert(held.end(), l.begin(), l.end());
    l = rig.timers(3000 + i * 110 + 50);
    held.insert(held.end(), l.begin(), l.end());
  }
  EXPECT_EQ(held, Lines{"control player_jumpfw"});
  EXPECT_EQ(rig.timers(5000), Lines{});
  // A short press: the press line once the repeats stop.
  EXPECT_EQ(rig.lirc("0000000000000003 00 KEY_NEXT x", 6000), Lines{});
  EXPECT_EQ(rig.timers(6000 + LIRC_RELEASE_MS), Lines{"control player_nextsong"});
  // Two presses in a row: the first one counts as let go when the second comes.
  EXPECT_EQ(rig.lirc("0000000000000003 00 KEY_NEXT x", 7000), Lines{});
  EXPECT_EQ(rig.lirc("0000000000000003 00 KEY_NEXT x", 7150), Lines{"control player_nextsong"});
  EXPECT_EQ(rig.timers(8000), Lines{"control player_nextsong"});
  // Lines of another form, and buttons the map does not have.
  for (const char *line : {"BEGIN", "SIGHUP", "END", "", "0000000000000001 00 KEY_PLAY",
                           "0000000000000001 zz KEY_PLAY r", "xyz 00 KEY_PLAY r",
                           "0000000000000001 00 KEY_PLAY r extra", "0000000000000001 00 menu r",
                           "0000000000000001 00 KEY_STOP r"})
    EXPECT_EQ(rig.lirc(line, 9000), Lines{}) << line;
  // The connection gone: its held buttons go without firing.
  rig.lirc("0000000000000003 00 KEY_NEXT x", 10000);
  input_device_gone(rig.in, 0);
  EXPECT_EQ(rig.timers(20000), Lines{});
}
