#!/bin/sh
# The next song in the order list. "STOPCAUGHT": the player has stopped; a song that
# ended is followed by the next, and the player commands go to standard output.
. velm-lib.sh
current
if [ "${1:-}" = STOPCAUGHT ]; then
  # Stops that were asked for (stop, a paused load, a start) start nothing.
  [ "$(status)" = play ] || exit 0
  choose_order $(($(current_order) + 1))
  play_current stdout
  exit 0
fi
if [ "$(status)" = startup ]; then
  prepare_current
  exit 0
fi
choose_order $(($(current_order) + 1))
play_current
