#!/usr/bin/env bash
# The Windows build played as a person plays it, under Wine on a virtual X server with a
# tray host: the device simulator behind the bus driver stand-in and the relay, and the
# Windows ASIO peer on real Win32 pipes. Each step is checked against the simulator's
# journal, the program's log and the ini files in the prefix, and leaves a screenshot.
# The device requests of the whole session (less the meter and watch timers) go to
# <screenshot folder>/requests.txt; with COMPARE_WITH=<file> they must equal that file.
#
# Usage: tour_windows.sh <root> <Linux bin folder> <screenshot folder>
# Exit: 0 passed, 1 failed (also when the Windows build or an X tool is missing).
set -u
src=${1:?source root}
bin=${2:?Linux bin folder}
shots=${3:?screenshot folder}
here=$(cd "$(dirname "$0")" && pwd)
exe=$src/build/windows/QuorvixMixer/QuorvixDriver.exe
peer=$src/build/windows/tools/quorvix-asiopeer.exe

[ -f "$exe" ] && [ -f "$peer" ] ||
    { echo "FAIL: no Windows build in $src/build/windows; bash scripts/build-windows.sh makes it"; exit 1; }
source "$src/scripts/lib/xsession.sh"
need_x_tools || exit 1
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
# Wine's notepad plays the program in front (the DAW) when the ASIO driver asks. Without
# a window manager Wine moves no X focus itself, so its own foreground window and
# keyboard focus are what is checked.
x86_64-w64-mingw32-gcc -O1 -o "$work/foreground.exe" "$here/foreground_probe.c" ||
    { echo "FAIL: could not build the foreground probe"; exit 1; }
foreground() { w "$work/foreground.exe" 2>/dev/null | tr -d '\r'; }
in_front() { [ "$(foreground)" = "$1" ]; } # <title>|focus
before_asio_request() {
    timeout 600 "$wine" notepad >/dev/null 2>&1 &
    notepad=$!
    started+=($notepad)
    wait_until 15 sh -c "xdotool search --onlyvisible --class notepad.exe >/dev/null" ||
        fail "notepad did not come up"
    xdotool windowfocus --sync "$(xdotool search --onlyvisible --class notepad.exe | head -n 1)"
    wait_until 10 in_front "Untitled - Notepad|focus" || fail "notepad is not in front: $(foreground)"
}
after_asio_request() {
    wait_until 5 in_front "Settings|focus" ||
        fail "the settings window did not take the keyboard: $(foreground) is in front"
    kill "$notepad" 2>/dev/null
}

keep=$shots/helpers
start_x_session || fail "no X session with a tray host"
"$bin/quorvix-winrelay" --port 0 --port-file "$work/port" >"$work/relay.log" 2>&1 &
started+=($!)
relay=${started[-1]}
wait_until "$helper_bound" up_or_gone "$relay" test -s "$work/port"
[ -s "$work/port" ] || { helper_failed "the relay did not start" "$work/relay.log"; fail "no relay"; }
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
notice_server=$!
run_tour

# Started at log-in, the program can come up before the notification area.
step "the notification area comes up after the program: the icon docks"
stop_tray_host || fail "trayer did not go away"
sleep 1
log=$work/program-late-tray.log
# Wine's taskkill knows no /fi; the stand-in records what cmd.exe passed it and ends
# nothing, so wine's own desktop (an explorer.exe of this session) stays.
x86_64-w64-mingw32-gcc -std=c99 -municode -O1 -DTASKKILL -o "$work/taskkill.exe" \
    "$src/tests/support/wintool_standin.c" -lshell32 || fail "could not build the taskkill stand-in"
cp --remove-destination "$work/taskkill.exe" "$WINEPREFIX/drive_c/windows/system32/taskkill.exe"
export QV_STANDIN_LOG="Z:${work//\//\\}\\taskkill.log" QV_TASKKILL=inert
# While this file exists the stand-in hangs for 8 s and then fails.
export QV_STANDIN_STUCK="Z:${work//\//\\}\\stuck"
# This copy's control endpoint has its first listening instance's connect fail after
# 1 s, and stands still for 1 s after closing it; meanwhile the probe asks every few
# milliseconds whether the pipe's name still exists (checked with quorvix-ctl below).
x86_64-w64-mingw32-gcc -O1 -o "$work/pipe_probe.exe" "$here/control_pipe_probe.c" -ladvapi32 ||
    fail "could not build the pipe probe"
