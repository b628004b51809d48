#!/bin/sh
# The first song of the next list of the collection (after the last: the first list).
. velm-lib.sh
current
step_list 1 || exit 0
choose_address "$list_device" "$list_number" 1 && play_current
