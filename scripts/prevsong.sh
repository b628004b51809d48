#!/bin/sh
# The song before the current one in the order list (from the first: the last).
. velm-lib.sh
current
order=$(current_order)
if [ "$order" -le 1 ]; then
  order=$(song_count)
else
  order=$((order - 1))
fi
choose_order "$order"
play_current
