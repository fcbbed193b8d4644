#!/usr/bin/env bash
# A Qt kit archive whose checksum is not the known one is refused and leaves nothing in
# the cache, even when it holds every file a complete kit has.
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fake=$work/make/qt6-mingw
mkdir -p "$fake/bin" "$fake/lib/cmake/Qt6" "$fake/plugins/platforms" "$fake/plugins/styles" \
    "$fake/plugins/imageformats"
touch "$fake/.quorvix-kit" "$fake/mingw-w64.cmake" "$fake/bin/qt-cmake" \
    "$fake/lib/cmake/Qt6/qt.toolchain.cmake" "$fake/bin/Qt6Core.dll" "$fake/bin/Qt6Gui.dll" \
    "$fake/bin/Qt6Widgets.dll" "$fake/plugins/platforms/qwindows.dll" \
    "$fake/plugins/styles/qwindowsvistastyle.dll" "$fake/plugins/imageformats/qico.dll"
tar -C "$work/make" -cJf "$work/qt6.4.2-mingw-w64-x86_64.tar.xz" qt6-mingw

status=0
QUORVIX_WIN_QT_DIR=$work/cache/qt6-mingw QUORVIX_WIN_QT_ARCHIVE=$work/qt6.4.2-mingw-w64-x86_64.tar.xz \
    bash "$root/scripts/windows-qt.sh" >"$work/out" 2>"$work/err" || status=$?
fail() { echo "FAIL: $*"; cat "$work/err"; exit 1; }
[ "$status" -ne 0 ] || fail "the archive was accepted"
grep -q "refusing .*sha256 is" "$work/err" || fail "no message that says why"
[ ! -s "$work/out" ] || fail "a kit path was printed: $(cat "$work/out")"
[ ! -e "$work/cache/qt6-mingw" ] || fail "something was left in the cache"
[ -z "$(ls -A "$work/cache" 2>/dev/null)" ] || fail "scratch left in the cache: $(ls -A "$work/cache")"
echo "refused: $(grep refusing "$work/err")"
