#pragma once

// A rig for playwatch inside a sandbox: the display FIFO with a reader, stand-ins for the
// commands the watcher runs, and a process named velm.
//
// After a run, the sandbox holds:
//   /tmp/display.out  what the display read from /tmp/fifo.display
//   /tmp/events.log   "sync" followed by the bytes of /tmp/FRAMEPOS at that moment, for
//                     every run of sync; "nextsong.sh ARGS" followed by the same, for
//                     every run of nextsong.sh
//   /tmp/fifo.player  what the last nextsong.sh wrote for the player (a plain file here)
//   /tmp/velm.log     "USR2" for every SIGUSR2 the velm process received
//   /tmp/watch.out, /tmp/watch.err, /tmp/watch.status  the watcher's output and exit

#include "sandbox_run.h"

#include <filesystem>
#include <string>

// The names in the sandbox's /tmp of temporary files left beside the file `name`
// ("FRAMEPOS.1234"), one a line.
inline std::string temporaries_beside(const Sandbox &sb, const std::string &name) {
  std::string found;
  for (const auto &entry : std::filesystem::directory_iterator(sb.path("/tmp"))) {
    std::string file = entry.path().filename().string();
    if (file.starts_with(name + "."))
      found += file + "\n";
  }
  return found;
}

// Shell text that makes the stand-ins (in /tmp/bin, first on PATH) and starts velm.
inline std::string watch_rig_standins() {
  return R"(
mkdir -p /tmp/bin
cat >/tmp/bin/sync <<'SCRIPT'
#!/bin/sh
echo sync >>/tmp/events.log
cat /tmp/FRAMEPOS >>/tmp/events.log 2>/dev/null
SCRIPT
cat >/tmp/bin/nextsong.sh <<'SCRIPT'
#!/bin/sh
echo "nextsong.sh $*" >>/tmp/events.log
cat /tmp/FRAMEPOS >>/tmp/events.log 2>/dev/null
echo "LOAD next-song.mp3"
SCRIPT
cat >/tmp/bin/velm <<'SCRIPT'
#!/bin/sh
trap 'echo USR2 >>/tmp/velm.log; exit 0' USR2
: >/tmp/velm.ready
while :; do sleep 0.02; done
SCRIPT
chmod +x /tmp/bin/sync /tmp/bin/nextsong.sh /tmp/bin/velm
export PATH=/tmp/bin:$PATH
touch /tmp/events.log
velm &
velm_pid=$!
while [ ! -e /tmp/velm.ready ]; do sleep 0.01; done
)";
}

// Shell text that makes the display FIFO and its reader.
inline std::string watch_rig_display() {
  return R"(
mkfifo /tmp/fifo.display
cat /tmp/fifo.display >/tmp/display.out &
display_reader=$!
)";
}

// Shell text that waits (at most 5 s) for velm's signal, then ends velm.
inline std::string watch_rig_end() {
  return R"(
for i in $(seq 250); do [ -s /tmp/velm.log ] && break; sleep 0.02; done
kill $velm_pid 2>/dev/null
touch /tmp/velm.log
)";
}

// Shell text that runs playwatch on `command_input` (a shell command whose output is
// the player's), with the whole rig.
inline std::string watch_rig_run_from(const std::string &command_input) {
  return watch_rig_standins() + watch_rig_display() + command_input +
         " | playwatch >/tmp/watch.out 2>/tmp/watch.err; echo $? >/tmp/watch.status\n"
         "wait $display_reader\n" +
         watch_rig_end();
}

// The same with the player's output given as text (put at /tmp/player.txt).
inline std::string watch_rig_run(Sandbox &sb, const std::string &player_output) {
  sb.put("/tmp/player.txt", player_output);
  return watch_rig_run_from("cat /tmp/player.txt");
}
