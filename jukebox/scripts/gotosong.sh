#!/bin/sh
# Song $1 of the current list; a song that is not there changes nothing.
. velm-lib.sh
current
choose_address "$device" "$list" "${1:-0}" && play_current
