#pragma once

// What velm_input makes of input events, without any I/O: events of the devices and
// button lines of lircd go in, with the time they were read; lines for the control and
// display FIFOs come out. The loop asks for the next deadline (a hold coming due, a lircd
// button let go, a number entered by its time-out) and calls input_timers when it comes.

#include "keymap.h"

#include <map>
#include <string>
#include <utility>
#include <vector>

enum class Fifo { control, display };

struct OutLine {
  Fifo fifo;
  std::string text;
};

// One record of a device: type, code and value as the kernel has them (EV_KEY, EV_REL,
// EV_SYN, ...), the device's number and the time it was read.
struct InputEvent {
  int device;
  int type, code, value;
  long long ms;
};

// lircd reports no release: a button whose repeats stop this long is taken as let go.
inline constexpr int LIRC_RELEASE_MS = 200;

// A turn of a knob counts at most this many detents in one record; a larger value is no
// turn a hand makes.
inline constexpr int MAX_DETENTS_PER_EVENT = 64;

struct HeldKey {
  int device, code;
  long long pressed_ms;
  long long last_ms; // the press or its latest lircd repeat
  bool lirc;         // let go by the time-out rather than by a release
  bool hold_done;    // its hold line went out
};

struct Interpreter {
  const Keymap *map = nullptr;
  std::vector<HeldKey> held; // mapped keys that are down
  // Per device and code: the last press taken or release seen, for the debounce.
  std::map<std::pair<int, int>, long long> last_edge;
  // Per device and axis: steps turned that do not make a detent yet.
  std::map<std::pair<int, int>, long long> partial;
  std::vector<int> dropping; // devices that lost events, until their next SYN_REPORT
  std::string number;        // digits typed so far
  long long entry_deadline = -1;
  int mode = 0; // the display mode the mode key chose last
};

void interpret_event(Interpreter &in, const InputEvent &event, std::vector<OutLine> &out);

// A line from lircd, "code repeat button remote" (repeat in hexadecimal, 0 for a press),
// from the lircd connection numbered `device`. Lines of another form are passed over.
void lirc_line(Interpreter &in, int device, const char *line, long long ms,
               std::vector<OutLine> &out);

// The time of the next deadline, or -1 when nothing is pending.
long long input_deadline(const Interpreter &in);

// Carries out what is due at `now`.
void input_timers(Interpreter &in, long long now, std::vector<OutLine> &out);

// The device is gone (or its lircd connection): its keys are let go without firing, its
// partial steps forgotten.
void input_device_gone(Interpreter &in, int device);
