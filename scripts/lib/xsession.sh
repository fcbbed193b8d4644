# X session helpers for driving the program as a person would: Xvfb as the screen,
# trayer as the notification area, xdotool as mouse and keyboard. Source it; it needs
# $work (a scratch folder) and appends every started process id to `started`.

wait_until() { # <seconds> <command...>: polls the command every 0.2 s
    local limit=$(($1 * 5)) i
    shift
    for ((i = 0; i < limit; i++)); do
        "$@" && return 0
        sleep 0.2
    done
    return 1
}

start_x_session() {
    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.err" &
    started+=($!)
    wait_until 15 test -s "$work/display" || return 1
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
start_tray_host() {
    trayer --edge bottom --align right --height 32 --widthtype request >"$work/trayer.out" 2>&1 &
    tray_host=$!
    started+=($tray_host)
    wait_until 10 sh -c 'xwininfo -root -tree | grep -q "(\"panel\" \"trayer\")"'
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
