#!/bin/sh
# Plays the song at device $1, list $2, song $3 from its beginning; song 0 stands for the
# list's first song. An address the master list does not hold changes nothing. The web
# catalogue's choices come this way, through the launcher.
. velm-lib.sh
song=${3:-0}
[ "$song" = 0 ] && song=1
choose_address "${1:-0}" "${2:-0}" "$song" && play_current