w "$work/pipe_probe.exe" watch 5 2>/dev/null | tr -d '\r' >"$work/pipe_watch.txt" &
watcher=$!
started+=($watcher)
QUORVIX_CONTROL_CONNECT_FAULT=1000 WINEDLLOVERRIDES="$WINEDLLOVERRIDES;taskkill.exe=n" start_program
started+=($program)
sleep 4
find_icon && fail "an icon docked with no notification area"
start_tray_host || fail "trayer did not start"
wait_until 20 find_icon || fail "the icon did not dock when the notification area came up"
logged "Tray icon still not in the notification area" && fail "the program gave up its icon"
shot late-tray-docked

step "the computer resumes: the interface, back at power-on, gets the stored state again"
# Wine never sleeps; the helper broadcasts what Windows sends on a resume.
held() { "$bin/quorvix-devsim" --ctl state | grep -q "$1"; }
wait_until 10 logged "Device found with PID: 2" || fail "the TK2 was not found"
sim power-cycle
held '"mic48V":{}' || fail "the power cycle kept the controls"
w "$src/build/windows/tools/quorvix-resume-broadcast.exe" suspend || fail "the suspend was not broadcast"
sleep 2.5 # the re-apply's settling wait
logged "Resumed from sleep." && fail "a suspend notice re-applied"
w "$src/build/windows/tools/quorvix-resume-broadcast.exe" || fail "the resume was not broadcast"
wait_until 6 sh -c "grep -c 'Device found with PID: 2' '$log' | grep -qx 2" || fail "no detection after the resume"
logged "Resumed from sleep." || fail "no log line for the resume"
logged "Resume noticed by: the system's resume notice" || fail "the log does not say which notice counted"
wait_until 5 held '"mic48V":{"1":1,' || fail "48V of MIC1 was not sent again"
held '"sampleRate":44100' || fail "the sample rate was not sent again"
find_window_titled '"Quorvix' && fail "the resume showed a window"

# A driver that never completes a request (a surprise removal, a resume) stalls the GUI
# thread for one request's bound, about 2 s, per handle that meets it; the detection then
# waits longer after each probe that timed out (2, 4, 8, 16, 30 s) and opens no device
# while a request of ours is held, so the tray answers in between and memory stays flat.
x86_64-w64-mingw32-gcc -O1 -o "$work/stall_probe.exe" "$here/stall_probe.c" -lpsapi -lntdll ||
    fail "could not build the stall probe"
