#!/bin/sh
# The whole jukebox under load: the launcher, the real player and the daemons on songs of
# a few seconds while 100 random control lines a second arrive from several writers;
# descriptors, resident memory, saves, the panel's ticks and the processes watched (see
# tests/launcher/jukebox_soak.cpp). Builds what it needs in build/ (or $SOAK_BUILD_DIR)
# and runs inside the sandbox launcher. Needs root.
#
#   tools/soak.sh [SECONDS] [--rate N] [--writers N] [--tick-limit MS]   (default: 600 s,
#                                              100 lines a second, 4 writers, 50 ms)
set -eu
seconds=${1:-600}
[ $# -gt 0 ] && shift
exec "$(dirname "$0")/soak-run.sh" soak "$seconds" "$@"
