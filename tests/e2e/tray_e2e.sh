#!/usr/bin/env bash
# End-to-end check of the tray on a real X server: Xvfb as the screen, trayer as the
# notification area, xdotool as the user's mouse and keyboard.
#
# With a tray host: the icon appears and nothing else; a left click shows the main
# window; closing it hides it and the program goes on; a second copy exits 0 without an
# icon of its own; "Quit" from the context menu ends the program with exit code 0.
# Without a tray host: the program starts and runs; its main window, opened while a
# host was there and closed after the host went away, closes without a crash; a later
# click warns that no main window is left, and "Quit" still ends the program with 0.
#
# Usage: tray_e2e.sh <program> <window-close helper> [screenshot folder]
# Exit: 0 passed, 1 failed (also when a needed X tool is not installed).
set -u

program=${1:?program}
xclose=${2:?window-close helper}
shots=${3:-${QUORVIX_TEST_OUT:-}}

source "$(cd "$(dirname "$0")" && pwd)/../../scripts/lib/xsession.sh"
need_x_tools || exit 1

work=$(mktemp -d)
[ -n "$shots" ] || shots=$work/shots
mkdir -p "$shots"
rm -f "$shots/failure.png"
started=()

# A process that has been waited for is forgotten, so its id is never signalled again.
forget() {
    local kept=() pid
    for pid in "${started[@]}"; do
        [ "$pid" = "$1" ] || kept+=("$pid")
    done
    started=("${kept[@]}")
}

