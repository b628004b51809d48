#!/bin/sh
# The first song of list $1 of the current device (0, or a list not there: no change).
exec velm_play gotolist "${1:-0}"
