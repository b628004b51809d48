#!/bin/sh
# Installs, through apt-get, the Debian packages the jukebox needs to build, run and be
# tested; only the missing ones are fetched. Must run as root (or with sudo at hand).
set -eu
packages="g++ cmake ninja-build googletest libgtest-dev clang libclang-rt-14-dev
  clang-tidy clang-format cppcheck
  lame mpg123 procps psmisc util-linux chromium busybox e2fsprogs fiu-utils
  libsystemd-dev libblkid-dev dpkg-dev lintian groff-base pkgconf"

missing=""
for p in $packages; do
  status=$(dpkg-query -W -f '${Status}' "$p" 2>/dev/null || true)
  case "$status" in
    *" installed") ;;
    *) missing="$missing $p" ;;
  esac
done
[ -z "$missing" ] && exit 0

echo "Installing:$missing"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
# shellcheck disable=SC2086
$sudo apt-get install -y -qq --no-install-recommends $missing >/dev/null
