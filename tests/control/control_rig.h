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

// Shell text that makes the stand-in scripts (in /tmp/bin, first on PATH), the FIFOs and
// their readers. A script sleeps for the seconds in /tmp/<name>.sleep when that file
// exists, to stand for a long-running script.
inline std::string control_rig_setup() {
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
mkfifo /tmp/fifo.control /tmp/fifo.player /tmp/fifo.display
cat /tmp/fifo.player >/tmp/player.out &
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
