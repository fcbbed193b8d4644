#!/bin/sh
# Compiles every Windows backend under platform/ with the MinGW-w64 cross compiler, so
# the Windows side keeps building while the project is developed on Linux. A backend that
# uses Qt Core is compiled against the Windows Qt kit (scripts/windows-qt.sh puts it in
# place); without the kit it is skipped and said so.
# Exits non-zero when the compiler is missing or any file fails to compile.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
cxx=${CXX_WIN:-x86_64-w64-mingw32-g++-posix}
if ! command -v "$cxx" >/dev/null 2>&1; then
    echo "check-windows-build: $cxx not found (apt-get install g++-mingw-w64-x86-64)" >&2
    exit 2
fi
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
kit=${QUORVIX_WIN_QT_DIR:-$HOME/.cache/quorvix/qt6-mingw}
status=0
count=0
for source in "$root"/platform/*_win.cpp; do
    [ -e "$source" ] || continue
    count=$((count + 1))
    qt=""
    if grep -q '^#include <Q' "$source"; then
        if [ ! -f "$kit/.quorvix-kit" ]; then
            echo "skipped $(basename "$source") (uses Qt; no Windows Qt kit in $kit)"
            continue
        fi
        qt="-isystem $kit/include -isystem $kit/include/QtCore"
    fi
    # shellcheck disable=SC2086 # $qt is a list of options
    if "$cxx" -std=c++20 -Wall -Wextra -Werror -I"$root" $qt -c "$source" \
        -o "$out/$(basename "$source" .cpp).o"; then
        echo "ok      $(basename "$source")"
    else
        echo "FAILED  $(basename "$source")" >&2
        status=1
    fi
done
if [ "$count" -eq 0 ]; then
    echo "check-windows-build: no platform/*_win.cpp found" >&2
    exit 1
fi
exit $status
