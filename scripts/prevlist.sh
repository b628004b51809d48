#!/bin/sh
# The first song of the list before the current one (before the first: the last list).
. velm-lib.sh
current
step_list -1 || exit 0
choose_address "$list_device" "$list_number" 1 && play_current
