#!/bin/sh
# The whole jukebox through power cuts: every process of it killed with SIGKILL at once,
# during start-up, saves, song changes or plain playing in turn, then started again; the
# state files, play lists, mixer values and the place in the music checked after each
# (see tests/jukebox/jukebox_soak.cpp). Builds what it needs in build/ (or
# $SOAK_BUILD_DIR) and runs inside the sandbox launcher. Needs root.
#
#   tools/powercut.sh [RUNS] [--seed N]     (default: 100 runs)
set -eu
source_dir=$(cd "$(dirname "$0")/.." && pwd -P)
build_dir=${SOAK_BUILD_DIR:-$source_dir/build}
runs=${1:-100}
[ $# -gt 0 ] && shift

if [ ! -f "$build_dir/build.ninja" ]; then
  cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELM_TESTS=ON
fi
cmake --build "$build_dir" --target jukebox_soak sandbox >/dev/null
build_dir=$(cd "$build_dir" && pwd -P)
exec "$build_dir/tests/sandbox" --keep "$source_dir" --keep "$build_dir" --tmpfs /mnt -- \
  "$build_dir/tests/jukebox_soak" powercut "$runs" "$@"
