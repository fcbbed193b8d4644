#!/bin/sh
# Builds the Windows pipe backend with MinGW-w64 and runs its Qt-free test program
# under Wine. Installs the cross compiler and Wine when they are missing.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cxx=${CXX_WIN:-x86_64-w64-mingw32-g++-posix}

if ! command -v "$cxx" >/dev/null 2>&1; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq g++-mingw-w64-x86-64 >/dev/null
fi
. "$root/scripts/lib/wine.sh"

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
"$cxx" -std=c++20 -Wall -Wextra -Werror -O1 -static -I"$root" \
    "$root/tests/winpipes/winpipe_test.cpp" "$root/platform/NamedPipe_win.cpp" \
    "$root/platform/PlatformError_win.cpp" -o "$out/winpipe_test.exe"

export WINEPREFIX="$out/wineprefix"
wine_new_prefix "$WINEPREFIX" || exit 1
status=0
timeout 60 "$wine" "$out/winpipe_test.exe" || status=$?
"$wineserver" -k >/dev/null 2>&1 || true
exit $status
