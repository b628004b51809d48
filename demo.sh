#!/bin/sh
# The jukebox's main job on its built-in sample collection: build, make the sample
# songs, scan every device into the master list, build the order list and show them,
# and write the collection's catalogue page.
#
#   ./demo.sh [-a|-d|-l]   (the order: shuffled over all songs (default), per device,
#                           per list; "-s" for the master list's own order)
#
# Like the jukebox itself, it works on the real /tmp/MPL and /tmp/OPL (the master list
# is started afresh).
set -eu
cd "$(dirname "$0")"
top=$(pwd)
mode=${1:--a}
[ "$mode" = -s ] && mode=""

sh tools/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build >/dev/null
PATH="$top/build/bin:$PATH"

samples="$top/build/samples"
sh jukebox/make_samples.sh "$samples"

echo "== Scanning the sample collection in $samples"
rm -f /tmp/MPL
n=0
for device in "$samples"/device*; do
  n=$((n + 1))
  scantree "$device" "$n"
done

echo
echo "== Master list /tmp/MPL (device, list, song, text)"
cat /tmp/MPL

echo
echo "== Order list /tmp/OPL"
# shellcheck disable=SC2086
orderbuild $mode
printf '%5s  %-16s %s\n' order "device/list/song" path
while read -r order device list song; do
  printf '%5s  %-16s %s\n' "$order" "$device/$list/$song" "$(entryquery "$device" "$list" "$song")"
done </tmp/OPL

echo
echo "== Look-ups as the player scripts make them"
count=$(wc -l </tmp/OPL)
echo "\$ orderquery $((count + 1))     (past the end: back to the first song)"
orderquery $((count + 1))
echo "  /tmp/DEVICE /tmp/LIST /tmp/SONG: $(cat /tmp/DEVICE) $(cat /tmp/LIST) $(cat /tmp/SONG)"
echo "\$ orderquery 2 2 1   (where does device 2, list 2, song 1 play?)"
orderquery 2 2 1
echo "\$ entryquery 3 0 0   (the root of device 3)"
entryquery 3 0 0

echo
page="$top/build/catalog.html"
htmlcatalog >"$page"
echo "== Catalogue page of the collection: $page"
echo "   (open it in a browser: file://$page)"
