#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test twice: once in a normal build and
# once with the address and undefined-behaviour sanitizers; then runs the static analysis
# (tools/lint.sh) and gives each fuzzer a short run. Needs root (the tests run the
# programs in private namespaces). Any lint finding fails the run.
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc)
passed=0 failed=0

sh tools/install-deps.sh

for variant in normal sanitize; do
  if [ $variant = normal ]; then
    dir=build flags="-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELM_TESTS=ON -DVELM_SANITIZE=OFF"
  else
    dir=build-sanitize flags="-DCMAKE_BUILD_TYPE=Debug -DVELM_TESTS=ON -DVELM_SANITIZE=ON"
  fi
  echo "== $variant build in $dir"
  # shellcheck disable=SC2086
  cmake -S . -B $dir -G Ninja $flags >/dev/null
  cmake --build $dir
  (cd $dir && ctest -j"$jobs" --output-on-failure) | tee $dir/ctest.log
  # "100% tests passed, 0 tests failed out of 56"
  summary=$(grep -E 'tests failed out of [0-9]+' $dir/ctest.log | tail -n 1)
  total=${summary##* }
  bad=$(echo "$summary" | sed -E 's/.* ([0-9]+) tests failed.*/\1/')
  passed=$((passed + total - bad)) failed=$((failed + bad))
done

echo "== static analysis"
lint_status=0
tools/lint.sh || lint_status=$?

if [ -x fuzz/run.sh ]; then
  echo "== fuzzers, a short run each"
  fuzz/run.sh 10
fi
echo "tests: $passed passed, $failed failed"
if [ $lint_status -ne 0 ]; then
  echo "!! static analysis found faults (tools/lint.sh)" >&2
  exit 1
fi
