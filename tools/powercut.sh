#!/bin/sh
# The whole jukebox through power cuts: every process of it killed with SIGKILL at once,
# during start-up, saves, song changes or plain playing in turn, then started again; the
# state files, play lists, mixer values and the place in the music checked after each
# (see tests/launcher/jukebox_soak.cpp). Builds what it needs in build/ (or
# $SOAK_BUILD_DIR) and runs inside the sandbox launcher. Needs root.
#
#   tools/powercut.sh [RUNS] [--seed N]     (default: 100 runs)
set -eu
runs=${1:-100}
[ $# -gt 0 ] && shift
exec "$(dirname "$0")/soak-run.sh" powercut "$runs" "$@"
