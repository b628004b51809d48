#pragma once

// Shell text for tests that run the whole jukebox in a sandbox.

#include <string>

// Songs of `seconds` under /mnt/music, in the lists named in `lists` ("dev1/A dev1/B
// dev2/C": device folder and list), three songs each, titled by the list's letter and
// the song's number ("B2"), artist "Artist".
inline std::string jukebox_collection(int seconds, const std::string &lists) {
  return "tonegen " + std::to_string(seconds) + " 220 330 >/tmp/tune.wav\nfor list in " + lists +
         R"SH(; do
  mkdir -p /mnt/music/$list
  for n in 1 2 3; do
    title=${list#*/}$n
    lame --quiet -m m -b 32 --tt $title --ta Artist /tmp/tune.wav /mnt/music/$list/$title.mp3
  done
done
)SH";
}

// The panel's reader (every run of the display into /tmp/lcd.bytes), `start_jukebox
// ARGS...` (the launcher with the LCD and ID3 titles, its player's output in
// /tmp/player.out, in the background; $jukebox its pid) and `stop_jukebox` (SIGTERM; its
// exit status appended to /tmp/velm.status).
inline std::string jukebox_functions() {
  return R"SH(
mkfifo /dev/lcd
while :; do cat /dev/lcd; done >/tmp/lcd.bytes &
start_jukebox() {
  velm -l -t -p /tmp/player.out "$@" 2>>/tmp/velm.err &
  jukebox=$!
}
stop_jukebox() {
  kill -TERM $jukebox
  wait $jukebox
  echo $? >>/tmp/velm.status
}
# The song the play core's record holds: "device list song".
chosen_song() {
  sed -n 's/^song //p' /tmp/PLAYSTATE 2>/dev/null
}
)SH";
}

// Shell text that makes the control daemon the launcher starts save its mixer every 200 ms
// instead of every 10 s: a stand-in first on PATH runs it with the fast timer preloaded.
// Only the daemon gets the library: the shell and the tools of a test may be of another
// kind than the build's programs (a native i386 build on an x86-64 host).
inline std::string fast_saving_control(const std::string &fasttimer) {
  return "mkdir -p /tmp/bin\nprintf '#!/bin/sh\\nLD_PRELOAD=%s VELM_FAKE_TIMER_MS=200 exec %s "
         "\"$@\"\\n' '" +
         fasttimer +
         "' \"$(command -v velm_control)\" >/tmp/bin/velm_control\n"
         "chmod +x /tmp/bin/velm_control\nexport PATH=/tmp/bin:$PATH\n";
}
