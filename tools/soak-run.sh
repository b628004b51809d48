#!/bin/sh
# Runs the soak and power-cut driver (tests/launcher/jukebox_soak.cpp) in one of its modes
# inside the sandbox launcher, building what it needs in build/ (or $SOAK_BUILD_DIR).
# Called by tools/soak.sh and tools/powercut.sh. Needs root.
#
#   tools/soak-run.sh soak|powercut ARGS...
set -eu
source_dir=$(cd "$(dirname "$0")/.." && pwd -P)
build_dir=${SOAK_BUILD_DIR:-$source_dir/build}

if [ ! -f "$build_dir/build.ninja" ]; then
  cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELM_TESTS=ON
fi
cmake --build "$build_dir" --target jukebox_soak sandbox >/dev/null
build_dir=$(cd "$build_dir" && pwd -P)
# Not exec: the sandbox dies with its parent, and this shell is a parent that lives as
# long as the run, also when whoever started it in the background (nohup ... &) is gone.
"$build_dir/tests/sandbox" --keep "$source_dir" --keep "$build_dir" --tmpfs /mnt -- \
  "$build_dir/tests/jukebox_soak" "$@"
