# Shared by the player scripts (sourced): where the jukebox stands and how to move it.
#
# State under /tmp besides the play lists:
#   POSITION  the song now chosen: "device list song"
#   STATUS    what the player does: play, pause, stop; "startup" while the jukebox
#             (re)starts (written by velm_control)
#   RANDOM    the order list's mode: s (sequential), a (all), d (device), l (list)
#   FRAMEPOS  the frame to resume the song at (written by playwatch)
#   PREPARED  the song the player holds loaded and paused at its start, not yet played
#             (removed by the launcher whenever it starts a player)
#
# Every script holds /tmp/velm.lock while it works, so a song's end (nextsong.sh
# STOPCAUGHT from playwatch) and a key (from velm_control) never move the jukebox at once.

# The shared names ($STATUS_PATH and the others), beside the scripts.
. velm-paths.sh

exec 9>>"$LOCK_PATH"
flock 9

status() {
  read -r word 2>/dev/null <"$STATUS_PATH" || word=stop
  echo "$word"
}

# Replaces the state file $1 whole with the line $2, synced to disk, as the programs
# replace theirs: a reader or a power cut finds the old line or the new.
put_state() {
  velm_put "$1" "$2"
}

set_status() {
  put_state "$STATUS_PATH" "$1"
}

random_mode() {
  read -r mode 2>/dev/null <"$RANDOM_PATH" || mode=s
  echo "$mode"
}

# The current song's address in $device $list $song and its file in $path (the first
# song of the order list when none is chosen yet or the chosen one has gone). Without
# any song the script has nothing to do and ends.
current() {
  if read -r device list song 2>/dev/null <"$POSITION_PATH" &&
    path=$(entryquery "$device" "$list" "$song" 2>/dev/null | head -n 1) && [ -n "$path" ]; then
    return 0
  fi
  choose_order 1 2>/dev/null || exit 0
}

# Chooses the song with order number $1 (past either end: the first song), as
# current() gives it.
choose_order() {
  order=$(orderquery "$1") || return 1
  read -r device <"$DEVICE_PATH"
  read -r list <"$LIST_PATH"
  read -r song <"$SONG_PATH"
  path=$(entryquery "$device" "$list" "$song" | head -n 1)
  put_state "$POSITION_PATH" "$device $list $song"
}

# Chooses the song at an address, as current() gives it; false when the master list has
# no such song.
choose_address() {
  found=$(entryquery "$1" "$2" "$3" 2>/dev/null | head -n 1)
  [ -n "$found" ] || return 1
  device=$1 list=$2 song=$3 path=$found
  put_state "$POSITION_PATH" "$device $list $song"
}

# The order number of the current song.
current_order() {
  orderquery "$device" "$list" "$song"
}

song_count() {
  wc -l <"$OPL_PATH"
}

# Display command lines.
display() {
  velm_send "$FIFO_DISPLAY_PATH" "$@"
}

# Shows the current song's title and the status word $1 with its address.
show_song() {
  display "display_settitle $(titleform "$path")" \
    "display_setstatus $1 $device $list $song" "display_settime +00:00 -00:00"
}

show_status() {
  display "display_setstatus $1 $device $list $song"
}

# The song's new resume point is its start.
forget_frame() {
  put_state "$FRAMEPOS_PATH" "$(printf '%16d' 0)"
}

# A line for the player: into its FIFO, or to standard output with "stdout" as $2 (the
# caller's output goes to the player).
player() {
  rm -f "$PREPARED_PATH"
  if [ "${2:-}" = stdout ]; then
    printf '%s\n' "$1"
  else
    velm_send "$FIFO_PLAYER_PATH" "$1"
  fi
}

# Starts the current song from its beginning; $1 as for player(). The order of the
# writes matters to song_had_ended: the choice (by the caller), the resume point 0, then
# the status.
play_current() {
  forget_frame
  set_status play
  player "LOAD $path" "${1:-}"
  show_song PLAY
}

# Loads the current song paused at its beginning, ready for a jump to the resume point,
# while the jukebox starts ("startup" stays until pause.sh lets the song play). A song
# already loaded so is not loaded again: the player would report a stop, and the watcher
# would take the resume point for the song's end.
prepare_current() {
  # The resume point is this song's only when it was written after the song was chosen.
  # An older one belongs to the song before: the power went between the choice and the
  # new song's resume point 0, and the chosen song starts at its beginning.
  if [ -e "$FRAMEPOS_PATH" ] &&
    [ -z "$(find "$FRAMEPOS_PATH" -newer "$POSITION_PATH" 2>/dev/null)" ]; then
    forget_frame
  fi
  if [ "$(cat "$PREPARED_PATH" 2>/dev/null)" != "$device $list $song" ]; then
    player "LOADPAUSED $path"
    put_state "$PREPARED_PATH" "$device $list $song"
  fi
  show_song PAUS
}

# True when the state left by a power cut shows that the current song had ended and the
# next one was not chosen yet: the jukebox was playing, and the watcher's resume point 0
# for the song's end came after the last status change, which itself came after the
# song was chosen. When the scripts start a song, the status comes last: their resume
# point 0 is never newer than it. A stop asked for changes the status first.
song_had_ended() {
  read -r frame 2>/dev/null <"$FRAMEPOS_PATH" || return 1
  [ "$frame" = 0 ] && [ -f "$POSITION_PATH" ] && [ "$(status)" = play ] &&
    [ -n "$(find "$FRAMEPOS_PATH" -newer "$STATUS_PATH" 2>/dev/null)" ] &&
    [ -z "$(find "$POSITION_PATH" -newer "$STATUS_PATH" 2>/dev/null)" ]
}

# The lists of the master list in order, one "device list" a line.
all_lists() {
  awk '$2 != 0 && $3 == 0 { print $1, $2 }' "$MPL_PATH"
}

# The list $2 places after (or, with $2 = -1, before) the current one, wrapping round:
# sets $list_device and $list_number.
step_list() {
  set -- $(all_lists | awk -v d="$device" -v l="$list" -v step="$1" '
    { dev[NR] = $1; num[NR] = $2; if ($1 == d && $2 == l) at = NR }
    END {
      if (NR == 0) exit 1
      if (!at) at = 1
      i = (at - 1 + step + NR) % NR + 1
      print dev[i], num[i]
    }') || return 1
  list_device=$1 list_number=$2
}
