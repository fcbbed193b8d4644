#!/usr/bin/env bash
# The bus driver stand-in under Wine: builds QuorvixBus.sys, installs and starts it in
# a Wine prefix, and optionally starts the relay that joins it to the device sockets.
#
#   scripts/wine-driver.sh [options] build   build build/windriver/QuorvixBus.sys
#   scripts/wine-driver.sh [options] start   build, prepare the prefix, start the driver
#                                            (and the relay with --relay)
#   scripts/wine-driver.sh [options] stop    stop the relay it started and the prefix's
#                                            wineserver
# options:
#   --prefix DIR   Wine prefix (default $WINEPREFIX, else /tmp/quorvix-wine)
#   --port N       the relay's TCP port on 127.0.0.1 (default 47810)
#   --relay BIN    start this quorvix-winrelay on --port; its pid goes to DIR/winrelay.pid
#                  and its output to DIR/winrelay.log (it serves $XDG_RUNTIME_DIR/quorvix)
# The wineserver is left running (persistent) after start: the driver lives in it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
prefix=${WINEPREFIX:-/tmp/quorvix-wine}
port=47810
relay=
command=

while [ $# -gt 0 ]; do
    case $1 in
    --prefix) prefix=$2; shift 2 ;;
    --port) port=$2; shift 2 ;;
    --relay) relay=$2; shift 2 ;;
    build | start | stop) command=$1; shift ;;
    *) echo "usage: $0 [--prefix DIR] [--port N] [--relay BIN] build|start|stop" >&2; exit 2 ;;
    esac
done
[ -n "$command" ] || { echo "usage: $0 [--prefix DIR] [--port N] [--relay BIN] build|start|stop" >&2; exit 2; }

out=$root/build/windriver
service=QuorvixBus
export WINEPREFIX=$prefix

find_wine() {
    source "$root/scripts/lib/wine.sh"
}

# Bounded, so a Wine that stalls cannot hang a caller.
w() { timeout 120 "$wine" "$@" </dev/null; }

# Built once: every test that starts the driver runs this.
build() {
    if [ ! -f "$out/QuorvixBus.sys" ] ||
        [ -n "$(find "$root/tools/windriver" -newer "$out/QuorvixBus.sys" -type f)" ]; then
        sh "$root/tools/windriver/build.sh" "$out"
    fi
}

start_driver() {
    find_wine
    if [ ! -d "$prefix/drive_c/windows/system32/drivers" ]; then
        wine_new_prefix "$prefix" || exit 1
    fi
    # The driver lives in the wineserver's session: keep it up between programs. This
    # fails harmlessly when the prefix's server is already running.
    "$wineserver" -p 2>/dev/null || true
    cp --remove-destination "$out/QuorvixBus.sys" "$prefix/drive_c/windows/system32/drivers/$service.sys"
    w sc stop "$service" >/dev/null 2>&1 || true
    w sc delete "$service" >/dev/null 2>&1 || true
    w sc create "$service" type= kernel start= demand \
        binpath= "C:\\windows\\system32\\drivers\\$service.sys" >/dev/null
    w reg add "HKLM\\System\\CurrentControlSet\\Services\\$service" /v RelayPort \
        /t REG_DWORD /d "$port" /f >/dev/null 2>&1
    w sc start "$service" >/dev/null
    if ! w sc query "$service" | grep -q RUNNING; then
        echo "wine-driver: $service did not start" >&2
        exit 1
    fi
}

start_relay() {
    [ -n "$relay" ] || return 0
    mkdir -p "$prefix"
    "$relay" --port "$port" >"$prefix/winrelay.log" 2>&1 &
    echo $! >"$prefix/winrelay.pid"
}

stop_all() {
    find_wine
    if [ -f "$prefix/winrelay.pid" ]; then
        kill "$(cat "$prefix/winrelay.pid")" 2>/dev/null || true
        rm -f "$prefix/winrelay.pid"
    fi
    "$wineserver" -k >/dev/null 2>&1 || true
}

case $command in
build) build ;;
start)
    build
    start_relay
    start_driver
    echo "wine-driver: $service running in $prefix, relay port $port"
    ;;
stop) stop_all ;;
esac
