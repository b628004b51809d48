#!/bin/sh
# Pauses the song, or goes on with it; after a stop, plays the current song again.
. velm-lib.sh
current
case $(status) in
play)
  set_status pause
  player PAUSE
  show_status PAUS
  ;;
pause | startup)
  set_status play
  player PAUSE
  show_status PLAY
  ;;
*)
  play_current
  ;;
esac
