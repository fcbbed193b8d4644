#!/usr/bin/env bash
# Puts Qt 6.4.2 for Windows (x86_64, MinGW-w64: Core, Gui, Widgets, Test and their
# plugins) into a cache folder and prints that folder's path as the only line on stdout;
# progress goes to stderr. Run it as root on Debian 12; it installs what it needs.
#   kit=$(bash scripts/windows-qt.sh)
#
#   QUORVIX_WIN_QT_DIR      the kit folder (default ~/.cache/quorvix/qt6-mingw)
#   QUORVIX_WIN_QT_ARCHIVE  a prebuilt kit (qt6.4.2-mingw-w64-x86_64.tar.xz); it is used only
#                           if its sha256 is the one below, else the script fails
#   QUORVIX_WIN_QT_WORK     where the kit is built from source when no archive is given
#                           (default ~/.cache/quorvix/qt6-mingw-src; about an hour on 2 cores)
#
# A complete kit already in the folder is used as it is. The kit is made in a scratch
# folder beside it and moved into place at the end, so an interrupted run leaves no
# half kit behind.
set -euo pipefail

readonly ARCHIVE_SHA256=b2e43ca96b8ed36dfe9975e216b6e2553f8d88a90ef18c1efcb108d0980e0233
readonly QT_VERSION=6.4.2
readonly SOURCE_TARBALL=qt6-base_${QT_VERSION}+dfsg.orig.tar.xz
readonly STAMP=.quorvix-kit
repo=$(cd "$(dirname "$0")/.." && pwd)
kit=${QUORVIX_WIN_QT_DIR:-$HOME/.cache/quorvix/qt6-mingw}
archive=${QUORVIX_WIN_QT_ARCHIVE:-}

say() { echo "windows-qt: $*" >&2; }
die() { say "$*"; exit 1; }

