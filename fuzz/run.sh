#!/usr/bin/env bash
# Builds the fuzzers with clang in build-fuzz and runs each one for the given number of
# seconds (default 10) on a scratch copy of its seed corpus; the committed corpus is
# never written. Exits non-zero if a fuzzer finds a crash or cannot be built.
#
#   fuzz/run.sh [seconds]
#
# FUZZ_TARGETS may name a subset of the targets; FUZZ_ARGS adds libFuzzer options.
set -euo pipefail

seconds=${1:-10}
if ! [[ $seconds =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
  echo "usage: $0 [seconds]" >&2
  exit 2
fi

fuzz_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source_dir=$(dirname "$fuzz_dir")
build_dir=$source_dir/build-fuzz
targets=${FUZZ_TARGETS:-"fuzz_mpl_reader fuzz_opl_reader fuzz_order fuzz_titleform fuzz_catalog fuzz_display_lines fuzz_lcdscreen fuzz_player_lines"}

CC=clang CXX=clang++ cmake -S "$source_dir" -B "$build_dir" -G Ninja \
  -DVELM_FUZZ=ON -DVELM_TESTS=OFF >/dev/null
# shellcheck disable=SC2086
cmake --build "$build_dir" --target $targets

status=0
for target in $targets; do
  work=$build_dir/fuzz-work/$target
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/artifacts"
  cp "$fuzz_dir/corpus/$target"/* "$work/corpus/"
  echo "== $target: ${seconds}s"
  # shellcheck disable=SC2086
  if "$build_dir/fuzz/$target" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$work/artifacts/" ${FUZZ_ARGS:-} \
    "$work/corpus" >"$work/log" 2>&1; then
    grep -E '^(stat::number_of_executed_units|Done)' "$work/log" || true
  else
    echo "!! $target failed; log: $work/log, inputs: $work/artifacts/" >&2
    tail -n 40 "$work/log" >&2
    status=1
  fi
done
exit $status
