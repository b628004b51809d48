#!/bin/sh
# Writes the expected files of the golden cases (tests/golden/README) anew from what the
# tools give now, after an intended change of their output: builds the tools and the test
# in BUILD-DIR (default build/), runs every case, or those whose <tool>_<case> name holds
# CASE-PATTERN, and lists the case files that changed. Read the difference before
# committing it. Needs root, like the tests.
#
#   tools/golden-update.sh [BUILD-DIR [CASE-PATTERN]]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
pattern=${2:-}
cmake -S "$root" -B "$build" -G Ninja -DVELM_TESTS=ON >/dev/null
ninja -C "$build" golden_test
VELM_GOLDEN_UPDATE=1 "$build/tests/golden/golden_test" --gtest_brief=1 \
  --gtest_filter="Golden.*${pattern}*"
git -C "$root" status --short -- tests/golden
