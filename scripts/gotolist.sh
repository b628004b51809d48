#!/bin/sh
# The first song of list $1 of the current device; a list that is not there changes
# nothing (list 0 of a device is the device itself, not a list).
. velm-lib.sh
[ "${1:-0}" -ge 1 ] 2>/dev/null || exit 0
current
choose_address "$device" "${1:-0}" 1 && play_current
