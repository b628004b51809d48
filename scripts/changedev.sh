#!/bin/sh
# The first song of the next device that holds one (after the last: the first).
. velm-lib.sh
current
start=$device
lists=$(all_lists | wc -l)
while [ "$lists" -gt 0 ] && step_list 1; do
  lists=$((lists - 1))
  choose_address "$list_device" "$list_number" 1 || continue
  [ "$device" != "$start" ] && break
done
play_current
