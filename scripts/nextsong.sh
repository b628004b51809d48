#!/bin/sh
# The next song in the order list; with "STOPCAUGHT" (the player has stopped), the next
# one only after a song's end, its player lines going to standard output.
[ "${1:-}" = STOPCAUGHT ] && exec velm_play song-ended
exec velm_play next
