#!/bin/sh
# The demo's private machine (its own /tmp, /mnt and /dev): the LCD simulator, the
# jukebox on the sample devices, and the keyboard. With a key script, the keys come from
# it and the LCD's frames are printed instead of the live panel.
#
#   demo-inside.sh SAMPLES [SCRIPT]
set -u
samples=$1
script=${2:-}

if [ -n "$script" ]; then
  lcdsim -f - &
else
  printf '\n%s\n' "The jukebox plays the sample collection."
  printf '%s\n\n' "Its catalogue: http://${VELM_WEB:-127.0.0.1:8080}/ in a browser. Keys:"
  velm_keys -H
  echo
  lcdsim &
fi
simulator=$!
while [ ! -p /dev/lcd ]; do sleep 0.02; done

# The web catalogue on the host's loopback address (the private machine shares the
# host's network): VELM_WEB=ADDRESS:PORT serves it elsewhere.
velm -l -t -w "${VELM_WEB:-127.0.0.1:8080}" "$samples/device1" "$samples/device2" 2>/tmp/velm.err &
jukebox=$!
if [ -n "$script" ]; then
  velm_keys <"$script"
else
  velm_keys
fi

kill -TERM $jukebox
wait $jukebox
sleep 0.3 # the farewell reaches the panel
kill -TERM $simulator
wait $simulator
if [ -s /tmp/velm.err ]; then
  echo "The launcher said:"
  cat /tmp/velm.err
fi
