#!/bin/sh
# Takes a picture of a catalogue page as a browser shows it, to look at by eye:
#
#   tools/catalog-screenshot.sh PAGE.html OUT.png
#
# e.g. after ./demo.sh:  build/bin/htmlcatalog >page.html && tools/catalog-screenshot.sh page.html page.png
#
# Uses Debian's chromium headless (installed by tools/install-deps.sh) on the page's file://
# URL, without network, with a throw-away profile made beside OUT.png (removed again), and
# shows the top 1200x1600 pixels of the page.
set -eu
if [ $# -ne 2 ]; then
  echo "usage: $0 PAGE.html OUT.png" >&2
  exit 2
fi
page=$(realpath -- "$1")
[ -f "$page" ] || {
  echo "$0: no page $1" >&2
  exit 1
}
out_dir=$(realpath -- "$(dirname -- "$2")")
[ -d "$out_dir" ] || {
  echo "$0: no folder $out_dir for $2" >&2
  exit 1
}
out="$out_dir/$(basename -- "$2")"
command -v chromium >/dev/null || {
  echo "$0: chromium is not installed (sh tools/install-deps.sh)" >&2
  exit 1
}

work=$(mktemp -d "$out_dir/.catalog-screenshot.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/home"
# Characters that mean something else in a URL are written as %XX.
url="file://$(printf '%s' "$page" | sed -e 's/%/%25/g' -e 's/ /%20/g' -e 's/#/%23/g' -e 's/?/%3F/g')"

rm -f "$out"
# The profile and everything chromium keeps under the home folder stay in $work.
if ! HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_CACHE_HOME="$work/home/.cache" \
  chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
  --disable-background-networking --disable-component-update --disable-sync \
  --user-data-dir="$work/profile" --hide-scrollbars --window-size=1200,1600 \
  --screenshot="$out" "$url" >"$work/log" 2>&1 || [ ! -s "$out" ]; then
  cat "$work/log" >&2
  echo "$0: chromium made no picture of $page" >&2
  exit 1
fi
echo "$out"
