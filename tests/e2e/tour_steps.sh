# The tour's steps, shared by the Linux tour (tour.sh) and the Windows tour under Wine
# (tour_windows.sh). Source it after scripts/lib/xsession.sh. The tour script sets:
#   bin       the Linux bin folder (quorvix-devsim)
#   work      its scratch folder; shots, the screenshot folder
#   log       the program's debug log; endpoints, the endpoint folder
#   ini_root  the folder under which the program's ini files appear
#   notice    the ASIO peer's line for the one reset notice
# and defines:
#   start_program   starts the program in the background, sets `program` to its pid
#   second_copy     runs a second copy to its end; its exit code
#   asio_peer ARGS  runs the ASIO peer with the given command
#   before_asio_request, after_asio_request <dialog window>
#                   put another program in front before the ASIO driver's request and
#                   check where the keyboard focus went after it
#   after_quit      checks what the platform must leave behind after "Quit"
# Every device request of the session (timer-driven meter and watch reads left out) goes
# to $shots/requests.txt; with COMPARE_WITH=<file> the tour fails on any difference.

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
ini_file() { find "$ini_root" -name "$1" 2>/dev/null | head -n 1; }
ini_value() { # <file> <key in group/name form>; Windows files end their lines in CR LF
    local group=${2%%/*} name=${2#*/}
    tr -d '\r' <"$1" | awk -v g="[$group]" -v k="$name" -F= '$0 == g { on = 1; next }
        /^\[/ { on = 0 } on && $1 == k { print substr($0, length(k) + 2) }'
}
ini_is() { [ "$(ini_value "$1" "$2")" = "$3" ]; } # <file> <key> <value>
logged() { grep -qF -- "$1" "$log"; }
# The journal's requests so far as "name input" lines, the timer reads left out; a mixer
# image stands as its digest. Kept before every journal-clear, so the whole session counts.
keep_requests() {
    grep -v -e '"request":"readMeters"' -e '"request":"readProductId"' "$journal" |
        perl -MDigest::MD5=md5_hex -ne 'next unless /"name":"([^"]*)"/; my $n = $1;
            my $in = /"inputHex":"([0-9a-f]*)"/ ? $1 : "-";
            $in = "md5:" . md5_hex($in) . " (" . length($in) / 2 . " bytes)" if length $in > 200;
            print "$n $in\n"' >>"$work/requests"
}
sim_clear() {
    keep_requests
    sim journal-clear
}

run_tour() {
    rm -f "$shots"/*.png "$shots/requests.txt" "$work/requests"
    mkdir -p "$shots"
    "$bin/quorvix-devsim" --unplugged --model tk2 --firmware 1.0.3 --quiet \
        >"$work/devsim.out" 2>&1 &
    started+=($!)
    wait_until 10 test -S "$endpoints/devsim-0.ctl" || fail "the simulator did not start"

    step "start: only the tray icon"
    start_program
    started+=($program)
    wait_until 30 find_icon || fail "no tray icon"
    wait_until 20 logged "Device PID: 0" || fail "no detection while unplugged"
    sleep 1
    find_window_titled '"Quorvix' && fail "a window is visible at start"
    shot start-tray-only

    step "click the tray icon: the main window says no sound card"
    click_icon 1
    wait_until 10 find_window_titled '^_NET_WM_NAME.* = "Quorvix Driver"$' || fail "no main window"
    main=$found
    logged "Adding" && fail "a panel without a device"
    sleep 0.5
    shot not-connected
    shot_window not-connected "$main"

    step "plug in a TK2: its panel and the model and firmware in the title"
    sim plug
    wait_until 10 logged "Adding tk2 widget to layout." || fail "no TK2 panel"
    wait_until 5 logged "Device found with PID: 2" || fail "the TK2 was not found"
    wait_until 5 sh -c "xprop -id $main _NET_WM_NAME | grep -q 'Quorvix TK2 - FW: 1.0.3'" ||
        fail "the title does not name the TK2 and its firmware: $(xprop -id "$main" _NET_WM_NAME)"
    wait_until 5 test -n "$(ini_file tk2.ini)" || fail "no tk2.ini after the panel came up"
    ini=$(ini_file tk2.ini)
    wait_until 5 ini_is "$ini" Dial/HeadphoneValue -80 || fail "headphone key not saved on first start"
    sleep 1.5
    shot tk2-panel
    shot_window tk2-panel "$main"

    step "turn the headphone knob three notches with the wheel"
    local width before notch
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
    wait_until 5 ini_is "$ini" Dial/HeadphoneValue -77 ||
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
    wait_until 5 ini_is "$ini" Button/Mic148VIsChecked true || fail "48V not saved as on"
    shot mic1-48v-on

    step "unplug: the panel goes"
    sim unplug
    wait_until 5 logged "Cleared all widgets from base layout." || fail "no teardown after unplug"
    sleep 0.5
    shot unplugged

    step "plug back: the panel returns and every saved control is sent again"
    sim_clear
    sim plug
    wait_until 10 sh -c "grep -c 'Adding tk2 widget to layout.' '$log' | grep -qx 2" || fail "no panel after replug"
    wait_until 5 sh -c "grep -q '\"channel\":1,\"level\":0,\"opcode\":91,\"param\":1,\"request\":\"setMic48V\"' '$journal'" ||
        fail "48V of MIC1 was not sent again"
    grep -q '"request":"setMicVolume"' "$journal" || fail "the gains were not sent again"
    grep -q '"request":"setSampleRate"' "$journal" || fail "the streaming settings were not restored"
    [ "$(matrix_writes)" -ge 6 ] || fail "the mixer was not sent again"
    [ "$(grep -c 'Headphone volume set to: -77' "$log")" -ge 2 ] ||
        fail "the saved headphone level was not applied"
    sleep 1
    shot replugged
    shot_window replugged "$main"

    step "the ASIO driver asks for the settings window: it comes up on top"
    before_asio_request
    asio_peer open >/dev/null || fail "the ASIO peer could not reach the program"
    wait_until 10 find_window_titled '"Settings"' || fail "no settings window"
    dialog=$found
    after_asio_request "$dialog"
    xprop -id "$dialog" _NET_WM_STATE | grep -q _NET_WM_STATE_ABOVE || fail "the settings window is not on top"
    logged "Received signal from pipe thread to show settings window." || fail "no log line for the request"
    sleep 0.5
    shot settings-requested
    shot_window settings "$dialog"

    step "choose buffer size 256 and press OK"
    sim_clear
    xdotool key 2 # the buffer list has the focus; "2" picks its only entry starting with 2
    wait_until 5 grep -q '"request":"startAudio"' "$journal" || fail "no buffer size sequence"
    # The meter poll and the connection watch run on their own timers meanwhile.
    local order
    order=$(grep -o '"request":"[A-Za-z]*"' "$journal" | cut -d'"' -f4 |
        grep -v -x -e readMeters -e readProductId | tr '\n' ' ')
    case "$order" in
    "getBufferSize getUsbLatency stopAudio setBufferSize startAudio "*) ;;
    *) fail "buffer size sequence was: $order" ;;
    esac
    grep -q '"request":"setBufferSize","value":256' "$journal" || fail "256 was not sent"
    wait_until 5 ini_is "$(ini_file setting.ini)" Audio/BufferSize 256 || fail "buffer size not saved"
    shot buffer-256
    xdotool key Tab Tab Tab Tab space # to "OK"
    wait_until 5 sh -c "grep -cF '$notice' '$work/notices' | grep -qx 1" ||
        fail "the ASIO peer did not get the one reset notice"
    wait_until 5 sh -c '! find_window_titled "\"Settings\""' 2>/dev/null
    find_window_titled '"Settings"' && fail "the settings window is still shown after OK"
    shot after-ok

    step "a second copy exits 0 and leaves the first one running"
    local rc
    second_copy
    rc=$?
    [ "$rc" -eq 0 ] || fail "the second copy exited with $rc"
    kill -0 "$program" 2>/dev/null || fail "the first copy ended"

    step "\"Quit\" from the tray menu"
    keep_requests
    quit_through_menu "$program" || fail "\"Quit\" did not end the program"
    wait "$program"
    rc=$?
    [ "$rc" -eq 0 ] || fail "exit code $rc after \"Quit\""
    after_quit
    logged "Settings dialog closed and resources cleaned up." || fail "no closing line"
    ! grep -q "Error code: 0$" "$log" || fail "a failure was logged without its error code"
    shot after-quit

    cp "$work/requests" "$shots/requests.txt"
    [ -s "$shots/requests.txt" ] || fail "no device requests were journaled"
    if [ -n "${COMPARE_WITH:-}" ]; then
        [ -s "$COMPARE_WITH" ] || fail "nothing to compare with in $COMPARE_WITH"
        diff "$COMPARE_WITH" "$shots/requests.txt" >"$work/requests.diff" ||
            fail "the requests differ from $COMPARE_WITH:
$(head -n 20 "$work/requests.diff")"
        echo "the same $(wc -l <"$shots/requests.txt") requests as $COMPARE_WITH"
    fi
    echo "PASS: screenshots in $shots"
}
