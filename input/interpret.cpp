#include "interpret.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <linux/input-event-codes.h>

namespace {

void send(std::vector<OutLine> &out, Fifo fifo, std::string text) {
  out.push_back({fifo, std::move(text)});
}

void end_number(Interpreter &in, std::vector<OutLine> &out) {
  in.number.clear();
  in.entry_deadline = -1;
  send(out, Fifo::display, "display_setmode " + std::to_string(in.mode));
}

void perform(Interpreter &in, const Action &a, long long ms, std::vector<OutLine> &out) {
  switch (a.act) {
  case Act::none:
    return;
  case Act::digit:
    if (in.number.empty())
      send(out, Fifo::display, "display_setmode 1");
    if (in.number.size() < 4)
      in.number += static_cast<char>('0' + a.digit);
    in.entry_deadline = ms + in.map->entry_ms;
    return;
  case Act::enter:
  case Act::enter_list:
    if (in.number.empty())
      return;
    send(out, Fifo::control,
         (a.act == Act::enter ? "player_gotosong " : "player_gotolist ") + in.number);
    end_number(in, out);
    return;
  case Act::mode:
  case Act::line:
    // Any other key drops a number being typed, and does nothing else.
    if (!in.number.empty())
      return end_number(in, out);
    if (a.act == Act::mode) {
      in.mode = in.mode == 0 ? 2 : 0;
      send(out, Fifo::display, "display_setmode " + std::to_string(in.mode));
    } else {
      send(out, a.line.rfind("display_", 0) == 0 ? Fifo::display : Fifo::control, a.line);
    }
    return;
  }
}

std::vector<HeldKey>::iterator find_held(Interpreter &in, int device, int code) {
  return std::find_if(in.held.begin(), in.held.end(),
                      [&](const HeldKey &k) { return k.device == device && k.code == code; });
}

void key_press(Interpreter &in, int device, int code, long long ms, bool lirc,
               std::vector<OutLine> &out) {
  auto rules = in.map->keys.find(code);
  if (rules == in.map->keys.end())
    return;
  // A second report of a press that is still down, or a press that follows the last
  // press or release within the debounce time, is the same press.
  if (find_held(in, device, code) != in.held.end())
    return;
  auto edge = in.last_edge.find({device, code});
  if (edge != in.last_edge.end() && ms - edge->second < in.map->debounce_ms)
    return;
  in.last_edge[{device, code}] = ms;
  in.held.push_back({device, code, ms, ms, lirc, false});
  // Without a hold rule the press fires at once; with one, on the release before the hold.
  if (rules->second.hold.act == Act::none)
    perform(in, rules->second.press, ms, out);
}

void key_release(Interpreter &in, int device, int code, long long ms, std::vector<OutLine> &out) {
  auto rules = in.map->keys.find(code);
  if (rules == in.map->keys.end())
    return;
  in.last_edge[{device, code}] = ms;
  auto held = find_held(in, device, code);
  if (held == in.held.end())
    return;
  bool fire = !held->hold_done && rules->second.hold.act != Act::none;
  in.held.erase(held);
  if (fire)
    perform(in, rules->second.press, ms, out);
}

void key_repeat(Interpreter &in, int device, int code, long long ms, std::vector<OutLine> &out) {
  auto rules = in.map->keys.find(code);
  auto held = find_held(in, device, code);
  // A repeat of a press not seen (before a loss of events, say) does nothing.
  if (rules == in.map->keys.end() || held == in.held.end())
    return;
  held->last_ms = ms;
  perform(in, rules->second.repeat, ms, out);
}

void axis_turn(Interpreter &in, int device, int code, int value, long long ms,
               std::vector<OutLine> &out) {
  auto rules = in.map->axes.find(code);
  if (rules == in.map->axes.end())
    return;
  const AxisRules &axis = rules->second;
  long long &partial = in.partial[{device, code}];
  long long steps = partial + (axis.reverse ? -static_cast<long long>(value) : value);
  long long detents = steps / axis.steps;
  partial = steps % axis.steps;
  if (detents > MAX_DETENTS_PER_EVENT || detents < -MAX_DETENTS_PER_EVENT) {
    detents = detents > 0 ? MAX_DETENTS_PER_EVENT : -MAX_DETENTS_PER_EVENT;
    partial = 0;
  }
  for (long long i = 0; i < detents; ++i)
    perform(in, axis.up, ms, out);
  for (long long i = 0; i > detents; --i)
    perform(in, axis.down, ms, out);
}

// Lets go of the keys of a device without firing anything.
void drop_held(Interpreter &in, int device) {
  in.held.erase(std::remove_if(in.held.begin(), in.held.end(),
                               [device](const HeldKey &k) { return k.device == device; }),
                in.held.end());
}

template <typename Map> void erase_device(Map &map, int device) {
  for (auto i = map.begin(); i != map.end();) {
    if (i->first.first == device)
      i = map.erase(i);
    else
      ++i;
  }
}

bool dropping(const Interpreter &in, int device) {
  return std::find(in.dropping.begin(), in.dropping.end(), device) != in.dropping.end();
}

// The deadlines of a held key: its hold, and for a lircd button the time it counts as
// let go.
long long hold_deadline(const Interpreter &in, const HeldKey &k) {
  auto rules = in.map->keys.find(k.code);
  if (k.hold_done || rules == in.map->keys.end() || rules->second.hold.act == Act::none)
    return -1;
  return k.pressed_ms + in.map->hold_ms;
}

long long earlier(long long a, long long b) {
  if (a < 0)
    return b;
  if (b < 0)
    return a;
  return std::min(a, b);
}

} // namespace

