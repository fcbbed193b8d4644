# X session helpers for driving the program as a person would: Xvfb as the screen,
# trayer as the notification area, xdotool as mouse and keyboard. Source it; it needs
# $work (a scratch folder) and appends every started process id to `started`.

# Every X tool the sessions use: a missing one fails the test with what to install,
# never a skip that passes.
need_x_tools() {
    local pair missing=0
    for pair in Xvfb:xvfb trayer:trayer xdotool:xdotool xwininfo:x11-utils xprop:x11-utils \
        import:imagemagick; do
        if ! command -v "${pair%%:*}" >/dev/null 2>&1; then
            echo "FAIL: ${pair%%:*} is missing (package ${pair#*:}); bash scripts/install-deps.sh installs it"
            missing=1
        fi
    done
    return $missing
}

wait_until() { # <seconds> <command...>: polls the command every 0.2 s
    local limit=$(($1 * 5)) i
    shift
    for ((i = 0; i < limit; i++)); do
        "$@" && return 0
        sleep 0.2
    done
    return 1
}

# How long a helper may take to come up: long enough for a slow machine's first start.
helper_bound=${QUORVIX_HELPER_BOUND:-30}

# A helper that did not come up: says so with the helper's own output, and keeps that
# output in $keep (a folder under the build folder, when the caller sets it), since
# $work goes with the test.
helper_failed() { # <what happened> <output file...>
    local f
    echo "$1; its own output:" >&2
    shift
    for f in "$@"; do
        echo "--- $f" >&2
        tail -n 40 "$f" >&2 2>/dev/null
        if [ -n "${keep:-}" ] && [ -f "$f" ]; then
            mkdir -p "$keep" && cp "$f" "$keep/"
        fi
    done
    [ -z "${keep:-}" ] || echo "(kept in $keep)" >&2
}

# Polls until the helper with the given id is up or gone.
up_or_gone() { # <pid> <command...>
    local pid=$1
    shift
    "$@" || ! kill -0 "$pid" 2>/dev/null
}

start_x_session() {
    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.err" &
    xvfb=$!
    started+=($xvfb)
    wait_until "$helper_bound" up_or_gone "$xvfb" test -s "$work/display"
    if [ ! -s "$work/display" ]; then
        helper_failed "Xvfb did not start within $helper_bound s" "$work/xvfb.err"
        return 1
    fi
    export DISPLAY=":$(head -n 1 "$work/display")"
    export QT_QPA_PLATFORM=xcb
    # No session bus: Qt then uses the X11 tray protocol that trayer speaks.
    unset DBUS_SESSION_BUS_ADDRESS WAYLAND_DISPLAY XDG_CURRENT_DESKTOP QT_QPA_PLATFORMTHEME
    xsetroot -solid '#3b4252' 2>/dev/null || true
    root=$(xwininfo -root | awk '/Window id:/ { print $4 }')
    start_tray_host
}

# The notification area: trayer, started and stopped on its own so that tests can
# bring it up after the program.
tray_host=
tray_host_up() { xwininfo -root -tree | grep -q '("panel" "trayer")'; }
start_tray_host() {
    trayer --edge bottom --align right --height 32 --widthtype request >"$work/trayer.out" 2>&1 &
    tray_host=$!
    started+=($tray_host)
    wait_until "$helper_bound" up_or_gone "$tray_host" tray_host_up
    if ! tray_host_up; then
        helper_failed "trayer, the notification area, did not come up within $helper_bound s" \
            "$work/trayer.out" "$work/xvfb.err"
        return 1
    fi
}
stop_tray_host() {
    kill "$tray_host" 2>/dev/null
    wait "$tray_host" 2>/dev/null
    tray_host=
    wait_until 10 sh -c '! xwininfo -root -tree | grep -q "(\"panel\" \"trayer\")"'
}

# Under Wine the windows carry the executable's name as class, and the tray icon
# belongs to Wine's explorer.exe rather than to the program.
program_class=${program_class:-QuorvixDriver}
icon_class=${icon_class:-$program_class}
program_windows() { xdotool search --class "$program_class" 2>/dev/null; }
parent_of() { xwininfo -children -id "$1" 2>/dev/null | awk '/Parent window id:/ { print $4 }'; }
is_viewable() { xwininfo -id "$1" 2>/dev/null | grep -q 'Map State: IsViewable'; }

# The tray icon: a viewable window of the program embedded in the tray host.
find_icon() {
    local w
    icon=
    for w in $(xdotool search --class "$icon_class" 2>/dev/null); do
        if is_viewable "$w" && [ "$(parent_of "$w")" != "$root" ]; then
            icon=$w
            return 0
        fi
    done
    return 1
}

click_icon() { # <button>
    # A restart of the shell makes the icon's window anew: find it again once it is gone.
    if [ -z "$icon" ] || ! is_viewable "$icon"; then
        wait_until 15 find_icon || return 1
    fi
    xdotool mousemove --window "$icon" 8 8
    sleep 0.2
    xdotool click "$1"
}

# A visible top-level window of the program whose title matches the pattern.
find_window_titled() { # <grep -E pattern>
    local w
    found=
    for w in $(xdotool search --onlyvisible --class "$program_class" 2>/dev/null); do
        if [ "$(parent_of "$w")" = "$root" ] &&
            xprop -id "$w" _NET_WM_NAME 2>/dev/null | grep -Eq "$1"; then
            found=$w
            return 0
        fi
    done
    return 1
}

# The context menu: a viewable override-redirect window of the program on the root.
find_menu() {
    local w
    menu=
    for w in $(program_windows); do
        if is_viewable "$w" && [ "$(parent_of "$w")" = "$root" ] &&
            xwininfo -id "$w" | grep -q 'Override Redirect State: yes'; then
            menu=$w
            return 0
        fi
    done
    return 1
}

# Right-click the icon and choose the menu entry `downs` steps below the top
# (1 is "Quit": the version label above it cannot be chosen).
choose_menu_entry() { # <downs>
    local attempt i
    for attempt in 1 2 3; do
        click_icon 3
        wait_until 3 find_menu && break
    done
    [ -n "$menu" ] || return 1
    for ((i = 0; i < $1; i++)); do
        xdotool key Down
        sleep 0.1
    done
    xdotool key Return
}

# Clicks the menu entry at `index` (0 is the version label, 1 "Quit", then the entries
# below the separator) with the mouse, so it works whichever window has the focus.
click_menu_entry() { # <index>
    local attempt height rows=6 sep=8 y
    for attempt in 1 2 3; do
        click_icon 3
        wait_until 3 find_menu && break
    done
    [ -n "$menu" ] || return 1
    sleep 0.3
    height=$(xwininfo -id "$menu" | awk '/Height:/ { print $2 }')
    local row=$(((height - sep - 4) / rows))
    y=$((2 + row * $1 + row / 2))
    ((${1} >= 2)) && y=$((y + sep))
    xdotool mousemove --window "$menu" 30 "$y"
    sleep 0.3
    xdotool mousedown 1
    sleep 0.15
    xdotool mouseup 1
}

# Chooses "Quit" from the tray menu until the program with the given id has ended
# (a press can get lost while the menu is still opening).
quit_through_menu() { # <pid>
    local attempt
    for attempt in 1 2 3; do
        click_menu_entry 1 || continue
        wait_until 10 sh -c "! kill -0 $1 2>/dev/null" && return 0
    done
    return 1
}
