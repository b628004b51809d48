#!/bin/sh
# Installs, through apt-get, the Debian packages the jukebox needs to build, run and be
# tested; only the missing ones are fetched. Must run as root (or with sudo at hand).
#
# check.sh also builds the jukebox for i386 and arm64 (cmake/i386.cmake, cmake/arm64.cmake):
# Debian's cross compilers (not g++-multilib, which Debian's cross compilers conflict
# with), qemu-user-static to run the programs where the kernel cannot (static: a preloaded
# stand-in then reaches the emulated program only), and through multiarch (dpkg
# --add-architecture) the foreign builds of the libraries the build links and of GoogleTest
# (Debian's own builds of it, so nothing of it is compiled here).
set -eu
packages="g++ cmake ninja-build googletest libgtest-dev clang libclang-rt-14-dev
  clang-tidy clang-format cppcheck
  lame mpg123 alsa-utils procps psmisc util-linux chromium busybox e2fsprogs fiu-utils
  g++-i686-linux-gnu g++-aarch64-linux-gnu qemu-user-static
  dpkg-dev lintian groff-base pkgconf"

# The libraries the build links: one list, installed for this machine's architecture and
# for each foreign one.
linked="libsystemd-dev libblkid-dev libfuse3-dev"
foreign="i386 arm64"

native=$(dpkg --print-architecture)
for lib in $linked; do
  packages="$packages $lib:$native"
done
added=""
for arch in $foreign; do
  [ "$arch" = "$native" ] && continue
  for lib in $linked libgtest-dev; do
    packages="$packages $lib:$arch"
  done
  dpkg --print-foreign-architectures | grep -qx "$arch" || added="$added $arch"
done

# What is missing: this machine's packages, and the foreign builds' (of the libraries
# and GoogleTest, for the cross-build stages).
missing=""
foreign_missing=""
for p in $packages; do
  status=$(dpkg-query -W -f '${Status}' "$p" 2>/dev/null || true)
  case "$status" in
    *" installed") continue ;;
  esac
  case "$p" in
    *:"$native") missing="$missing $p" ;;
    *:*) foreign_missing="$foreign_missing $p" ;;
    *) missing="$missing $p" ;;
  esac
done
[ -z "$missing" ] && [ -z "$foreign_missing" ] && [ -z "$added" ] && exit 0

echo "Installing:$missing$foreign_missing"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
for arch in $added; do
  $sudo dpkg --add-architecture "$arch"
done
export DEBIAN_FRONTEND=noninteractive
# A mirror caught mid-sync fails one index and leaves the others: go on with what was
# fetched; a package it then lacks fails the install below with its name.
$sudo apt-get update -qq || echo "install-deps: some package lists could not be fetched; going on" >&2
install() {
  # shellcheck disable=SC2086
  $sudo apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}
# shellcheck disable=SC2086
[ -z "$missing" ] || install $missing
# A foreign package that cannot be had (its architecture's list missing or behind this
# machine's) leaves the cross build without it, said here: that stage then builds without
# what needs it, or fails on what it cannot do without. This machine's builds have all.
# shellcheck disable=SC2086
if [ -n "$foreign_missing" ] && ! install $foreign_missing; then
  for p in $foreign_missing; do
    install "$p" || echo "install-deps: $p could not be installed" >&2
  done
fi
exit 0