cleanup() {
    for pid in "${started[@]}"; do
        kill "$pid" 2>/dev/null
    done
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

shot() {
    import -window root "$shots/$1.png" 2>/dev/null || echo "note: screenshot $1 failed"
}

fail() {
    echo "FAIL: $*"
    shot failure
    for log in "$work"/*.log; do
        [ -e "$log" ] || continue
        echo "--- $(basename "$log") (device probing lines left out)"
        grep -v -e '^Open device' -e '^Device PID' "$log" | tail -n 30
    done
    echo "screenshots: $shots"
    exit 1
}

step() { echo "== $*"; }

# wait_until, parent_of, is_viewable, find_menu: the X-session helpers shared with the
# demo and the tour.

# --- a private X server and session -------------------------------------------------
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.err" &
started+=($!)
keep=$shots/helpers
wait_until "$helper_bound" up_or_gone "${started[-1]}" test -s "$work/display"
if [ ! -s "$work/display" ]; then
    helper_failed "Xvfb did not start within $helper_bound s" "$work/xvfb.err"
    fail "no X server"
fi
export DISPLAY=":$(head -n 1 "$work/display")"
mkdir -p "$work/runtime" "$work/home" "$work/config" "$work/data" "$work/tmp"
chmod 700 "$work/runtime"
export XDG_RUNTIME_DIR=$work/runtime HOME=$work/home XDG_CONFIG_HOME=$work/config
export XDG_DATA_HOME=$work/data
# The single-instance marker lives under the temporary folder: keep it private too.
export TMPDIR=$work/tmp
export QT_QPA_PLATFORM=xcb QT_FORCE_STDERR_LOGGING=1
# No session bus and no desktop: Qt uses the X11 tray protocol that trayer speaks.
unset DBUS_SESSION_BUS_ADDRESS WAYLAND_DISPLAY XDG_CURRENT_DESKTOP QT_QPA_PLATFORMTHEME
root=$(xwininfo -root | awk '/Window id:/ { print $4 }')

# The program's icons: its viewable windows embedded in the tray host, not the root's.
tray_icons() {
    local w
    for w in $(program_windows); do
        if is_viewable "$w" && [ "$(parent_of "$w")" != "$root" ]; then
            echo "$w"
        fi
    done
}
find_icon() {
    icon=$(tray_icons | head -n 1)
    [ -n "$icon" ]
}
# Only the program and trayer draw on this server, so the title alone finds the window.
visible_main_window() {
    xdotool search --onlyvisible --name '^Quorvix Driver$' 2>/dev/null | head -n 1
}
main_shown() {
    main=$(visible_main_window)
    [ -n "$main" ]
}
main_hidden() { [ -z "$(visible_main_window)" ]; }
alive() { kill -0 "$1" 2>/dev/null; }

click_icon() {
    xdotool mousemove --window "$icon" 8 8
    sleep 0.2
    xdotool click "$1"
}

# Right-click the icon and choose "Quit", the first entry that can be chosen (the
# version label above it is disabled); then the program must end with exit code 0.
quit_from_menu() {
    local pid=$1 attempt
    for attempt in 1 2 3; do
        click_icon 3
        wait_until 3 find_menu && break
    done
    [ -n "$menu" ] || fail "the context menu did not open"
    shot "$2-menu"
    xdotool key Down
    sleep 0.3
    shot "$2-menu-quit-selected"
    xdotool key Return
    wait_until 20 sh -c "! kill -0 $pid 2>/dev/null" || fail "\"Quit\" did not end the program"
    wait "$pid"
    local rc=$?
    forget "$pid"
    [ "$rc" -eq 0 ] || fail "exit code after \"Quit\" was $rc, not 0"
}

# --- with a tray host ---------------------------------------------------------------
step "start with a tray host"
start_tray_host || fail "trayer did not start"
"$program" >"$work/first.log" 2>&1 &
first=$!
started+=($first)
wait_until 20 find_icon || fail "no tray icon appeared"
sleep 0.5
main_hidden || fail "the main window is visible at start"
shot 01-tray-icon

step "left click shows the main window"
click_icon 1
wait_until 10 main_shown || fail "a left click did not show the main window"
shot 02-main-window

step "closing the main window hides it"
"$xclose" "$main" || fail "could not ask the main window to close"
wait_until 10 main_hidden || fail "the main window did not hide on close"
sleep 1
alive "$first" || fail "the program ended when its main window was closed"
xwininfo -id "$main" >/dev/null 2>&1 || fail "the main window was destroyed instead of hidden"
shot 03-main-window-closed

step "a second copy exits 0 without an icon"
timeout 30 "$program" >"$work/second.log" 2>&1
rc=$?
[ "$rc" -eq 0 ] || fail "the second copy exited with $rc"
grep -q 'Quorvix Mixer 已经在运行中。' "$work/second.log" ||
    fail "the second copy did not say that a copy runs already"
[ "$(tray_icons | wc -l)" -eq 1 ] || fail "more than one tray icon after the second copy"
alive "$first" || fail "the first copy ended when the second one started"

step "the icon shows the main window again"
click_icon 1
wait_until 10 main_shown || fail "a second click did not show the main window again"
"$xclose" "$main" || fail "could not ask the main window to close"
wait_until 10 main_hidden || fail "the main window did not hide on the second close"

step "\"Quit\" from the menu ends the program with 0"
quit_from_menu "$first" 04
shot 05-after-quit

# --- without a tray host ------------------------------------------------------------
step "start without a tray host"
stop_tray_host || fail "trayer did not go away"
"$program" >"$work/third.log" 2>&1 &
third=$!
started+=($third)
sleep 3
alive "$third" || fail "the program did not keep running without a tray host"
[ -z "$(tray_icons)" ] || fail "an icon appeared without a tray host"
main_hidden || fail "a window is visible without a tray host"
shot 06-no-tray-host

step "a tray host that comes later gets the icon"
start_tray_host || fail "trayer did not start"
wait_until 20 find_icon || fail "the icon did not appear when a tray host came up"
click_icon 1
wait_until 10 main_shown || fail "a left click did not show the main window"

step "closing the main window after the tray host went away"
stop_tray_host || fail "trayer did not go away"
sleep 1
"$xclose" "$main" || fail "could not ask the main window to close"
wait_until 10 main_hidden || fail "the main window did not close"
sleep 1
alive "$third" || fail "the program crashed or ended when its main window closed"
# With no tray to bring it back, the window is deleted rather than hidden.
xwininfo -id "$main" >/dev/null 2>&1 && fail "the main window was hidden instead of deleted"
shot 07-closed-without-tray

step "a click after that warns and does not crash"
start_tray_host || fail "trayer did not start"
wait_until 20 find_icon || fail "the icon did not come back with the tray host"
click_icon 1
# The warning box: a visible top-level window of the program titled "警告".
warning_box() {
    local w
    box=
    for w in $(xdotool search --onlyvisible --class QuorvixDriver 2>/dev/null); do
        if [ "$(parent_of "$w")" = "$root" ] &&
            xprop -id "$w" _NET_WM_NAME 2>/dev/null | grep -q '"警告"'; then
            box=$w
            return 0
        fi
    done
    return 1
}
wait_until 10 warning_box || fail "no warning that the main window is gone"
shot 08-warning
main_hidden || fail "a main window came up with the warning"
"$xclose" "$box" || fail "could not close the warning box"
wait_until 10 sh -c "! xwininfo -id $box 2>/dev/null | grep -q IsViewable" ||
    fail "the warning box did not close"
alive "$third" || fail "the program crashed when its icon was clicked"

step "\"Quit\" still ends it with 0"
quit_from_menu "$third" 09

echo "PASS: screenshots in $shots"
