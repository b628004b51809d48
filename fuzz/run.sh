#!/usr/bin/env bash
# Builds the fuzzers with clang in build-fuzz and runs each one in turn on a scratch copy
# of its seed corpus; the committed corpus is never written. Exits non-zero if a fuzzer
# finds a crash or cannot be built.
#
#   fuzz/run.sh [seconds]    each for that many seconds (default 10), in
#                            build-fuzz/fuzz-work/<target>, started afresh every time
#   fuzz/run.sh --runs N     each for N executions, in build-fuzz/campaign/<target>; a
#                            scratch corpus left there by an earlier campaign is taken
#                            up again, so a second call goes on where the first stopped
#
# FUZZ_TARGETS may name a subset of the targets; FUZZ_ARGS adds libFuzzer options.
set -euo pipefail

usage() {
  echo "usage: $0 [seconds] | $0 --runs N" >&2
  exit 2
}

runs=
seconds=10
if [ "${1:-}" = --runs ]; then
  runs=${2:-}
  if ! [[ $runs =~ ^[0-9]+$ ]] || [ "$runs" -lt 1 ] || [ $# -ne 2 ]; then
    usage
  fi
else
  seconds=${1:-10}
  if ! [[ $seconds =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ] || [ $# -gt 1 ]; then
    usage
  fi
fi

fuzz_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source_dir=$(dirname "$fuzz_dir")
build_dir=$source_dir/build-fuzz
targets=${FUZZ_TARGETS:-"fuzz_mpl_reader fuzz_opl_reader fuzz_order fuzz_titleform fuzz_catalog fuzz_display_lines fuzz_lcdscreen fuzz_player_lines fuzz_control_lines fuzz_hd44780 fuzz_play fuzz_mounts fuzz_keymap fuzz_input_events fuzz_latin1 fuzz_mixer_requests fuzz_panel_feed fuzz_search_index fuzz_web_requests"}

CC=clang CXX=clang++ cmake -S "$source_dir" -B "$build_dir" -G Ninja \
  -DVELM_FUZZ=ON -DVELM_TESTS=OFF -DVELM_WERROR=ON >/dev/null
# shellcheck disable=SC2086
cmake --build "$build_dir" --target $targets

status=0
for target in $targets; do
  if [ -n "$runs" ]; then
    work=$build_dir/campaign/$target
    limit=-runs=$runs
    if [ ! -d "$work/corpus" ]; then
      mkdir -p "$work/corpus"
      cp "$fuzz_dir/corpus/$target"/* "$work/corpus/"
    fi
    mkdir -p "$work/artifacts"
    log=$work/log-$(date +%Y%m%d-%H%M%S)
    echo "== $target: $runs runs"
  else
    work=$build_dir/fuzz-work/$target
    limit=-max_total_time=$seconds
    rm -rf "$work"
    mkdir -p "$work/corpus" "$work/artifacts"
    cp "$fuzz_dir/corpus/$target"/* "$work/corpus/"
    log=$work/log
    echo "== $target: ${seconds}s"
  fi
  # shellcheck disable=SC2086
  if "$build_dir/fuzz/$target" "$limit" -max_len=4096 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$work/artifacts/" ${FUZZ_ARGS:-} \
    "$work/corpus" >"$log" 2>&1; then
    grep -E '^(stat::number_of_executed_units|stat::average_exec_per_sec|Done)' "$log" || true
  else
    echo "!! $target failed; log: $log, inputs: $work/artifacts/" >&2
    tail -n 40 "$log" >&2
    status=1
  fi
done
exit $status
