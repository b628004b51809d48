#!/bin/sh
# The web catalogue's song chooser: /cgi-bin/choose.sh?song=CODE, CODE being the code of a
# song or a list as the catalogue page writes it in its links: device, list and song
# number with four digits each, one after the other ("000100020003"); a number above 9999
# with all its digits. A song's code plays that song, a list's code (song 0000) the
# list's first song. The answer is a short page saying what now plays, with a link back
# to the catalogue at the chosen entry.
#
# It runs as the web server's user, which may not touch the jukebox itself: it reads the
# served page and the master list, and hands the chosen address ("device list song") to
# the launcher through /tmp/fifo.web, the one thing that user may write. Everything taken
# from the request is checked to be digits before it meets a command or a file name;
# anything else is answered with status 400 and changes nothing.
#
# The launcher copies this script into the web server's folder.

PATH=/usr/bin:/bin
export PATH
LC_ALL=C
export LC_ALL

page=/tmp/velm-www/index.html
requests=/tmp/fifo.web
mpl=/tmp/MPL
position=/tmp/POSITION

# answer STATUS TEXT: a short text page, and the end.
answer() {
  printf 'Status: %s\r\nContent-Type: text/plain; charset=utf-8\r\nCache-Control: no-store\r\n\r\n%s\n' \
    "$1" "$2"
  exit 0
}

refuse() {
  answer "400 Bad Request" "Not a song of the catalogue: $1."
}

# The title the catalogue shows for the entry with code $1, as written on the page: HTML
# text already, put into the answer as it is.
page_title() {
  awk -v link="HREF=\"/cgi-bin/choose.sh?song=$1\">" '
    (at = index($0, link)) {
      text = substr($0, at + length(link))
      end = 0
      for (i = index(text, "</A>"); i; i = index(substr(text, end + 1), "</A>"))
        end += i + 3
      print substr(text, 1, end - 4)
      exit
    }' "$page"
}

[ "${REQUEST_METHOD:-}" = GET ] || answer "405 Method Not Allowed" "Only GET chooses a song."

case ${QUERY_STRING-} in
song=*) code=${QUERY_STRING#song=} ;;
*) refuse "the query needs the one parameter song=CODE" ;;
esac
case $code in
'') refuse "the code is empty" ;;
*[!0-9]*) refuse "a code is made of digits only" ;;
esac
# Three numbers of at most nine digits each.
if [ ${#code} -lt 12 ] || [ ${#code} -gt 27 ]; then
  refuse "a code has 12 to 27 digits"
fi

# The ways the code splits into device, list and song as the page writes numbers (four
# digits with leading zeros, or more digits without), kept when the master list holds
# that list or song: "device list song-to-play code-of-the-song". A list's song to play
# is its first.
found=$(awk -v code="$code" '
  function field(text) {
    return length(text) == 4 || (length(text) > 4 && substr(text, 1, 1) != "0")
  }
  BEGIN {
    n = length(code)
    for (a = 4; a <= 9; ++a)
      for (b = 4; b <= 9; ++b) {
        c = n - a - b
        if (c < 4 || c > 9)
          continue
        d = substr(code, 1, a); l = substr(code, a + 1, b); s = substr(code, a + b + 1)
        if (field(d) && field(l) && field(s) && d + 0 > 0 && l + 0 > 0)
          wanted[(d + 0) " " (l + 0) " " (s + 0)] = 1
      }
  }
  $2 != 0 && $3 != 0 {
    song = $1 " " $2 " " $3
    list = $1 " " $2 " 0"
    if (song in wanted)
      print song
    else if ((list in wanted) && !(list in first))
      first[list] = $3
  }
  END {
    for (list in first) {
      split(list, f, " ")
      print f[1], f[2], first[list]
    }
  }' "$mpl" 2>/dev/null)
case $found in
'') answer "404 Not Found" "The catalogue has no song or list with the code $code." ;;
*"
"*) answer "409 Conflict" "The code $code names more than one entry." ;;
esac
read -r device list song <<EOF
$found
EOF
song_code=$(printf '%04d%04d%04d' "$device" "$list" "$song")

title=$(page_title "$song_code")
[ -n "$title" ] || answer "404 Not Found" "The catalogue page does not show the code $code."

# The launcher holds the request FIFO open while the jukebox runs; the wait for a reader
# is bounded all the same.
[ -p "$requests" ] || answer "503 Service Unavailable" "The jukebox is not running."
# shellcheck disable=SC2016 # the inner shell expands its own arguments
timeout 2 sh -c 'printf "%s\n" "$1" >"$2"' sh "$device $list $song" "$requests" ||
  answer "503 Service Unavailable" "The jukebox did not take the request."

i=0
while [ "$(cat "$position" 2>/dev/null)" != "$device $list $song" ]; do
  i=$((i + 1))
  [ $i -le 50 ] || answer "503 Service Unavailable" "The jukebox did not move to the song."
  sleep 0.1
done

what=$title
[ "$code" = "$song_code" ] || what="$title, the first song of $(page_title "$code")"
printf 'Status: 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\n\r\n'
printf '<!DOCTYPE html>\n<html><head><meta charset="utf-8"><title>Now playing</title></head>\n'
printf '<body><p id="playing">Now playing: %s</p>\n' "$what"
printf '<p><a href="/#%s">Back to the catalogue</a></p></body></html>\n' "$code"
