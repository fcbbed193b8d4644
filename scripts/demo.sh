#!/usr/bin/env bash
# Installs what is missing, builds, and runs the mixer against the device simulator
# playing a TK2. With a display the program opens in your tray (quit it from the tray
# menu). Without one it runs under Xvfb with a tray host, opens the main window through
# the tray icon, saves screenshots to out/ and quits through the tray menu.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
demo_started=$SECONDS
# Only what the demo runs: the program with its translations, the simulator, the client.
BUILD_TARGETS="QuorvixDriver quorvix_translations quorvix-devsim quorvix-ctl" bash scripts/build.sh build
echo "demo: built in $((SECONDS - demo_started)) s"

bin=$PWD/build/bin
out=$PWD/out
mkdir -p "$out"
work=$(mktemp -d)
started=()
cleanup() {
    for pid in "${started[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

if [ -z "${DISPLAY:-}" ]; then
    # A private session, so the demo never touches anyone's settings or sockets.
    mkdir -p "$work/runtime" "$work/home" "$work/tmp"
    chmod 700 "$work/runtime"
    export XDG_RUNTIME_DIR=$work/runtime HOME=$work/home TMPDIR=$work/tmp
fi
export QT_FORCE_STDERR_LOGGING=1

"$bin/quorvix-devsim" --model tk2 --firmware 1.0.3 --meters sine --quiet &
started+=($!)

if [ -n "${DISPLAY:-}" ]; then
    echo "Quorvix Mixer runs in your tray; the simulator plays a TK2. Quit from the tray menu."
    "$bin/QuorvixDriver"
    exit $?
fi

source scripts/lib/xsession.sh
start_x_session || { echo "could not start Xvfb with a tray host"; exit 1; }
"$bin/QuorvixDriver" >"$work/program.out" 2>"$work/program.log" &
program=$!
started+=($program)

wait_until 30 find_icon || { echo "no tray icon appeared"; cat "$work/program.log"; exit 1; }
echo "The tray icon is up; clicking it."
click_icon 1
wait_until 10 find_window_titled '"Quorvix TK2 - FW: 1\.0\.3' ||
    { echo "the main window with the TK2 panel did not show"; tail -n 40 "$work/program.log"; exit 1; }
sleep 2 # let the meters move once
import -window "$found" "$out/demo-main-window.png"
import -window root "$out/demo-screen.png"
echo "Screenshots: $out/demo-main-window.png and $out/demo-screen.png"

quit_through_menu "$program" || { echo "\"Quit\" from the tray menu did not end the program"; exit 1; }
rc=0
wait "$program" || rc=$?
echo "The program ended with exit code $rc after \"Quit\", $((SECONDS - demo_started)) s after the build started. What it logged:"
grep -E 'Device found|Adding|已从配置文件|Mic volume|Headphone|Pipe|Settings dialog' "$work/program.log" | head -n 30
exit "$rc"
