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
  lame mpg123 alsa-utils procps psmisc util-linux chromium curl e2fsprogs fiu-utils
  g++-i686-linux-gnu g++-aarch64-linux-gnu qemu-user-static
  dpkg-dev lintian groff-base pkgconf"

# The libraries the build links: one list, installed for this machine's architecture and
# for each foreign one.
linked="libsystemd-dev libblkid-dev libfuse3-dev libmicrohttpd-dev libmpg123-dev"
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
  # or unpacked in its architecture's cross root (see cross_root below)
  case "$p" in
    *:*)
      root=/var/cache/velm-cross/$(dpkg-architecture -a"${p#*:}" -qDEB_HOST_MULTIARCH 2>/dev/null)
      grep -qx "$p" "$root/.packages" 2>/dev/null && continue
      ;;
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
# cross_root ARCH PACKAGE...: unpacks the packages of ARCH and everything they depend on
# (their Debian builds, downloaded, never installed) into /var/cache/velm-cross/TRIPLET,
# which the cross toolchain files take where the multiarch folders lack the libraries
# (cmake/multiarch.cmake). The C library's development files are left out: the cross
# compiler brings its own, and the root's would come first on the linker's path. The
# emulator finds the root's loader and libraries through its default prefix,
# /etc/qemu-binfmt/QEMU-ARCH, linked to the root when nothing is there yet.
cross_root() {
  arch=$1
  shift
  triplet=$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
  root=/var/cache/velm-cross/$triplet
  debs=$(mktemp -d)
  # shellcheck disable=SC2086
  closure=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
    --no-breaks --no-replaces --no-enhances "$@" "libstdc++6:$arch" 2>/dev/null |
    grep -E "^[a-z0-9][^ ]*:$arch\$" | sort -u |
    grep -vE '^(libc6-dev|libc-dev-bin|linux-libc-dev|libcrypt-dev|libnsl-dev|libtirpc-dev|rpcsvc-proto):')
  # shellcheck disable=SC2086
  if ! (cd "$debs" && chmod 777 . && apt-get download -qq $closure >/dev/null); then
    echo "install-deps: the libraries of $arch could not be downloaded" >&2
    rm -rf "$debs"
    return 0
  fi
  $sudo rm -rf "$root"
  $sudo mkdir -p "$root"
  for deb in "$debs"/*.deb; do
    $sudo dpkg-deb -x "$deb" "$root"
  done
  rm -rf "$debs"
  $sudo rm -rf "$root/etc"
  # Links to absolute paths (libfoo.so -> /lib/TRIPLET/libfoo.so.1) point into the root.
  find "$root" -type l -lname '/*' | while read -r link; do
    $sudo ln -sfn "$root$(readlink "$link")" "$link"
  done
  case "$arch" in
    arm64) qemu=aarch64 ;;
    *) qemu=$arch ;;
  esac
  if [ ! -e "/etc/qemu-binfmt/$qemu" ]; then
    $sudo mkdir -p /etc/qemu-binfmt
    $sudo ln -sfn "$root" "/etc/qemu-binfmt/$qemu"
  fi
  printf '%s\n' "$@" | $sudo tee "$root/.packages" >/dev/null
  echo "install-deps: the libraries of $arch are unpacked in $root"
}
# shellcheck disable=SC2086
[ -z "$missing" ] || install $missing
# A foreign architecture whose libraries cannot be installed through multiarch (a mirror
# whose lists of that architecture are missing or behind this machine's: multiarch wants
# the same version of a library for every architecture) gets them unpacked into a folder
# of its own instead, the cross root (see cross_root below).
# shellcheck disable=SC2086
if [ -n "$foreign_missing" ] && ! install $foreign_missing; then
  for arch in $foreign; do
    [ "$arch" = "$native" ] && continue
    wanted=""
    for lib in $linked libgtest-dev; do
      wanted="$wanted $lib:$arch"
    done
    # shellcheck disable=SC2086
    install $wanted 2>/dev/null || cross_root "$arch" $wanted
  done
fi
exit 0
