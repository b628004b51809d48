#!/bin/sh
# Plays the song at device $1, list $2, song $3 (0: the list's first) from its start.
exec velm_play address "${1:-0}" "${2:-0}" "${3:-0}"