need_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if ((${#missing[@]})); then
    say "installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >&2
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
  fi
}

# The files a build of the program needs; the stamp is written last.
kit_complete() {
  local f
  for f in "$STAMP" mingw-w64.cmake bin/qt-cmake lib/cmake/Qt6/qt.toolchain.cmake \
      bin/Qt6Core.dll bin/Qt6Gui.dll bin/Qt6Widgets.dll plugins/platforms/qwindows.dll \
      plugins/styles/qwindowsvistastyle.dll plugins/imageformats/qico.dll; do
    [[ -e $kit/$f ]] || return 1
  done
}

# The kit depends on the host's Qt tools and the MinGW compilers whichever way it came.
need_packages g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 cmake ninja-build \
  qt6-base-dev qt6-base-dev-tools qt6-tools-dev qt6-l10n-tools xz-utils

if kit_complete; then
  echo "$kit"
  exit 0
fi
if [[ -e $kit ]] && [[ -n $(ls -A "$kit") ]]; then
  die "$kit exists but is not a complete kit (no $STAMP); remove it and run again"
fi

mkdir -p "$(dirname "$kit")"
scratch=$(mktemp -d "$(dirname "$kit")/.qt6-mingw.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

from_archive() {
  [[ -f $archive ]] || die "no archive at $archive"
  say "checking $archive"
  local sum
  sum=$(sha256sum "$archive" | cut -d' ' -f1)
  if [[ $sum != "$ARCHIVE_SHA256" ]]; then
    die "refusing $archive: sha256 is $sum, expected $ARCHIVE_SHA256"
  fi
  tar -C "$scratch" -xJf "$archive"
  [[ -d $scratch/qt6-mingw ]] || die "$archive does not hold a qt6-mingw/ folder"
  echo "archive $ARCHIVE_SHA256" >"$scratch/qt6-mingw/$STAMP"
}

# Debian's qt6-base, configured for win32-g++ against the host's Qt tools.
from_source() {
  need_packages dpkg-dev libwine-dev perl
  local work=${QUORVIX_WIN_QT_WORK:-$HOME/.cache/quorvix/qt6-mingw-src}
  mkdir -p "$work"
  if ! apt-cache showsrc qt6-base 2>/dev/null | grep -q '^Package: qt6-base'; then
    say "adding a deb-src entry for bookworm main"
    cat >/etc/apt/sources.list.d/quorvix-deb-src.sources <<'SOURCES'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
    apt-get update -qq >&2
  fi
  if [[ ! -f $work/$SOURCE_TARBALL ]]; then
    (cd "$work" && apt-get source -qq --download-only qt6-base >&2)
    [[ -f $work/$SOURCE_TARBALL ]] || die "apt-get source gave no $SOURCE_TARBALL (Debian moved past $QT_VERSION?)"
  fi
  local src=$work/qtbase-everywhere-src-$QT_VERSION
  rm -rf "$src" "$work/build"
  say "unpacking $SOURCE_TARBALL"
  tar -C "$work" -xJf "$work/$SOURCE_TARBALL"
  [[ -d $src ]] || die "$SOURCE_TARBALL does not unpack to $src"

  # Debian's source leaves out the tablet headers the Windows platform plugin includes;
  # wine's copies need two macros of wine's own headers.
  local wintab=$src/src/3rdparty/wintab
  mkdir -p "$wintab"
  cp /usr/include/wine/wine/windows/pktdef.h "$wintab/"
  {
    cat <<'PRELUDE'
#ifndef DECL_WINELIB_TYPE_AW
# ifdef UNICODE
#  define DECL_WINELIB_TYPE_AW(type) typedef type##W type;
# else
#  define DECL_WINELIB_TYPE_AW(type) typedef type##A type;
# endif
#endif
#ifndef API
# define API WINAPI
#endif
PRELUDE
    cat /usr/include/wine/wine/windows/wintab.h
  } >"$wintab/wintab.h"

  cp "$repo/cmake/mingw-w64-x86_64.cmake" "$work/mingw-w64.cmake"
  mkdir -p "$work/build"
  say "configuring (log: $work/build/configure.log)"
  (cd "$work/build" && "$src/configure" -prefix /opt/qt6-mingw -xplatform win32-g++ \
    -qt-host-path /usr -release -opensource -confirm-license -nomake examples -nomake tests \
    -no-opengl -no-feature-sql -no-feature-network -no-feature-dbus -no-feature-printsupport \
    -no-feature-concurrent -no-feature-xml -qt-zlib -qt-libpng -qt-libjpeg -qt-freetype \
    -qt-harfbuzz -qt-pcre -qt-doubleconversion -- -DCMAKE_TOOLCHAIN_FILE="$work/mingw-w64.cmake" \
    -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake -GNinja) >"$work/build/configure.log" 2>&1 \
    || die "configure failed, see $work/build/configure.log"
  say "building, about an hour (log: $work/build/build.log)"
  cmake --build "$work/build" --parallel 2 >"$work/build/build.log" 2>&1 \
    || die "build failed, see $work/build/build.log"
  DESTDIR=$scratch/stage cmake --install "$work/build" >"$work/build/install.log" 2>&1 \
    || die "install failed, see $work/build/install.log"
  mv "$scratch/stage/opt/qt6-mingw" "$scratch/qt6-mingw"

  local prefix=$scratch/qt6-mingw
  find "$prefix" -name '*.dll' -exec x86_64-w64-mingw32-strip --strip-unneeded {} +
  cp "$work/mingw-w64.cmake" "$prefix/mingw-w64.cmake"
  # The toolchain found relative to the kit, so that the folder can be moved.
  sed -i 's|^set(__qt_initially_configured_toolchain_file .*|set(__qt_initially_configured_toolchain_file "${CMAKE_CURRENT_LIST_DIR}/../../../mingw-w64.cmake")|' \
    "$prefix/lib/cmake/Qt6/qt.toolchain.cmake"
  grep -q 'CMAKE_CURRENT_LIST_DIR}/../../../mingw-w64.cmake' "$prefix/lib/cmake/Qt6/qt.toolchain.cmake" \
    || die "could not point qt.toolchain.cmake at the kit's mingw-w64.cmake"
  echo "source $SOURCE_TARBALL" >"$prefix/$STAMP"
}

if [[ -n $archive ]]; then
  from_archive
else
  from_source
fi
[[ -e $kit ]] && rmdir "$kit"
mv "$scratch/qt6-mingw" "$kit"
kit_complete || die "the kit in $kit is incomplete"
say "kit ready in $kit"
echo "$kit"
