#!/usr/bin/env bash
# The Windows build played as a person plays it, under Wine on a virtual X server with a
# tray host: the device simulator behind the bus driver stand-in and the relay, and the
# Windows ASIO peer on real Win32 pipes. Each step is checked against the simulator's
# journal, the program's log and the ini files in the prefix, and leaves a screenshot.
# The device requests of the whole session (less the meter and watch timers) go to
# <screenshot folder>/requests.txt; with COMPARE_WITH=<file> they must equal that file.
#
# Usage: tour_windows.sh <root> <Linux bin folder> <screenshot folder>
# Exit: 0 passed, 1 failed, 77 the Windows build or an X tool is missing (skipped).
set -u
src=${1:?source root}
bin=${2:?Linux bin folder}
shots=${3:?screenshot folder}
here=$(cd "$(dirname "$0")" && pwd)
exe=$src/build/windows/QuorvixMixer/QuorvixDriver.exe
peer=$src/build/windows/tools/quorvix-asiopeer.exe

[ -f "$exe" ] && [ -f "$peer" ] || { echo "SKIP: no Windows build in $src/build/windows"; exit 77; }
for tool in Xvfb trayer xdotool xwininfo xprop import; do
    command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool is not installed"; exit 77; }
done
source "$src/scripts/lib/wine.sh"

# Short: the socket paths must stay within the Unix limit.
work=$(mktemp -d /tmp/qwt.XXXXXX)
rm -f "$shots"/*.png
mkdir -p "$shots" "$work/run"
chmod 700 "$work/run"
export XDG_RUNTIME_DIR=$work/run WINEPREFIX=$work/pfx
started=()
cleanup() {
    for pid in "${started[@]}"; do kill "$pid" 2>/dev/null; done
    timeout 20 "$wineserver" -k 2>/dev/null
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
program_class=quorvixdriver.exe icon_class=explorer.exe
source "$src/scripts/lib/xsession.sh"

w() { timeout 60 "$wine" "$@" </dev/null; }
log=$work/program.log
endpoints=$XDG_RUNTIME_DIR/quorvix
ini_root=$WINEPREFIX/drive_c/users
notice='notice 1 bytes: 31 '
source "$here/tour_steps.sh"

start_program() {
    timeout 600 "$wine" "$exe" >"$work/program.out" 2>"$log" &
    program=$!
}
second_copy() { w "$exe" >/dev/null 2>"$work/second.log"; }
asio_peer() { w "$peer" "$@"; }
after_quit() { :; }

start_x_session || fail "no X session with a tray host"
"$bin/quorvix-winrelay" --port 0 --port-file "$work/port" >"$work/relay.log" 2>&1 &
started+=($!)
wait_until 10 test -s "$work/port" || fail "the relay did not start"
# With DISPLAY set: the prefix's explorer.exe, started here, hosts the tray icon.
bash "$src/scripts/wine-driver.sh" --prefix "$WINEPREFIX" --port "$(cat "$work/port")" start \
    >"$work/driver.log" 2>&1 || fail "the bus driver did not start: $(tail -n 5 "$work/driver.log")"
fonts='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes'
for f in 'Segoe UI' Tahoma 'MS Shell Dlg' 'MS Shell Dlg 2' Arial; do
    w reg add "$fonts" /v "$f" /d 'DejaVu Sans' /f >/dev/null 2>&1
done
for f in 'Microsoft YaHei' 'Microsoft YaHei UI' SimSun NSimSun; do
    w reg add "$fonts" /v "$f" /d 'Noto Sans CJK SC' /f >/dev/null 2>&1
done
w reg add 'HKCU\Environment' /v QT_FORCE_STDERR_LOGGING /d 1 /f >/dev/null 2>&1
timeout 600 "$wine" "$peer" serve --log "Z:${work//\//\\}\\notices" >"$work/asiopeer.out" 2>&1 &
started+=($!)
run_tour