hold_requests() { # 0 off, 1 held until cancelled, 2 held ignoring the cancellation
    w reg add 'HKLM\System\CurrentControlSet\Services\QuorvixBus' /v StuckRequests \
        /t REG_DWORD /d "$1" /f >/dev/null 2>&1 || fail "could not set the driver's fault"
}
detections() { grep -c '^Device PID: 2' "$log" || true; }
resident_kb() { # the program's resident memory as Linux counts it (the largest process
    local pid kb most=-1 # of its name in this prefix: the others are timeout and wine's loader)
    for pid in $(pgrep -f 'QuorvixDriver\.exe'); do
        { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" || continue
        kb=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status" 2>/dev/null)
        [ "${kb:-0}" -gt "$most" ] && most=$kb
    done
    echo "$most"
}
backed_off() { logged "The driver did not answer in time; next detection in $1 s."; }
for mode in 1 2; do
    # The second fault lasts a minute, for the memory figures.
    fault=$((mode == 1 ? 6 : 60))
    step "a driver holding every request ($mode) for $fault s: stalls of about 2 s, fewer and fewer"
    wait_until 20 logged "Device PID: 2" || fail "the program did not see the device"
    timeout $((fault + 60)) "$wine" "$work/stall_probe.exe" $((fault + 4)) </dev/null \
        >"$work/stall-$mode.txt" 2>/dev/null &
    probe=$!
    sleep 1
    hold_requests "$mode"
    held_at=$SECONDS
    if [ "$mode" = 2 ]; then
        # Right after the detection said it waits 8 s, a click is answered at once.
        wait_until 40 backed_off 8 || fail "the detection did not back off: $(grep 'did not answer' "$log")"
        w "$work/stall_probe.exe" 1 >"$work/click.txt" 2>/dev/null || fail "no answer to a click"
        read -r _ click _ _ < <(tr -d '\r' <"$work/click.txt")
        echo "a click during the fault was answered within ${click} ms"
        [ "$click" -le 500 ] || fail "a click during the fault waited $click ms"
        rss_start=$(resident_kb)
    fi
    left=$((fault - (SECONDS - held_at)))
    [ "$left" -gt 0 ] && sleep "$left"
    seen=$(detections)
    [ "$mode" = 2 ] && rss_end=$(resident_kb)
    hold_requests 0
    wait "$probe" || fail "the program stopped answering: $(cat "$work/stall-$mode.txt")"
    # Wine's console ends lines in CR LF.
    tr -d '\r' <"$work/stall-$mode.txt" >"$work/stall-$mode.lines"
    read -r _ longest _ answers <"$work/stall-$mode.lines"
    read -r _ slow _ stalled < <(sed -n 2p "$work/stall-$mode.lines")
    echo "longest stall ${longest} ms, ${answers} answers in $((fault + 4)) s, ${slow} answers slower than 0.5 s (${stalled} ms)"
    grep '^memory ' "$work/stall-$mode.lines" | sed 's/^/  (s, private KiB, handles) /'
    [ "$longest" -ge 1500 ] || fail "no request was held (longest stall $longest ms)"
    [ "$longest" -le 3500 ] || fail "a held request stalled the program for $longest ms"
    logged "Error reading device PID from driver" || fail "the held requests did not fail"
    if [ "$mode" = 2 ]; then
        # Without the back-off a probe each second stalled it two thirds of the time.
        [ "$stalled" -le $((fault * 1000 * 2 / 5)) ] || fail "the program was stalled $stalled ms of $fault s"
        backed_off 16 || fail "the detection did not back off to 16 s"
        # Memory and handles from 10 s into the fault (held requests made) to its end.
        read -r _ _ kb0 handles0 < <(grep '^memory 1[0-9] ' "$work/stall-$mode.lines" | head -n 1)
        read -r _ _ kb1 handles1 < <(grep '^memory ' "$work/stall-$mode.lines" | tail -n 1)
        echo "memory over the fault: private ${kb0} -> ${kb1} KiB, handles ${handles0} -> ${handles1}"
        if [ "${kb0:--1}" -ge 0 ] && [ "${kb1:--1}" -ge 0 ]; then
            [ $((kb1 - kb0)) -le 4096 ] || fail "private memory grew by $((kb1 - kb0)) KiB"
        fi
        if [ "${handles0:--1}" -ge 0 ] && [ "${handles1:--1}" -ge 0 ]; then
            [ $((handles1 - handles0)) -le 20 ] || fail "handles grew by $((handles1 - handles0))"
        fi
        echo "resident memory from the click to the fault's end: ${rss_start} -> ${rss_end} KiB"
        [ "$rss_start" -gt 0 ] && [ "$rss_end" -gt 0 ] || fail "the program's memory could not be read"
        [ $((rss_end - rss_start)) -le 4096 ] || fail "resident memory grew by $((rss_end - rss_start)) KiB"
    fi
    # Found at the next probe, which the back-off may keep up to 30 s away.
    wait_until 40 sh -c "[ \$(grep -c '^Device PID: 2' '$log') -gt $seen ]" ||
        fail "the device was not found again after the driver recovered"
done
shot driver-recovered

step "a reset notice to a pipe that never reads: the write gives up after 1 s, the tray answers"
kill "$notice_server" 2>/dev/null
wait "$notice_server" 2>/dev/null
timeout 60 "$wine" "$peer" squat --hold 30000 >"$work/squat.out" 2>&1 &
squatter=$!
started+=($squatter)
wait_until 15 grep -q '^squatting' "$work/squat.out" || fail "the squatting peer did not start: $(cat "$work/squat.out")"
asio_peer open >/dev/null || fail "the ASIO peer could not reach the program"
wait_until 10 find_window_titled '"Settings"' || fail "no settings window"
sleep 2 # the dialog settles first: only the notice is measured
w "$work/stall_probe.exe" 4 >"$work/stall-notice.txt" 2>/dev/null &
probe=$!
sleep 0.5
xdotool key Tab Tab Tab Tab space # to "OK"
wait "$probe" || fail "the program stopped answering behind the notice: $(cat "$work/stall-notice.txt")"
read -r _ longest _ answers < <(tr -d '\r' <"$work/stall-notice.txt")
echo "notice to a pipe that never reads: longest stall ${longest} ms, ${answers} answers in 4 s"
wait_until 5 logged "Error: Failed to send ASIO reset signal. Error code: 1460" ||
    fail "the notice's write did not end with a time-out: $(grep -a 'ASIO reset\|Could not open pipe' "$log" | tail -n 2)"
grep -q '^client 1 kept' "$work/squat.out" || fail "the notice never reached the squatting peer"
# The write's own time, from the stamped log file: the bound is 1 s. The whole stall also
# holds the dialog's hiding, which under wine with no window manager takes about 2 s more,
# so it is only held to well below the 30 s for which the squatter would keep the write.
stamped=$(find "$ini_root" -path '*/AppData/Roaming/QuorvixDriver/logs/QuorvixMixer.log' | head -n 1)
stamp_ms() { # the time of day of the last stamped line holding the text, in ms
    grep -aF -- "$1" "$stamped" | tail -n 1 |
        awk '{ split(substr($1, 12), t, ":"); printf "%d\n", (t[1] * 3600 + t[2] * 60 + t[3]) * 1000 }'
}
wait_until 5 sh -c "grep -aq 'Error code: 1460' '$stamped'" || fail "the stamped log lacks the notice's time-out"
write_ms=$(($(stamp_ms "Error: Failed to send ASIO reset signal. Error code: 1460") - $(stamp_ms "Pipe opened successfully.")))
echo "the notice's write ended after ${write_ms} ms"
[ "$write_ms" -ge 900 ] && [ "$write_ms" -le 1500 ] || fail "the notice's write took $write_ms ms"
[ "$longest" -le 5000 ] || fail "the notice held the program for $longest ms"
kill "$squatter" 2>/dev/null
wait "$squatter" 2>/dev/null

step "quorvix-ctl.exe sets a control and reads it back over the control pipe"
ctl=${exe%/*}/quorvix-ctl.exe
ctl_connected() { w "$ctl" status --json 2>/dev/null | tr -d '\r' | grep -q '"connected": true'; }
wait_until 20 ctl_connected || fail "quorvix-ctl.exe sees no interface: $(w "$ctl" status 2>&1)"
w "$ctl" set headphone -21 >/dev/null || fail "quorvix-ctl.exe set exited with $?"
[ "$(w "$ctl" get Dial/HeadphoneValue | tr -d '\r')" = -21 ] || fail "quorvix-ctl.exe get did not read -21"
wait_until 5 ini_is "$(ini_file tk2.ini)" Dial/HeadphoneValue -21 || fail "the level was not saved"
w "$ctl" set headphone 7 2>/dev/null
[ $? -eq 2 ] || fail "a level out of range was not refused with 2"
# The listening instance whose connect failed was replaced before it was closed: the
# name never went while the program stood still after closing it.
logged "Control endpoint: waiting for a client failed (error 995); a new pipe instance follows in 1 s." ||
    fail "the control endpoint's connect fault did not happen"
wait "$watcher"
sed 's/^/  pipe watch: /' "$work/pipe_watch.txt"
grep -qx 'seen: yes' "$work/pipe_watch.txt" && grep -qx 'gaps: 0' "$work/pipe_watch.txt" ||
    fail "the control pipe's name was gone for a moment: $(tr '\n' ' ' <"$work/pipe_watch.txt")"
# What wine shows of the pipe: a byte pipe owned by this user, whose DACL holds this
# user alone. Wine hands out a first instance of a name that is taken (it ignores
# FILE_FLAG_FIRST_PIPE_INSTANCE), so a squatter is only reported here.
w "$work/pipe_probe.exe" | tr -d '\r' >"$work/pipe_probe.txt" || fail "the pipe probe failed"
sed 's/^/  pipe: /' "$work/pipe_probe.txt"
grep -q '^first-instance: refused' "$work/pipe_probe.txt" ||
    echo "  note: wine let a second process create a first instance of the taken name"
grep -q '^type: byte' "$work/pipe_probe.txt" || fail "the pipe is not a byte pipe"
grep -qx 'garbage: 2 0 request is not UTF-8' "$work/pipe_probe.txt" || fail "garbage was not refused"
grep -qx 'ninth: closed' "$work/pipe_probe.txt" || fail "a ninth client was served"
grep -qx 'silent: 2 0 no request within 1 s' "$work/pipe_probe.txt" || fail "a silent client was kept"
[ "$(w "$ctl" get headphone | tr -d '\r')" = -21 ] || fail "the pipe no longer serves after hostile clients"
# One entry, allowing this user: a NULL DACL ("none") lets everyone in, and one that
# cannot be read proves nothing.
user=$(sed -n 's/^user: //p' "$work/pipe_probe.txt")
[ -n "$user" ] && grep -qx 'dacl: 1 entries' "$work/pipe_probe.txt" &&
    [ "$(grep -c '^allow: ' "$work/pipe_probe.txt")" -eq 1 ] && grep -qx "allow: $user" "$work/pipe_probe.txt" ||
    fail "the pipe's DACL is not this user's alone: $(grep '^dacl: ' "$work/pipe_probe.txt")"
grep -qx "owner: $user" "$work/pipe_probe.txt" ||
    fail "the pipe is not owned by this user: $(grep '^owner: ' "$work/pipe_probe.txt")"
# Wine runs every process elevated, at high integrity: the program then labels its pipe
# medium, so that a medium quorvix-ctl may still write to it.
label=$(sed -n 's/^label: //p' "$work/pipe_probe.txt")
case $(sed -n 's/^integrity: //p' "$work/pipe_probe.txt") in
S-1-16-12288 | S-1-16-16384) [ "$label" = S-1-16-8192 ] || fail "an elevated program's pipe has the label $label" ;;
*) [ "$label" = none ] || [ "$label" = S-1-16-8192 ] || fail "the pipe has the label $label" ;;
esac

step "quorvix-ctl.exe watch sees a click on the panel; quorvix-ctlw.exe sets a control and shows nothing"
ctlw=${exe%/*}/quorvix-ctlw.exe
timeout 600 "$wine" "$ctl" watch </dev/null >"$work/watch.out" 2>"$work/watch.err" &
watcher=$!
started+=($watcher)
watched() { tr -d '\r' <"$work/watch.out" | grep -qx -- "$1"; }
wait_until 10 watched "connected TK2" || fail "quorvix-ctl.exe watch gave no state: $(cat "$work/watch.out" "$work/watch.err")"
w "$ctl" show || fail "quorvix-ctl.exe show exited with $?"
wait_until 10 find_window_titled '"Quorvix TK2' || fail "no main window after show"
main=$found
sleep 1
[ "$(w "$ctl" get mic1.48v | tr -d '\r')" = on ] && after=off || after=on
xdotool mousemove --window "$main" 79 228 click 1
wait_until 5 watched "Button/Mic148VIsChecked $after" || fail "the watch did not see the click: $(tail -n 3 "$work/watch.out")"
# Started as Stream Deck's "Open" or a shortcut key starts it, from a process without a
# console, a console program gets a console window; quorvix-ctlw.exe must show none.
x86_64-w64-mingw32-gcc -O1 -mwindows -municode -o "$work/launch.exe" "$here/launch_probe.c" ||
    fail "could not build the launch probe"
visible() { xdotool search --onlyvisible --name '' 2>/dev/null | LC_ALL=C sort; }
windows_while() { # <seconds> <program> <arguments...>: its exit code; $work/came_up: the windows that came up
    local before run
    before=$(visible)
    : >"$work/came_up"
    timeout 60 "$wine" "$work/launch.exe" "$@" </dev/null >/dev/null 2>&1 &
    run=$!
    while kill -0 "$run" 2>/dev/null; do
        comm -13 <(echo "$before") <(visible) >>"$work/came_up"
        sleep 0.1
    done
    wait "$run"
}
# The probe must see the console window of quorvix-ctl.exe, or seeing none proves nothing:
# a watch, ended after 6 s, keeps that window up long enough to be seen.
windows_while 6 "Z:${ctl//\//\\}" watch
[ -s "$work/came_up" ] || fail "the launch probe saw no console window for quorvix-ctl.exe"
windows_while 20 "Z:${ctlw//\//\\}" set headphone -24 || fail "quorvix-ctlw.exe set exited with $?"
[ -s "$work/came_up" ] &&
    fail "a window came up while quorvix-ctlw.exe ran: $(xdotool getwindowname "$(head -n 1 "$work/came_up")")"
w "$ctlw" status >"$work/ctlw.out" 2>/dev/null || fail "quorvix-ctlw.exe status exited with $?"
[ -s "$work/ctlw.out" ] && fail "quorvix-ctlw.exe printed: $(cat "$work/ctlw.out")"
[ "$(w "$ctl" get headphone | tr -d '\r')" = -24 ] || fail "quorvix-ctlw.exe did not set the headphone to -24"
wait_until 5 watched "Dial/HeadphoneValue -24" || fail "the watch did not see quorvix-ctlw.exe's change"
w "$ctlw" set headphone 7 >"$work/ctlw.out" 2>/dev/null
[ $? -eq 2 ] || fail "quorvix-ctlw.exe did not refuse a level out of range with 2"
[ -s "$work/ctlw.out" ] && fail "quorvix-ctlw.exe printed its refusal: $(cat "$work/ctlw.out")"
wait_until 5 logged 'quorvix-ctlw refused: "set headphone 7 -> 2: ' || fail "the refusal is not in the program's log"

step "\"Refresh Audio Device\" restarts the shell of this session only"
# The log's Chinese lines reach this console as "?": what ran shows the outcome.
shells() { # explorer.exe processes of this prefix
    local pid count=0
    for pid in $(pgrep -f 'explorer\.exe'); do
        { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" &&
            count=$((count + 1))
    done
    echo "$count"
}
more_shells() { [ "$(shells)" -gt "$1" ]; }
shells_before=$(shells)
click_menu_entry 4 || fail "no tray menu"
wait_until 15 test -s "$work/taskkill.log" || fail "taskkill was not run"
wait_until 15 more_shells "$shells_before" || fail "no new shell was started after taskkill succeeded"
# cmd.exe ran it by its full path, the filter quoted as written, for this session.
tr -d '\r' <"$work/taskkill.log" |
    grep -Eiq '^([0-9]+)[[:space:]]"C:\\windows\\system32\\taskkill\.exe" /f /fi "SESSION eq \1" /im explorer\.exe *$' ||
    fail "taskkill got: $(cat "$work/taskkill.log" 2>/dev/null)"
logged "Explorer started again" && fail "a shell was started again after a restart that worked"
# The new shell may dock the icon anew, and the old icon's window then goes: wait for
# that to settle, so the next click reaches the icon that stays.
old_icon=$icon
icon_redocked() { find_icon && [ "$icon" != "$old_icon" ]; }
wait_until 10 icon_redocked || wait_until 5 find_icon || fail "no icon after the restart"

step "a restart that does not come back leaves the session a shell"
# Wine never reports a shell window (GetShellWindow), so after the time-out the program
# starts one. (Wine's cmd.exe ends with 0 even when its taskkill failed, so a plain
# failure would pass for a success there.)
rm -f "$work/taskkill.log"
shells_before=$(shells)
touch "$work/stuck"
click_menu_entry 4 || fail "no tray menu"
wait_until 15 test -s "$work/taskkill.log" || fail "taskkill was not run"
wait_until 15 logged "No shell was left in this session; Explorer started again." ||
    fail "no shell was started after the restart timed out"
wait_until 15 more_shells "$shells_before" || fail "no new explorer.exe after the time-out"
rm -f "$work/stuck"
quit_through_menu "$program" || fail "\"Quit\" did not end the program"
w "$ctl" status >/dev/null 2>&1
[ $? -eq 1 ] || fail "quorvix-ctl.exe did not exit with 1 once the program had quit"
wait_until 2 sh -c "! kill -0 $watcher 2>/dev/null" || fail "quorvix-ctl.exe watch did not end within 2 s of the quit"
wait "$watcher"
[ $? -eq 1 ] || fail "quorvix-ctl.exe watch did not end with 1 when the program quit"
w "$ctlw" status >"$work/ctlw.out" 2>/dev/null
[ $? -eq 1 ] || fail "quorvix-ctlw.exe did not exit with 1 once the program had quit"

step "the log file in %APPDATA% holds the debug log's lines, stamped"
logfile=$(find "$ini_root" -path '*/AppData/Roaming/QuorvixDriver/logs/QuorvixMixer.log' | head -n 1)
[ -n "$logfile" ] || fail "no log file in the profile's QuorvixDriver\\logs"
grep -Eq '^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:.]{12} debug Settings dialog created\.$' "$logfile" ||
    fail "the log file lacks stamped lines: $(head -n 3 "$logfile")"
# Written by quorvix-ctlw.exe itself, the program being gone, in the program's format.
grep -Eq '^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:.]{12} warning quorvix-ctlw refused: "status -> 1: Quorvix Mixer is not running' "$logfile" ||
    fail "quorvix-ctlw.exe did not log its refusal: $(tail -n 2 "$logfile")"
echo "PASS: late notification area, resume, focus, quorvix-ctl, watch, quorvix-ctlw, shell restart and log file"
