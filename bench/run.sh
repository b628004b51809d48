#!/bin/sh
# Builds the play list benchmark in Release (in build-bench, or $BENCH_BUILD_DIR) and runs
# it inside the sandbox launcher, which gives it a private /tmp for the tools' fixed files
# and the generated trees. Arguments go to playlist_bench (--runs N, --walk-runs N and
# the names of the sections to run: order, scan, queries, catalog).
set -eu

source_dir=$(cd "$(dirname "$0")/.." && pwd -P)
build_dir=${BENCH_BUILD_DIR:-$source_dir/build-bench}

if [ ! -f "$build_dir/build.ninja" ]; then
  cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release
fi
cmake --build "$build_dir" --target playlist_bench sandbox

build_dir=$(cd "$build_dir" && pwd -P)
exec "$build_dir/tests/sandbox" --keep "$source_dir" --keep "$build_dir" -- \
  "$build_dir/bench/playlist_bench" "$@"
