#!/bin/sh
# The next order of play: sequential, shuffled over all songs, per device, per list.
# The current song plays on; the order list is built again around it.
. velm-lib.sh
current
case $(random_mode) in
s) mode=a option=-a text=ALL ;;
a) mode=d option=-d text=DEV ;;
d) mode=l option=-l text=LST ;;
*) mode=s option= text=SEQ ;;
esac
# shellcheck disable=SC2086
orderbuild $option && put_state "$RANDOM_PATH" "$mode"
display "display_setrandommode $text"
