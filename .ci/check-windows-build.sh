#!/bin/sh
# Compiles every Qt-free Windows backend under platform/ with the MinGW-w64 cross
# compiler, so the Windows side keeps building while the project is developed on Linux.
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
status=0
count=0
for source in "$root"/platform/*_win.cpp; do
    [ -e "$source" ] || continue
    count=$((count + 1))
    if "$cxx" -std=c++20 -Wall -Wextra -Werror -I"$root" -c "$source" \
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
