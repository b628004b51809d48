# Shell helpers of the golden cases, read by /bin/sh before each case's cmd. /tmp and /mnt
# are the fresh tmpfs folders of the case's own sandbox.

# in_order NAME...: moves the entries of the current folder out and back, so that the
# directory reader delivers them in the order given; every entry must be named. tmpfs
# delivers entries by when they came, oldest first or newest first by kernel version,
# so both ways are tried. Ends the script with status 125 when neither gives the order.
in_order() {
  want=$(printf '%s\n' "$@")
  for way in forward backward; do
    mkdir .in_order || exit 125
    for n in "$@"; do mv -- "$n" .in_order/ || exit 125; done
    if [ $way = forward ]; then in_order_back "$@"; else in_order_back_reversed "$@"; fi
    rmdir .in_order || exit 125
    [ "$(ls -AU)" = "$want" ] && return 0
  done
  # shellcheck disable=SC2012
  echo "golden setup: cannot order the entries of $PWD: $(ls -AU | tr '\n' ' ')" >&2
  exit 125
}
in_order_back() {
  for n in "$@"; do mv -- ".in_order/$n" . || exit 125; done
}
in_order_back_reversed() {
  [ $# -eq 0 ] && return 0
  in_order_back_reversed_tail "$@"
  mv -- ".in_order/$1" . || exit 125
}
in_order_back_reversed_tail() {
  shift
  in_order_back_reversed "$@"
}

# Every folder below the current one delivers its entries in name order.
in_name_order() {
  set -f
  IFS='
'
  # shellcheck disable=SC2046
  set -- $(ls -A)
  unset IFS
  set +f
  [ $# -eq 0 ] && return 0
  in_order "$@"
  for n in "$@"; do
    if [ -d "$n" ] && [ ! -L "$n" ]; then (cd -- "$n" && in_name_order) || exit 125; fi
  done
}

# golden_setup CASE: puts the case's in/tmp and in/mnt in place.
golden_setup() {
  for top in tmp mnt; do
    [ -d "$1/in/$top" ] || continue
    cp -R --preserve=mode,timestamps "$1/in/$top/." "/$top/" || {
      echo "golden setup: cannot copy $1/in/$top" >&2
      exit 125
    }
  done
  (cd /mnt && in_name_order) || {
    echo "golden setup: cannot put the folders of /mnt in name order" >&2
    exit 125
  }
}
