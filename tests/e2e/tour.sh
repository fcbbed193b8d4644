#!/usr/bin/env bash
# A whole session as a person plays it, on a real X server with a tray host, against the
# device simulator and the ASIO peer. Every step is checked against the simulator's
# request journal, the program's log and the ini files, and leaves a screenshot.
#
# Usage: tour.sh <bin folder> <xclose helper> <screenshot folder>
# Exit: 0 passed, 1 failed, 77 a needed X tool is not installed (test skipped).
set -u
bin=${1:?bin folder}
xclose=${2:?window-close helper}
shots=${3:?screenshot folder}
here=$(cd "$(dirname "$0")" && pwd)

for tool in Xvfb trayer xdotool xwininfo xprop import; do
    command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool is not installed"; exit 77; }
done

work=$(mktemp -d)
rm -f "$shots"/*.png
mkdir -p "$shots" "$work/runtime" "$work/home" "$work/data" "$work/config" "$work/tmp"
chmod 700 "$work/runtime"
export XDG_RUNTIME_DIR=$work/runtime HOME=$work/home XDG_DATA_HOME=$work/data
export XDG_CONFIG_HOME=$work/config TMPDIR=$work/tmp QT_FORCE_STDERR_LOGGING=1
export LANG=C.UTF-8
started=()
cleanup() {
    for pid in "${started[@]}"; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
source "$here/../../scripts/lib/xsession.sh"

log=$work/program.log
endpoints=$XDG_RUNTIME_DIR/quorvix
journal=$endpoints/devsim-0.journal
n=0
shot() { n=$((n + 1)); import -window root "$shots/$(printf %02d $n)-$1.png" 2>/dev/null; }
shot_window() { import -window "$2" "$shots/$(printf %02d $n)-$1-window.png" 2>/dev/null; }
fail() {
    [ -n "${KEEP_JOURNAL:-}" ] && cp "$journal" "$KEEP_JOURNAL" 2>/dev/null
    echo "FAIL: $*"
    shot failure
    echo "--- program log (device probing left out)"
    grep -v -e '^Device PID' "$log" 2>/dev/null | tail -n 40
    exit 1
}
step() { echo "== $*"; }
sim() { "$bin/quorvix-devsim" --ctl "$*" >/dev/null || fail "simulator command '$*' failed"; }
# Journal lines of one request, by the name the simulator decodes.
requests() { grep -c "\"request\":\"$1\"" "$journal" 2>/dev/null || true; }
matrix_writes() { grep -c '"name":"writeMixerMatrix"' "$journal" 2>/dev/null || true; }
ini_value() { # <file> <key in group/name form>
    local group=${2%%/*} name=${2#*/}
    awk -v g="[$group]" -v k="$name" -F= '$0 == g { on = 1; next } /^\[/ { on = 0 }
        on && $1 == k { print substr($0, length(k) + 2) }' "$1"
}
logged() { grep -qF -- "$1" "$log"; }

start_x_session || fail "no X session with a tray host"
"$bin/quorvix-devsim" --unplugged --model tk2 --firmware 1.0.3 --quiet --journal-matrix brief \
    >"$work/devsim.out" 2>&1 &
started+=($!)
"$bin/quorvix-asiopeer" serve --log "$work/notices" >"$work/asiopeer.out" 2>&1 &
started+=($!)
wait_until 10 test -S "$endpoints/devsim-0.ctl" || fail "the simulator did not start"

step "start: only the tray icon"
"$bin/QuorvixDriver" >"$work/program.out" 2>"$log" &
program=$!
started+=($program)
wait_until 20 find_icon || fail "no tray icon"
sleep 1
find_window_titled '"Quorvix' && fail "a window is visible at start"
shot start-tray-only

step "click the tray icon: the main window says no sound card"
click_icon 1
wait_until 10 find_window_titled '^_NET_WM_NAME.* = "Quorvix Driver"$' || fail "no main window"
main=$found
logged "Device PID: 0" || fail "no detection while unplugged"
logged "Adding" && fail "a panel without a device"
shot not-connected
shot_window not-connected "$main"

step "plug in a TK2: its panel and the model and firmware in the title"
sim plug
wait_until 10 logged "Adding tk2 widget to layout." || fail "no TK2 panel"
wait_until 5 logged "Device found with PID: 2" || fail "the TK2 was not found"
wait_until 5 sh -c "xprop -id $main _NET_WM_NAME | grep -q 'Quorvix TK2 - FW: 1.0.3'" ||
    fail "the title does not name the TK2 and its firmware: $(xprop -id "$main" _NET_WM_NAME)"
ini=$(find "$XDG_DATA_HOME" -name tk2.ini | head -n 1)
[ -n "$ini" ] || fail "no tk2.ini after the panel came up"
[ "$(ini_value "$ini" Dial/HeadphoneValue)" = "-80" ] || fail "headphone key not saved on first start"
sleep 1.5
shot tk2-panel
shot_window tk2-panel "$main"

step "turn the headphone knob three notches with the wheel"
width=$(xwininfo -id "$main" | awk '/Width:/ { print $2 }')
before=$(matrix_writes)
xdotool mousemove --window "$main" $((width - 115)) 99
sleep 0.3
for notch in 1 2 3; do
    xdotool click 4
    sleep 0.3
