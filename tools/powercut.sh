#!/bin/sh
# The whole jukebox through power cuts, during start-up, saves, song changes or plain
# playing in turn (see tests/launcher/jukebox_soak.cpp). By default every process of it is
# killed with SIGKILL at once and started again; the state files, play lists, mixer values
# and the place in the music are checked after each. With --real a cut is a real one: the
# jukebox's /tmp is an ext4 disk on a loop device, the cut a copy of that disk taken while
# everything runs (what the page cache still held is lost), and the whole jukebox boots
# from the copy; order changes are among the moments too. Builds what it needs in build/
# (or $SOAK_BUILD_DIR) and runs inside the sandbox launcher. Needs root.
#
#   tools/powercut.sh [RUNS] [--seed N] [--real]     (default: 100 runs)
set -eu
runs=100
case ${1:-} in
[0-9]*) runs=$1 && shift ;;
esac
exec "$(dirname "$0")/soak-run.sh" powercut "$runs" "$@"
