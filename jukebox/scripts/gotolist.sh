#!/bin/sh
# The first song of list $1 of the current device; a list that is not there changes
# nothing.
. velm-lib.sh
current
choose_address "$device" "${1:-0}" 1 && play_current