void interpret_event(Interpreter &in, const InputEvent &event, std::vector<OutLine> &out) {
  if (event.type == EV_SYN) {
    if (event.code == SYN_DROPPED) {
      // Events up to the next report are lost or incomplete: what was held is unknown.
      drop_held(in, event.device);
      erase_device(in.partial, event.device);
      if (!dropping(in, event.device))
        in.dropping.push_back(event.device);
    } else if (event.code == SYN_REPORT) {
      in.dropping.erase(std::remove(in.dropping.begin(), in.dropping.end(), event.device),
                        in.dropping.end());
    }
    return;
  }
  if (dropping(in, event.device))
    return;
  if (event.type == EV_KEY && event.code >= 0 && event.code <= KEY_MAX) {
    if (event.value == 1)
      key_press(in, event.device, event.code, event.ms, false, out);
    else if (event.value == 0)
      key_release(in, event.device, event.code, event.ms, out);
    else if (event.value == 2)
      key_repeat(in, event.device, event.code, event.ms, out);
  } else if (event.type == EV_REL) {
    axis_turn(in, event.device, event.code, event.value, event.ms, out);
  }
}

void lirc_line(Interpreter &in, int device, const char *line, long long ms,
               std::vector<OutLine> &out) {
  // "0000000000f40bf0 00 KEY_UP ANY": the code and the repeat count in hexadecimal.
  char code[33], repeat[9], button[65], remote[65];
  int end = 0;
  if (sscanf(line, "%32s %8s %64s %64s %n", code, repeat, button, remote, &end) != 4 ||
      line[end] != '\0' || strspn(code, "0123456789abcdefABCDEF") != strlen(code) ||
      strspn(repeat, "0123456789abcdefABCDEF") != strlen(repeat))
    return;
  int key = lirc_button_code(*in.map, button);
  if (key < 0)
    return;
  auto held = find_held(in, device, key);
  if (strspn(repeat, "0") != strlen(repeat)) {
    key_repeat(in, device, key, ms, out);
    return;
  }
  // A new press while the last one still counts as down: that one was let go when its
  // repeats stopped.
  if (held != in.held.end())
    key_release(in, device, key, held->last_ms, out);
  key_press(in, device, key, ms, true, out);
}

long long input_deadline(const Interpreter &in) {
  long long deadline = in.entry_deadline;
  for (const HeldKey &k : in.held) {
    deadline = earlier(deadline, hold_deadline(in, k));
    if (k.lirc)
      deadline = earlier(deadline, k.last_ms + LIRC_RELEASE_MS);
  }
  return deadline;
}

void input_timers(Interpreter &in, long long now, std::vector<OutLine> &out) {
  // One due thing at a time, the earliest first: each changes what is due next.
  for (long long due = input_deadline(in); due >= 0 && due <= now; due = input_deadline(in)) {
    if (in.entry_deadline == due) {
      in.entry_deadline = -1;
      Action enter;
      enter.act = Act::enter;
      perform(in, enter, due, out);
      continue;
    }
    for (HeldKey &k : in.held) {
      if (hold_deadline(in, k) == due) {
        k.hold_done = true;
        perform(in, in.map->keys.at(k.code).hold, due, out);
        break;
      }
      if (k.lirc && k.last_ms + LIRC_RELEASE_MS == due) {
        key_release(in, k.device, k.code, k.last_ms, out);
        break;
      }
    }
  }
}

void input_device_gone(Interpreter &in, int device) {
  drop_held(in, device);
  erase_device(in.partial, device);
  erase_device(in.last_edge, device);
  in.dropping.erase(std::remove(in.dropping.begin(), in.dropping.end(), device), in.dropping.end());
}
