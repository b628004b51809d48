#!/bin/sh
# Song $1 of the current list (0, or a song not there: no change).
exec velm_play gotosong "${1:-0}"
