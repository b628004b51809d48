#!/bin/sh
# Stops the song; while the jukebox starts, loads it paused for the resume instead.
exec velm_play stop
