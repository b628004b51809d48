#!/bin/sh
# The whole jukebox under load: the launcher, the real player and the daemons on songs of
# a few seconds while 100 random control lines a second arrive from several writers;
# descriptors, resident memory, saves, the panel's ticks and the processes watched (see
# tests/jukebox/jukebox_soak.cpp). Builds what it needs in build/ (or $SOAK_BUILD_DIR)
# and runs inside the sandbox launcher. Needs root.
#
#   tools/soak.sh [SECONDS] [--rate N] [--writers N] [--tick-limit MS]   (default: 600 s,
#                                              100 lines a second, 4 writers, 50 ms)
set -eu
source_dir=$(cd "$(dirname "$0")/.." && pwd -P)
build_dir=${SOAK_BUILD_DIR:-$source_dir/build}
seconds=${1:-600}
[ $# -gt 0 ] && shift

if [ ! -f "$build_dir/build.ninja" ]; then
  cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELM_TESTS=ON
fi
cmake --build "$build_dir" --target jukebox_soak sandbox >/dev/null
build_dir=$(cd "$build_dir" && pwd -P)
exec "$build_dir/tests/sandbox" --keep "$source_dir" --keep "$build_dir" --tmpfs /mnt -- \
  "$build_dir/tests/jukebox_soak" soak "$seconds" "$@"
