#!/bin/sh
# Pauses the song, or goes on with it; after a stop, plays the current song again.
exec velm_play pause
