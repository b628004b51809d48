#!/bin/sh
# The next song in the order list. "STOPCAUGHT": the player has stopped; a song that
# ended is followed by the next, and the player commands go to standard output.
# "ENDED": run by the launcher before it starts the daemons (see below).
. velm-lib.sh
if [ "${1:-}" = ENDED ]; then
  # Before the jukebox starts: when the power went as a song ended, before the next one
  # was chosen, the next one is chosen now (from its beginning), not the ended one again.
  # Otherwise nothing is written.
  song_had_ended || exit 0
  current
  choose_order $(($(current_order) + 1))
  forget_frame
  exit 0
fi
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
