#!/bin/sh
# Checks that the rooms of the tree (the top folders, and each folder under tests/ or
# fuzz/ on its own) include each other without a circle: every quoted #include is
# resolved to the tracked header of that name, giving an edge from the includer's room
# to the header's, and tsort finds any loop. Prints the edges with -v.
#
#   tools/include-rooms.sh [-v]
set -eu
cd "$(dirname "$0")/.."

room() {
  case $1 in
  tests/*/* | fuzz/*/*) echo "$1" | cut -d/ -f1-2 ;;
  */*) echo "${1%%/*}" ;;
  *) echo . ;;
  esac
}

headers=$(git ls-files '*.h')
edges=$(git ls-files '*.c' '*.cpp' '*.h' | while read -r file; do
  from=$(room "$file")
  sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file" | while read -r name; do
    for header in $(echo "$headers" | grep -E "(^|/)$name\$" || true); do
      to=$(room "$header")
      [ "$from" = "$to" ] || echo "$from $to"
    done
  done
done | sort -u)

[ "${1:-}" = -v ] && echo "$edges"
if ! echo "$edges" | tsort >/dev/null 2>"${TMPDIR:-/tmp}/include-rooms.$$"; then
  sed 's/^tsort: /include circle: /' "${TMPDIR:-/tmp}/include-rooms.$$" >&2
  rm -f "${TMPDIR:-/tmp}/include-rooms.$$"
  exit 1
fi
rm -f "${TMPDIR:-/tmp}/include-rooms.$$"
echo "include rooms: no circle"
