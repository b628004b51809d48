#!/bin/sh
# Says the current song's title (where espeak-ng is installed); shows it in any case.
. velm-lib.sh
current
title=$(titleform "$path")
display "display_settitle $title"
if command -v espeak-ng >/dev/null 2>&1; then
  espeak-ng -- "$title" >/dev/null 2>&1 9>&- &
fi
