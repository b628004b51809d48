#!/bin/sh
# Makes the built-in sample collection: a few music devices, each a folder of lists
# (albums) of short real MP3 songs with ID3 tags, encoded from generated tunes.
#
#   make_samples.sh DEST [SECONDS]
#
# Devices land in DEST/device1, DEST/device2, ...; existing songs are kept.
set -eu
dest=$1
seconds=${2:-4}
bin=$(cd "$(dirname "$0")/.." && pwd)/build/bin
[ -x "$bin/tonegen" ] || bin=$(dirname "$(command -v tonegen)")

# song DEVICE LIST ARTIST ALBUM YEAR TRACK TITLE NOTES...
song() {
  device=$1 list=$2 artist=$3 album=$4 year=$5 track=$6 title=$7
  shift 7
  dir="$dest/$device/$list"
  file="$dir/$(printf '%02d' "$track") $title.mp3"
  mkdir -p "$dir"
  [ -s "$file" ] && return 0
  "$bin/tonegen" "$seconds" "$@" |
    lame --quiet -m m -b 64 \
      --tt "$title" --ta "$artist" --tl "$album" --ty "$year" --tn "$track" \
      - "$file"
}

song device1 "Harbour Lights - Low Tide" "Harbour Lights" "Low Tide" 1998 1 "Morning Ferry" 262 330 392 523
song device1 "Harbour Lights - Low Tide" "Harbour Lights" "Low Tide" 1998 2 "Salt and Rope" 294 370 440 587
song device1 "Harbour Lights - Low Tide" "Harbour Lights" "Low Tide" 1998 3 "Lighthouse Keeper" 330 415 494 659
song device1 "The Quiet Engines - Gearbox" "The Quiet Engines" "Gearbox" 2003 1 "Idle" 220 277 330 440
song device1 "The Quiet Engines - Gearbox" "The Quiet Engines" "Gearbox" 2003 2 "Second Gear" 247 311 370 494
song device2 "Mina Okafor - Paper Kites" "Mina Okafor" "Paper Kites" 2011 1 "String" 349 440 523 698
song device2 "Mina Okafor - Paper Kites" "Mina Okafor" "Paper Kites" 2011 2 "Updraft" 392 494 587 784
song device2 "Mina Okafor - Paper Kites" "Mina Okafor" "Paper Kites" 2011 3 "Tangled Tail" 440 554 659 880
song device2 "Various - Night Radio" "Various" "Night Radio" 1987 1 "Static Waltz" 196 247 294 392
song device2 "Various - Night Radio" "Various" "Night Radio" 1987 2 "Last Call" 175 220 262 349
song device3 "Old Tapes" "Unknown" "Old Tapes" 1979 1 "Side A" 131 165 196 262
song device3 "Old Tapes" "Unknown" "Old Tapes" 1979 2 "Side B" 147 185 220 294
# A stray file and a folder without songs: neither becomes a list or a song.
echo "cover art would go here" >"$dest/device3/Old Tapes/cover.txt"
mkdir -p "$dest/device3/Empty Box"
echo "nothing to play" >"$dest/device3/Empty Box/README.txt"
