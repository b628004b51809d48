#!/bin/sh
# Makes the built-in sample collection: two music devices, each a folder of lists
# (albums) of short real MP3 songs with ID3 tags, encoded from generated tunes. Names
# as real collections have them: leading track numbers in several styles, "&", accents,
# a hidden list (its folder begins with "~"), a stray file and a folder without songs.
#
#   make_samples.sh DEST [SECONDS]
#
# Devices land in DEST/device1 and DEST/device2; existing songs are kept.
set -eu
dest=$1
seconds=${2:-8}
bin=$(cd "$(dirname "$0")/.." && pwd)/build/bin
[ -x "$bin/tonegen" ] || bin=$(dirname "$(command -v tonegen)")

# song DEVICE LIST FILE ARTIST ALBUM YEAR TRACK TITLE NOTES...
song() {
  device=$1 list=$2 file=$3 artist=$4 album=$5 year=$6 track=$7 title=$8
  shift 8
  dir="$dest/$device/$list"
  mkdir -p "$dir"
  [ -s "$dir/$file" ] && return 0
  # Two channels (the same tune on both), decoded apart, so the balance keys move the
  # sound from side to side as they do with any stereo song.
  "$bin/tonegen" -2 "$seconds" "$@" |
    lame --quiet -m j -b 64 \
      --tt "$title" --ta "$artist" --tl "$album" --ty "$year" --tn "$track" \
      - "$dir/$file"
}

d=device1
l="Harbour Lights - Low Tide"
song $d "$l" "01 Morning Ferry.mp3" "Harbour Lights" "Low Tide" 1998 1 "Morning Ferry" 262 330 392 523
song $d "$l" "02 Salt and Rope.mp3" "Harbour Lights" "Low Tide" 1998 2 "Salt and Rope" 294 370 440 587
song $d "$l" "03 Lighthouse Keeper.mp3" "Harbour Lights" "Low Tide" 1998 3 "Lighthouse Keeper" 330 415 494 659
l="The Quiet Engines - Gearbox"
song $d "$l" "1. Idle.mp3" "The Quiet Engines" "Gearbox" 2003 1 "Idle" 220 277 330 440
song $d "$l" "2. Second Gear.mp3" "The Quiet Engines" "Gearbox" 2003 2 "Second Gear" 247 311 370 494
song $d "$l" "3. Overdrive & Coast.mp3" "The Quiet Engines" "Gearbox" 2003 3 "Overdrive & Coast" 196 247 294 392
l="Zoë & the Café Band"
song $d "$l" "01_-_crème_brûlée.mp3" "Zoë & the Café Band" "Café" 2015 1 "Crème brûlée" 349 440 523
song $d "$l" "02_-_déjà_vu.mp3" "Zoë & the Café Band" "Café" 2015 2 "Déjà vu" 392 494 587
song $d "$l" "03_-_señorita.Mp3" "Zoë & the Café Band" "Café" 2015 3 "Señorita" 440 554 659
l="~Rehearsals"
song $d "$l" "01 Warm-up.mp3" "Harbour Lights" "Rehearsals" 1997 1 "Warm-up" 131 165 196
song $d "$l" "~02 Tuning.mp3" "Harbour Lights" "Rehearsals" 1997 2 "Tuning" 147 185 220

d=device2
l="Mina Okafor - Paper Kites"
song $d "$l" "01 String.mp3" "Mina Okafor" "Paper Kites" 2011 1 "String" 349 440 523 698
song $d "$l" "02 Updraft.mp3" "Mina Okafor" "Paper Kites" 2011 2 "Updraft" 392 494 587 784
song $d "$l" "03 Tangled Tail.mp3" "Mina Okafor" "Paper Kites" 2011 3 "Tangled Tail" 440 554 659 880
l="Various - Night Radio"
song $d "$l" "01 - Static Waltz.mp3" "Various" "Night Radio" 1987 1 "Static Waltz" 196 247 294 392
song $d "$l" "02 - Last Call.MP3" "Various" "Night Radio" 1987 2 "Last Call" 175 220 262 349
song $d "$l" "03 - Rock & Roll Radio.mp3" "Various" "Night Radio" 1987 3 "Rock & Roll Radio" 165 208 247
l="Old Tapes"
song $d "$l" "side_a.mp3" "Unknown" "Old Tapes" 1979 1 "Side A" 131 165 196 262
song $d "$l" "side_b.mp3" "Unknown" "Old Tapes" 1979 2 "Side B" 147 185 220 294
song $d "$l" "side_c.mp3" "Unknown" "Old Tapes" 1979 3 "Side C" 156 196 233

# A stray file and a folder without songs: neither becomes a list or a song.
echo "cover art would go here" >"$dest/device2/Old Tapes/cover.txt"
mkdir -p "$dest/device2/Empty Box"
echo "nothing to play" >"$dest/device2/Empty Box/README.txt"
