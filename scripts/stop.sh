#!/bin/sh
# Stops the song. While the jukebox starts, loads the current song paused instead, so
# that it can be resumed at its saved frame.
. velm-lib.sh
current
if [ "$(status)" = startup ]; then
  prepare_current
  exit 0
fi
set_status stop
player STOP
show_status STOP
