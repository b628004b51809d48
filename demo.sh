#!/bin/sh
# The jukebox on its built-in sample collection: installs what is missing, builds, makes
# the sample songs and plays them, all in a private machine (its own /tmp, /mnt and
# /dev), so the host is left as it was. Needs root for that.
#
#   ./demo.sh                  in this terminal: the LCD live, the keys listed above it
#   ./demo.sh --tour [SCRIPT]  without a terminal: a script of keys and waits (the
#                              built-in tour, or SCRIPT) plays, and the LCD's frames are
#                              printed as text
set -eu
cd "$(dirname "$0")"
top=$(pwd)

sh tools/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build >/dev/null
sh demo/make_samples.sh "$top/build/samples"

script=""
if [ "${1:-}" = --tour ]; then
  script=${2:-$top/demo/demo-tour.txt}
  script=$(cd "$(dirname "$script")" && pwd)/$(basename "$script")
elif [ ! -t 0 ]; then
  echo "demo.sh: no terminal: use ./demo.sh --tour" >&2
  exit 2
fi
exec "$top/build/tests/sandbox" --keep "$top" -- \
  env PATH="$top/build/bin:$PATH" sh "$top/demo/demo-inside.sh" "$top/build/samples" $script
