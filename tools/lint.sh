#!/usr/bin/env bash
# Static analysis of every source of the project: clang-tidy with the checks of
# .clang-tidy, cppcheck with the options below and tools/cppcheck-suppressions.txt, the
# descriptors opened without close-on-exec (tools/cloexec-check.sh), and the
# clang-format layout of .clang-format (checked only; nothing is rewritten). Prints each
# finding once and exits non-zero if there is any.
#
#   tools/lint.sh
#
# The compilation database comes from a clang configuration of its own in build-lint
# (nothing is built there). It has the fuzzers too: with VELM_FUZZ every file carries
# clang's fuzzer flags, which the analysis reads like any other flag. LINT_JOBS sets the
# number of clang-tidy processes (default 2).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build-lint
jobs=${LINT_JOBS:-2}
cd "$root"

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DVELM_TESTS=ON -DVELM_FUZZ=ON -DVELM_WERROR=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null

# A source built into two targets is analysed once.
sources=$(grep -o '"file": "[^"]*"' "$build/compile_commands.json" | sed 's/^"file": "//; s/"$//' |
  sort -u)
status=0

echo "== clang-tidy ($(echo "$sources" | wc -l) files)"
logs=$build/clang-tidy
rm -rf "$logs"
mkdir -p "$logs"
# One log per file; a finding in a header shows up once per file that includes it.
# shellcheck disable=SC2016
echo "$sources" | xargs -P "$jobs" -I{} sh -c \
  'clang-tidy -p "$1" --quiet "$2" >"$3/$(echo "$2" | tr / _).log" 2>&1' _ "$build" {} "$logs" ||
  status=1
found=$(cat "$logs"/*.log | grep -E '^[^ ].*:[0-9]+:[0-9]+: (warning|error):' | sort -u || true)
if [ -n "$found" ]; then
  echo "$found"
  echo "!! clang-tidy: $(echo "$found" | wc -l) findings (details in $logs)"
  status=1
elif [ $status -ne 0 ]; then
  grep -h -B2 -A10 -E 'error|Error' "$logs"/*.log | head -n 60
  echo "!! clang-tidy failed (logs in $logs)"
fi

echo "== cppcheck"
# Warnings, style, performance and portability; the build dir keeps results of files
# that did not change.
mkdir -p "$build/cppcheck"
if ! cppcheck --project="$build/compile_commands.json" --std=c++20 -j "$jobs" --quiet \
  --enable=warning,style,performance,portability --inline-suppr \
  --suppressions-list=tools/cppcheck-suppressions.txt --cppcheck-build-dir="$build/cppcheck" \
  --error-exitcode=1 --template='{file}:{line}:{column}: {severity}: {message} [{id}]'; then
  echo "!! cppcheck found faults"
  status=1
fi

echo "== close-on-exec"
if ! tools/cloexec-check.sh; then
  status=1
fi

echo "== clang-format"
unformatted=$(git ls-files '*.c' '*.cpp' '*.h' | xargs clang-format --dry-run 2>&1 |
  grep -E ':[0-9]+:[0-9]+: (warning|error):' || true)
if [ -n "$unformatted" ]; then
  echo "$unformatted"
  echo "!! clang-format: layout differs (see clang-format --dry-run FILE)"
  status=1
fi

echo "== include rooms"
tools/include-rooms.sh || status=1

[ $status -eq 0 ] && echo "lint: clean"
exit $status
