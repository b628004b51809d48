#!/bin/sh
# Song $1 of the current list; a song that is not there changes nothing (song 0 of a
# list is the list itself, not a song).
. velm-lib.sh
[ "${1:-0}" -ge 1 ] 2>/dev/null || exit 0
current
choose_address "$device" "$list" "${1:-0}" && play_current
