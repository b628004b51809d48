#!/bin/sh
# Builds the benchmarks in Release (in build-bench, or $BENCH_BUILD_DIR) and runs them
# inside the sandbox launcher, which gives them a private /tmp for the programs' fixed
# files and the generated trees.
#
#   bench/run.sh                      every benchmark with its defaults
#   bench/run.sh playlist [ARG]...    playlist_bench only (--runs N, --walk-runs N and the
#                                     names of the sections to run: order, scan, queries,
#                                     catalog); arguments without "playlist" go to it too
#   bench/run.sh control [ARG]...     control_bench only (--latency-lines N, --lines N,
#                                     --runs N, --idle-seconds S and the sections latency,
#                                     throughput, idle)
#   bench/run.sh display [ARG]...     display_bench only (--seconds S, --flood-rate N and
#                                     the sections quiet, flood)
#   bench/run.sh playwatch [ARG]...   playwatch_bench only (--runs N)
#   bench/run.sh jukebox [ARG]...     jukebox_bench only (--presses N, --songs N and the
#                                     sections keys, startup)
#   bench/run.sh key [ARG]...         key_bench only (--presses N, --settle-ms MS)
#   bench/run.sh service [ARG]...     service_bench only (--runs N, --lists N and the
#                                     sections samples, big)
#   bench/run.sh sticks [ARG]...      sticks_bench only (--runs N, --songs N); as root
#   bench/run.sh input [ARG]...       input_bench only (--presses N, --gap-ms MS,
#                                     --idle-seconds S and the sections latency, idle)
#   bench/run.sh mixer [ARG]...       mixer_bench only (--presses N, --idle-seconds S and
#                                     the sections latency, idle)
#   bench/run.sh search [ARG]...      search_bench only (--runs N)
#   bench/run.sh web [ARG]...         web_bench only (--loads N, --runs N, --changes N,
#                                     --idle-seconds S and the sections page, search,
#                                     change, memory, idle, worst)
set -eu

source_dir=$(cd "$(dirname "$0")/.." && pwd -P)
build_dir=${BENCH_BUILD_DIR:-$source_dir/build-bench}

if [ ! -f "$build_dir/build.ninja" ]; then
  cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release
fi
cmake --build "$build_dir" --target playlist_bench control_bench display_bench playwatch_bench jukebox_bench key_bench service_bench sticks_bench input_bench mixer_bench search_bench web_bench sandbox

build_dir=$(cd "$build_dir" && pwd -P)
in_sandbox() {
  "$build_dir/tests/sandbox" --keep "$source_dir" --keep "$build_dir" --tmpfs /mnt -- "$@"
}

case "${1:-}" in
  control)
    shift
    in_sandbox "$build_dir/bench/control_bench" "$@" ;;
  display)
    shift
    in_sandbox "$build_dir/bench/display_bench" "$@" ;;
  jukebox)
    shift
    in_sandbox "$build_dir/bench/jukebox_bench" "$@" ;;
  key)
    shift
    in_sandbox "$build_dir/bench/key_bench" "$@" ;;
  service)
    shift
    in_sandbox "$build_dir/bench/service_bench" "$@" ;;
  sticks)
    shift
    in_sandbox "$build_dir/bench/sticks_bench" "$@" ;;
  input)
    shift
    in_sandbox "$build_dir/bench/input_bench" "$@" ;;
  mixer)
    shift
    in_sandbox "$build_dir/bench/mixer_bench" "$@" ;;
  search)
    shift
    in_sandbox "$build_dir/bench/search_bench" "$@" ;;
  web)
    shift
    in_sandbox "$build_dir/bench/web_bench" "$@" ;;
  playwatch)
    shift
    in_sandbox "$build_dir/bench/playwatch_bench" "$@" ;;
  playlist)
    shift
    in_sandbox "$build_dir/bench/playlist_bench" "$@" ;;
  ?*)
    in_sandbox "$build_dir/bench/playlist_bench" "$@" ;;
  *)
    status=0
    in_sandbox "$build_dir/bench/playlist_bench" || status=$?
    in_sandbox "$build_dir/bench/control_bench" || status=$?
    in_sandbox "$build_dir/bench/display_bench" || status=$?
    in_sandbox "$build_dir/bench/playwatch_bench" || status=$?
    in_sandbox "$build_dir/bench/jukebox_bench" || status=$?
    in_sandbox "$build_dir/bench/key_bench" || status=$?
    in_sandbox "$build_dir/bench/service_bench" || status=$?
    in_sandbox "$build_dir/bench/input_bench" || status=$?
    in_sandbox "$build_dir/bench/mixer_bench" || status=$?
    in_sandbox "$build_dir/bench/search_bench" || status=$?
    in_sandbox "$build_dir/bench/web_bench" || status=$?
    if [ "$(id -u)" -eq 0 ]; then
      in_sandbox "$build_dir/bench/sticks_bench" || status=$?
    else
      echo "sticks_bench: needs root (a loop device and mounts); skipped"
    fi
    exit $status ;;
esac
