#!/bin/sh
# Shows the current song's title, and says it where espeak-ng is installed.
exec velm_play say
