#!/bin/sh
# Builds the bus driver QuorvixBus.sys with MinGW-w64 into the given folder
# (default build/windriver). Installs the cross compiler when it is missing.
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
out=${1:-$root/build/windriver}
cc=${CC_WIN:-x86_64-w64-mingw32-gcc}
if ! command -v "$cc" >/dev/null 2>&1 || [ ! -d /usr/share/mingw-w64/include/ddk ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq gcc-mingw-w64-x86-64 mingw-w64-x86-64-dev >/dev/null
fi
src=$root/tools/windriver
mkdir -p "$out"
"$cc" -std=gnu11 -Wall -Wextra -Werror -O2 -fno-stack-protector -I/usr/share/mingw-w64/include/ddk \
    -nostdlib -shared -Wl,--subsystem,native -Wl,-e,DriverEntry -Wl,--exclude-all-symbols \
    "$src/BusDriver.c" "$src/BusPresence.c" "$src/RelayLink.c" \
    -o "$out/QuorvixBus.sys.$$" -lntoskrnl -lhal -lws2_32
# Renamed into place, so a test that starts the driver meanwhile never loads half a file.
mv -f "$out/QuorvixBus.sys.$$" "$out/QuorvixBus.sys"