done
wait_until 5 sh -c "[ \"\$(grep -c '\"name\":\"writeMixerMatrix\"' '$journal')\" -ge $((before + 3)) ]" ||
    fail "three notches gave $(($(matrix_writes) - before)) matrix writes"
sleep 0.5
[ "$(matrix_writes)" -eq $((before + 3)) ] || fail "not one matrix write per notch"
[ "$(ini_value "$ini" Dial/HeadphoneValue)" = "-77" ] ||
    fail "headphone key is $(ini_value "$ini" Dial/HeadphoneValue), not -77"
logged "Headphone volume set to: -77" || fail "no log line for the headphone at -77 dB"
shot headphone-turned

step "click 48V of MIC1: the request goes out twice"
before=$(requests setMic48V)
xdotool mousemove --window "$main" 79 228 click 1
wait_until 5 sh -c "[ \"\$(grep -c '\"request\":\"setMic48V\"' '$journal')\" -ge $((before + 2)) ]" ||
    fail "48V was not sent twice"
sleep 0.3
[ "$(requests setMic48V)" -eq $((before + 2)) ] || fail "48V went out more than twice"
tail -n 20 "$journal" | grep '"request":"setMic48V"' | grep -q '"channel":1,"level":0,"opcode":91,"param":1' ||
    fail "the 48V request is not channel 1, on"
[ "$(ini_value "$ini" Button/Mic148VIsChecked)" = "true" ] || fail "48V not saved as on"
shot mic1-48v-on

step "unplug: the panel goes"
sim unplug
wait_until 5 logged "Cleared all widgets from base layout." || fail "no teardown after unplug"
sleep 0.5
shot unplugged

step "plug back: the panel returns and every saved control is sent again"
sim journal-clear
sim plug
wait_until 10 sh -c "grep -c 'Adding tk2 widget to layout.' '$log' | grep -qx 2" || fail "no panel after replug"
wait_until 5 sh -c "grep -q '\"channel\":1,\"level\":0,\"opcode\":91,\"param\":1,\"request\":\"setMic48V\"' '$journal'" ||
    fail "48V of MIC1 was not sent again"
grep -q '"request":"setMicVolume"' "$journal" || fail "the gains were not sent again"
grep -q '"request":"setSampleRate"' "$journal" ||
    fail "the streaming settings were not restored"
[ "$(grep -c '"name":"writeMixerMatrix"' "$journal")" -ge 6 ] || fail "the mixer was not sent again"
logged "Headphone volume set to: -77" || fail "the saved headphone level was not applied"
sleep 1
shot replugged
shot_window replugged "$main"

step "the ASIO driver asks for the settings window: it comes up on top"
"$bin/quorvix-asiopeer" open >/dev/null || fail "the ASIO peer could not reach the program"
wait_until 10 find_window_titled '"Settings"' || fail "no settings window"
dialog=$found
xprop -id "$dialog" _NET_WM_STATE | grep -q _NET_WM_STATE_ABOVE || fail "the settings window is not on top"
logged "Received signal from pipe thread to show settings window." || fail "no log line for the request"
sleep 0.5
shot settings-requested
shot_window settings "$dialog"

step "choose buffer size 256 and press OK"
sim journal-clear
xdotool key 2 # the buffer list has the focus; "2" picks its only entry starting with 2
wait_until 5 grep -q '"request":"startAudio"' "$journal" || fail "no buffer size sequence"
# The meter poll and the connection watch run on their own timers meanwhile.
order=$(grep -o '"request":"[A-Za-z]*"' "$journal" | cut -d'"' -f4 |
    grep -v -x -e readMeters -e readProductId | tr '\n' ' ')
case "$order" in
"getBufferSize getUsbLatency stopAudio setBufferSize startAudio "*) ;;
*) fail "buffer size sequence was: $order" ;;
esac
grep -q '"request":"setBufferSize","value":256' "$journal" || fail "256 was not sent"
settings_ini=$(find "$XDG_DATA_HOME" -name setting.ini | head -n 1)
[ "$(ini_value "$settings_ini" Audio/BufferSize)" = "256" ] || fail "buffer size not saved"
shot buffer-256
xdotool key Tab Tab Tab Tab space # to "OK"
wait_until 5 sh -c "grep -c 'notice 5 bytes: 01 00 00 00 31' '$work/notices' | grep -qx 1" ||
    fail "the ASIO peer got no reset notice"
wait_until 5 sh -c '! find_window_titled "\"Settings\""' 2>/dev/null
find_window_titled '"Settings"' && fail "the settings window is still shown after OK"
shot after-ok

step "\"Quit\" from the tray menu"
quit_through_menu "$program" || fail "\"Quit\" did not end the program"
wait "$program"
rc=$?
[ "$rc" -eq 0 ] || fail "exit code $rc after \"Quit\""
[ ! -e "$endpoints/QuorvixASIOToPannel" ] || fail "the inbound pipe's socket file is left behind"
grep -n "Settings dialog closed and resources cleaned up." "$log" >/dev/null || fail "no closing line"
shot after-quit
echo "PASS: screenshots in $shots"
