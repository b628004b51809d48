#pragma once

// A rig for velm_control inside a sandbox: the three FIFOs, stand-in player scripts that
// log how they were run, and readers that keep what reaches the player and the display.
//
// After a run, the sandbox holds:
//   /tmp/scripts.log  one line per script run: its name and arguments
//   /tmp/player.out   the lines the player read from /tmp/fifo.player
//   /tmp/display.out  the lines the display read from /tmp/fifo.display
//   /tmp/control.out, /tmp/control.err, /tmp/control.status  the daemon's output and exit

#include "sandbox_run.h"

#include <string>

// Shell text that makes the stand-in scripts (in /tmp/bin, first on PATH). A script logs
// its name and arguments to /tmp/scripts.log, then sleeps for the seconds in
// /tmp/<name>.sleep when that file exists, to stand for a long-running script.
inline std::string control_rig_scripts() {
  return R"(
mkdir -p /tmp/bin
for s in stop pause changernd changedev nextlist nextsong prevlist prevsong sayinfo gotolist gotosong; do
  cat >/tmp/bin/$s.sh <<SCRIPT
#!/bin/sh
echo "$s.sh\${1:+ \$*}" >>/tmp/scripts.log
[ -f /tmp/$s.sleep ] && sleep \$(cat /tmp/$s.sleep)
exit 0
SCRIPT
  chmod +x /tmp/bin/$s.sh
done
export PATH=/tmp/bin:$PATH
)";
}

// Shell text that replaces the stand-in script <name>.sh (after control_rig_scripts) by
// one whose body is `body`.
inline std::string control_rig_script(const std::string &name, const std::string &body) {
  std::string file = "/tmp/bin/" + name + ".sh";
  return "printf '%s\\n' '#!/bin/sh' " + shell_quote(body) + " >" + file + "\nchmod +x " + file +
         "\n";
}

// Shell text that makes the three FIFOs.
inline std::string control_rig_fifos() {
  return "mkfifo /tmp/fifo.control /tmp/fifo.player /tmp/fifo.display\n";
}

// Shell text that makes the stand-in scripts, the FIFOs and their readers.
inline std::string control_rig_setup() {
  return control_rig_scripts() + control_rig_fifos() + R"(cat /tmp/fifo.player >/tmp/player.out &
player_reader=$!
cat /tmp/fifo.display >/tmp/display.out &
display_reader=$!
)";
}

// Shell text that runs velm_control with `options`, feeding it `lines` (written as given)
// and keeping the control FIFO open for `hold_seconds` more, then waits for the readers.
inline std::string control_rig_run(const std::string &lines, const std::string &options = "",
                                   double hold_seconds = 0) {
  return control_rig_setup() + "(printf '%s' " + shell_quote(lines) + "; sleep " +
         std::to_string(hold_seconds) + ") >/tmp/fifo.control &\n" + "velm_control " + options +
         " >/tmp/control.out 2>/tmp/control.err; echo $? >/tmp/control.status\n"
         "wait $player_reader $display_reader\n"
         "touch /tmp/scripts.log\n";
}

// Shell text (after control_rig_scripts and control_rig_fifos) that defines the shell
// function
//   rig_run NAME OPTIONS LINES
// for several runs of velm_control in one sandbox. Each run gets fresh readers and the
// usual files of a run while it lasts; afterwards they are kept as /tmp/NAME.out, .err,
// .status, .player, .display and .scripts.
inline std::string control_rig_runs() {
  return R"(
rig_run() {
  rm -f /tmp/scripts.log /tmp/player.out /tmp/display.out
  cat /tmp/fifo.player >/tmp/player.out &
  rig_player=$!
  cat /tmp/fifo.display >/tmp/display.out &
  rig_display=$!
  printf '%s' "$3" >/tmp/fifo.control &
  velm_control $2 >/tmp/$1.out 2>/tmp/$1.err
  echo $? >/tmp/$1.status
  wait $rig_player $rig_display
  touch /tmp/scripts.log
  mv /tmp/scripts.log /tmp/$1.scripts
  mv /tmp/player.out /tmp/$1.player
  mv /tmp/display.out /tmp/$1.display
}
)";
}

// The trace line that velm_control -d writes to standard error for `text`.
inline std::string control_trace(const std::string &text) {
  return "\r\n[velm_control] " + text + "\r\n";
}
