#!/usr/bin/env bash
# The Windows installer under wine, in a new prefix of its own, in both modes. Per user
# (the default): a silent install (files, Start-menu shortcut, start at log-in, the
# "Apps & features" entry, all in the user's profile and HKCU, nothing in Program Files
# or HKLM), the installed program docking its tray icon, a copy that will not end, an
# upgrade over the running copy, a silent uninstall that leaves the prefix as it found it
# but for the user's settings, one with /REMOVESETTINGS that takes those too, an
# uninstall after the program folder was deleted by hand, and a folder that cannot be
# written. For all users (/ALLUSERS): Program Files, HKLM and its Run key, nothing in
# HKCU or the profile, the uninstaller's hand-over to its elevated copy (exit code 11), a
# copy in another session (found by tasklist, and by the Restart Manager as a holder of
# the installed program), a copy run from another folder and a service holding the
# program that do not stop an upgrade, an upgrade over the running copy and an uninstall
# that keeps the settings. Then, for all users, a folder outside Program Files and one in
# it that others can write, conflicting switches and an older Windows. Windows' taskkill and tasklist are
# stood in for by tests/support/wintool_standin.c (wine's know no /fi filters), which
# logs each command line; the Restart Manager, whose wine version lists nothing, by
# tests/support/rstrtmgr_standin.c in the runs that ask for it. The installer's reading
# of a folder's permissions is also run on descriptors written in SDDL
# (folder_rights.nsi), as wine makes a real folder's up from its Unix mode.
# Builds the installer first when it is missing or older than the Windows build or its
# own sources.
# Prints "N passed, N failed" last and exits non-zero on any failure.
set -u
src=$(cd "$(dirname "$0")/../.." && pwd)
version=$(sed -n 's/^project([A-Za-z]* VERSION \([0-9][0-9.]*\).*/\1/p' "$src/CMakeLists.txt" | head -n 1)
setup=$src/build/windows/QuorvixMixer-$version-setup.exe
stage=$src/build/windows/installer/QuorvixMixer

need=()
[ -x /usr/lib/wine/wine64 ] || need+=(wine64)
for pair in Xvfb:xvfb trayer:trayer xdotool:xdotool xwininfo:x11-utils iconv:libc-bin \
    x86_64-w64-mingw32-gcc:gcc-mingw-w64-x86-64; do
    command -v "${pair%%:*}" >/dev/null 2>&1 || need+=("${pair#*:}")
done
if [ ${#need[@]} -gt 0 ]; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi
app=$src/build/windows/QuorvixMixer/QuorvixDriver.exe
if [ ! -f "$setup" ] || [ ! -d "$stage" ] || [ "$app" -nt "$setup" ] ||
    [ -n "$(find "$src/packaging/windows" "$src/scripts/build-windows-installer.sh" -newer "$setup")" ]; then
    bash "$src/scripts/build-windows-installer.sh" >/dev/null || { echo "0 passed, 1 failed"; exit 1; }
fi
source "$src/scripts/lib/wine.sh"
# The stand-ins in system32 are native programs, not wine's built-in ones.
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;taskkill.exe,tasklist.exe=n"

work=$(mktemp -d /tmp/qwi.XXXXXX)
export WINEPREFIX=$work/pfx
# What wine's set-up still writes for the desktop goes to the scratch folder.
export XDG_DATA_HOME=$work/xdg/data XDG_CONFIG_HOME=$work/xdg/config
started=()
cleanup() {
    for pid in "${started[@]}"; do kill "$pid" 2>/dev/null; done
    timeout 20 "$wineserver" -k 2>/dev/null
    wait 2>/dev/null
    chattr -R -i "$work" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
program_class=quorvixdriver.exe icon_class=explorer.exe
source "$src/scripts/lib/xsession.sh"

source "$src/scripts/lib/checks.sh"

# The wine starts are counted, and their number printed at the end with the time taken:
# the figures to watch when this test grows slow.
count_start() { echo >>"$work/wine-starts"; }
# wine's messages, and those of the explorer.exe the first program starts, to a file
w() { count_start; timeout 120 "$wine" "$@" </dev/null 2>>"$work/wine.err"; }
winpath() { echo "Z:${1//\//\\}"; }
c=$WINEPREFIX/drive_c
profile=$c/users/$(id -un)
# The mode under test: per user (me) or for all users (all).
mode() {
    if [ "$1" = me ]; then
        dir=$profile/"AppData/Local/Programs/Quorvix Mixer"
        windir="C:\\users\\$(id -un)\\AppData\\Local\\Programs\\Quorvix Mixer"
        lnk=$profile/"AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Quorvix Mixer.lnk"
        hive=HKCU
    else
        dir=$c/"Program Files/Quorvix Mixer"
        windir='C:\Program Files\Quorvix Mixer'
        lnk=$c/"ProgramData/Microsoft/Windows/Start Menu/Programs/Quorvix Mixer.lnk"
        hive=HKLM
    fi
    uninst_key="$hive\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QuorvixMixer"
    run_key="$hive\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"
}

# The prefix's files, apart for the users' profiles (user) and the rest (machine), and
# the two registry trees an installer may write (hklm, hkcu). Left out: the temp folders
# (the uninstaller runs from a copy of itself there, which Windows deletes at the next
# restart), the user's settings, which an uninstall is meant to keep, and the parameters
# wine's X11 driver keeps for the current display.
snapshot() { # <name>
    (cd "$c" && find . \( -ipath './users/*/Temp' -o -ipath './windows/temp' \) -prune -o -print |
        grep -v '^\./users/[^/]*/AppData/Roaming/QuorvixDriver' | sort) >"$work/files"
    grep '^\./users/' "$work/files" >"$work/$1.user"
    grep -v '^\./users/' "$work/files" >"$work/$1.machine"
    # Both trees from one wine start. wine's cmd heeds no exit code in "&&" or "||", so an
    # export that failed is told by its missing file.
    local hive exports=
    rm -f "$work/hklm.reg" "$work/hkcu.reg"
    for hive in HKLM HKCU; do
        exports+="${exports:+ & }reg export $hive\\Software $(winpath "$work/${hive,,}.reg") /y >nul"
    done
    w cmd /c "$exports" >/dev/null 2>&1
    for hive in hklm hkcu; do
        if [ -f "$work/$hive.reg" ]; then
            iconv -f UTF-16 -t UTF-8 "$work/$hive.reg" | tr -d '\r' |
                awk '/^\[/ { skip = index($0, "\\Software\\Wine\\Temporary System Parameters") > 0 } !skip'
        else
            echo "reg export $hive failed"
        fi >"$work/$1.$hive"
    done
}
same_as() { # <before> <after> [parts, all four by default]: prints what differs
    local a=$1 b=$2 part same=0
    shift 2
    for part in "${@:-user machine hklm hkcu}"; do
        for part in $part; do
            diff "$work/$a.$part" "$work/$b.$part" | grep '^[<>]' | head -n 20
            cmp -s "$work/$a.$part" "$work/$b.$part" || same=1
            # Two failed exports are alike, and say nothing.
            grep -qx 'reg export [a-z]* failed' "$work/$a.$part" "$work/$b.$part" && same=1
        done
    done
    return $same
}
# A key's values as reg query lists them, "    <name>    REG_<type>    <data>", all of
# them from one wine start.
key_values() { w reg query "$1" 2>/dev/null | tr -d '\r'; }
value_in() { # <listing> <name>: that value's data
    awk -v n="$2" '{ i = index($0, n "    REG_") } i == 5 { sub(/^ *[^ ].*    REG_[A-Z_]*    /, ""); print; exit }' <<<"$1"
}
value_is() { [ "$(value_in "$1" "$2")" = "$3" ]; } # <listing> <name> <data>
reg_value() { value_in "$(key_values "$1")" "$2"; } # <key> <name>
reg_value_is() { [ "$(reg_value "$1" "$2")" = "$3" ]; }
installed_as_staged() {
    diff -r "$stage" "$dir" | grep -v "^Only in $dir: Uninstall.exe\$"
    [ -z "$(diff -r "$stage" "$dir" | grep -v "^Only in $dir: Uninstall.exe\$")" ] && [ -f "$dir/Uninstall.exe" ]
}
shortcut_points_home() { [ -f "$lnk" ] && tr -d '\0' <"$lnk" | grep -qF 'Quorvix Mixer\QuorvixDriver.exe'; }
size_is_about_right() {
    local kb real
    kb=$(($(reg_value "$uninst_key" EstimatedSize)))
    real=$(du -sk "$dir" | cut -f1)
    echo "EstimatedSize $kb KB, folder $real KB"
    [ "$kb" -gt $((real * 8 / 10)) ] && [ "$kb" -lt $((real * 12 / 10)) ]
}
entry_complete() {
    local entry
    entry=$(key_values "$uninst_key")
    value_is "$entry" DisplayName 'Quorvix Mixer' &&
        value_is "$entry" DisplayVersion "$version" &&
        value_is "$entry" Publisher Quorvix &&
        value_is "$entry" DisplayIcon "$windir\\QuorvixDriver.exe,0" &&
        value_is "$entry" InstallLocation "$windir" &&
        value_is "$entry" UninstallString "\"$windir\\Uninstall.exe\"" &&
        value_is "$entry" QuietUninstallString "\"$windir\\Uninstall.exe\" /S" &&
        value_is "$entry" NoModify 0x1 && value_is "$entry" NoRepair 0x1
}
autostart_set() { reg_value_is "$run_key" 'Quorvix Mixer' "\"$windir\\QuorvixDriver.exe\""; }
no_entry() { ! w reg query "$uninst_key" >/dev/null 2>&1; }
running() { kill -0 "$1" 2>/dev/null; }
start_program() {
    count_start
    timeout 300 "$wine" "$windir\\QuorvixDriver.exe" >/dev/null 2>"$work/program.log" &
    program=$!
    started+=("$program")
}
# What the stand-ins were asked, with the session the installer must have named: the
# stand-in's own, the same as the installer's under wine.
standin_log=$work/standin.log
export QV_STANDIN_LOG="Z:${standin_log//\//\\}"
calls() { : >"$standin_log"; }
asked_exactly() { # <lines with S for the session...>
    local want session asked
    session=$(tr -d '\r' <"$standin_log" | cut -f1 | sort -u)
    asked=$(tr -d '\r' <"$standin_log" | cut -f2-)
    want=$(printf '%s\n' "$@" | sed "s/SESSION \([a-z]*\) S/SESSION \\1 $session/")
    echo "$asked"
    [ -n "$session" ] && [ "$asked" = "$want" ]
}
# A command run with the Restart Manager's stand-in in place of wine's, which lists no
# process for any file (wine loads a native DLL found in system32 before its own).
with_rm_standin() { # <command...>
    local rc
    cp --remove-destination "$work/rstrtmgr.dll" "$c/windows/system32/rstrtmgr.dll"
    WINEDLLOVERRIDES="$WINEDLLOVERRIDES;rstrtmgr=n" "$@"
    rc=$?
    cp --remove-destination "$work/rstrtmgr.wine" "$c/windows/system32/rstrtmgr.dll"
    return $rc
}
kill_call='"C:\windows\system32\taskkill.exe" /f /fi "SESSION eq S" /im QuorvixDriver.exe'
list_call='"C:\windows\system32\tasklist.exe" /fi "IMAGENAME eq QuorvixDriver.exe" /fi "SESSION ne S" /fo csv /nh'
# A copy of the uninstaller run in place and waited for, to see its exit code. "_?="
# must come unquoted, last: through cmd, which passes the line on as it is.
uninstall_in_place() { # <switches...>
    local rc
    mkdir -p "$c/qv-kept"
    cp "$dir/Uninstall.exe" "$c/qv-kept/"
    w cmd /c "C:\\qv-kept\\Uninstall.exe /S $* _?=$windir"
    rc=$?
    rm -rf "$c/qv-kept"
    return $rc
}
# The uninstaller hands over to its copy in the temp folder (…\Temp\~nsu<n>.tmp\Un.exe)
# and returns at once; the copy's last step removes the entry.
uninstaller_copies() { # the pids of this prefix's copies
    local pid
    for pid in $(pgrep -f '\\~nsu[^\\]*\.tmp\\'); do
        { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && echo "$pid"
    done
}
uninstall() { # <switches...>
    w "$dir/Uninstall.exe" /S "$@" || return 1
    wait_until 60 eval '[ -z "$(uninstaller_copies)" ]' && no_entry
}
settings=$profile/AppData/Roaming/QuorvixDriver

# A standard user's run, page by page: the installer started with a token whose
# Administrators group is deny-only, its window driven with the keyboard and the mouse,
# a screenshot of every page it shows into $shots.
shots=${QV_INSTALLER_SHOTS:-$src/build/windows/installer-shots}
as_user() { count_start; timeout 300 "$wine" 'C:\windows\limited_token.exe' "$@" </dev/null; }
# The setup's or uninstaller's windows: the wizard, and a message box above it.
setup_windows() { xdotool search --onlyvisible --name "^Quorvix Mixer $version" 2>/dev/null; }
setup_window() { win=$(setup_windows | head -n 1) && [ -n "$win" ]; }
message_box() { box=$(setup_windows | grep -vx "$win" | head -n 1) && [ -n "$box" ]; }
page() { import -window "$win" "$work/page.png" 2>/dev/null && md5sum <"$work/page.png"; }
settled() { # drawn the same twice in a row, and not as it was before the key
    local a b
    a=$(page) && sleep 0.4 && b=$(page) && [ "$a" = "$b" ] && [ "$a" != "$last" ]
}
redrawn() { [ "$(page)" != "$last" ]; }
# The welcome and finish pages have the wizard's picture down their left side, where the
# others are light.
pictured() {
    [ "$(convert-im6.q16 "$work/page.png" -crop 1x1+10+150 -colorspace gray -depth 8 txt:- |
        awk -F'[,:()]' 'NR == 2 { print $4 + 0 }')" -lt 100 ]
}
shot() { cp "$work/page.png" "$shots/$1.png"; }
next_page() { # <shot name>: Enter (the default button), then the next page settled
    last=$(page)
    xdotool key --window "$win" Return 2>/dev/null
    wait_until 60 settled && shot "$1"
}
# The n-th check box or radio button of the page, found in the column they share below
# the header's line (where it lies depends on the language's font), clicked.
click() { # <n>
    local line y
    line=$(convert-im6.q16 "$work/page.png" -crop 1x200+10+40 -colorspace gray -depth 8 txt:- |
        awk -F'[,:()]' 'NR > 1 && $4 + 0 < 200 { print $2 + 40; exit }')
    y=$(convert-im6.q16 "$work/page.png" -crop "1x300+32+$((line + 2))" -colorspace gray -depth 8 txt:- |
        awk -F'[,:()]' -v n="$1" -v top=$((line + 2)) 'NR > 1 && $4 + 0 < 200 {
            y = $2 + top
            if (!count || y - last > 16) { if (count == n) exit; count++; first = y }
            last = y }
        END { if (count == n) print int((first + last) / 2) }')
    [ -n "$y" ] || return 1
    last=$(md5sum <"$work/page.png")
    xdotool mousemove --window "$win" 32 "$y" click 1 2>/dev/null && wait_until 10 redrawn
}
# The welcome page up to the folder page, clicking the given control on the mode and on
# the autostart page (0: none).
wizard() { # <language> <mode page control> <autostart page control>
    wait_until 60 setup_window && last= && wait_until 60 settled && shot "$1-1-welcome" &&
        next_page "$1-2-notices" && next_page "$1-3-mode" || return 1
    [ "$2" = 0 ] || click "$2" || return 1
    next_page "$1-4-autostart" || return 1
    [ "$3" = 0 ] || click "$3" || return 1
    next_page "$1-5-folder"
}
# Install, then the finish page, which follows the progress page once all is written.
install_to_finish() { # <shot name>
    last=$(page)
    xdotool key --window "$win" Return 2>/dev/null
    wait_until 120 test -f "$dir/Uninstall.exe" && wait_until 60 eval 'settled && pictured' && shot "$1"
}
exit_code_is() { wait_until 60 test -s "$work/rc" && [ "$(cat "$work/rc")" = "$1" ]; }
# Starts the command (its exit code into $work/rc), goes through the pages clicking the
# given controls, installs, closes the finish page and expects exit code 0.
install_interactively() { # <shot prefix> <mode page control> <autostart page control> <command...>
    local name=$1 mode_control=$2 autostart_control=$3
    shift 3
    rm -f "$work/rc"
    ("$@" >/dev/null 2>>"$work/wine.err"; echo $? >"$work/rc") &
    wizard "$name" "$mode_control" "$autostart_control" && install_to_finish "$name-6-finish" &&
        xdotool key --window "$win" Return 2>/dev/null && exit_code_is 0
}
# ShellExecuteEx's "runas" calls in wine's exec trace, as "<file> <parameters>".
elevated_starts() {
    sed -n 's/.*SHELL_execute .* verb=L"runas" file=L"\(.*\)" parm=L"\(.*\)" dir=.*/\1 \2/p' "$work/exec.log" |
        sed 's/\\\\/\\/g'
}
user_ini='[General]
MasterVolume=-12
'

echo "== a new prefix"
wine_new_prefix "$WINEPREFIX" || { echo "0 passed, 1 failed"; exit 1; }
# wine 8 passes for Windows 7 unless told otherwise; the installer needs 10.
windows_version() { w reg add 'HKCU\Software\Wine' /v Version /d "$1" /f >/dev/null; }
windows_version win10
# The Chinese pages ask for SimSun (宋体), which Windows has and wine has not.
w reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 宋体 /d 'Noto Sans CJK SC' /f >/dev/null
# A steady caret: a blinking one keeps a page with a text box from being drawn the same
# twice in a row.
w reg add 'HKCU\Control Panel\Desktop' /v CursorBlinkRate /d -1 /f >/dev/null
for tool in taskkill tasklist; do
    x86_64-w64-mingw32-gcc -std=c99 -municode -O2 -s -Wall -Wextra -Werror -D"${tool^^}" \
        -o "$c/windows/system32/$tool.exe" "$src/tests/support/wintool_standin.c" -lshell32 ||
        { echo "the taskkill and tasklist stand-ins do not build"; finish; }
done
x86_64-w64-mingw32-gcc -std=c99 -municode -O2 -s -Wall -Wextra -Werror -shared -o "$work/rstrtmgr.dll" \
    "$src/tests/support/rstrtmgr_standin.c" || { echo "the Restart Manager stand-in does not build"; finish; }
cp "$c/windows/system32/rstrtmgr.dll" "$work/rstrtmgr.wine"
x86_64-w64-mingw32-gcc -std=c99 -municode -O2 -s -Wall -Wextra -Werror -o "$c/windows/limited_token.exe" \
    "$src/tests/support/limited_token.c" || { echo "the limited-token launcher does not build"; finish; }
makensis -V1 -DSRC="$src" -DOUTFILE="$work/folder_rights.exe" "$src/tests/wininstall/folder_rights.nsi" ||
    { echo "the folder rights check does not build"; finish; }
snapshot before
grep -q QuorvixMixer "$work/before.hklm" "$work/before.hkcu" && { echo "the new prefix already has an entry"; finish; }
# With DISPLAY set from here on: the prefix's explorer.exe hosts the tray icon.
keep=$shots/helpers
check "an X session with a tray host" start_x_session || finish

echo "== which folders standard users can change, from security descriptors"
w "$work/folder_rights.exe"
while read -r got want name; do
    if [ "$want" = 1 ]; then verdict="standard users can change it"; else verdict="they cannot"; fi
    check "$name: $verdict" test "$got" = "$want"
done < <(tr -d '\r' <"$work/folder-rights.txt" 2>/dev/null)
check "every case answered" test "$(grep -c . "$work/folder-rights.txt" 2>/dev/null)" = \
    "$(grep -c '^ *!insertmacro CASE ' "$src/tests/wininstall/folder_rights.nsi")"

mode me
echo "== elevated, no mode named"
w "$setup" /S
check "/S alone as administrator stops with exit code 10" test $? -eq 10
snapshot unnamed
check "nothing installed" same_as before unnamed

echo "== per user: silent install"
w "$setup" /S /CURRENTUSER
check "the installer exits with 0" test $? -eq 0
check "every file as built, and the uninstaller" installed_as_staged
check "the user's Start-menu shortcut to the program" shortcut_points_home
check "starting at log-in (HKCU Run value, quoted path)" autostart_set
check "the Apps & features entry under HKCU" entry_complete
check "its EstimatedSize matches the folder" size_is_about_right
snapshot installed
check "nothing in HKLM or outside the profile" same_as before installed hklm machine

echo "== per user: the installed program"
start_program
check "it docks its tray icon" wait_until 60 find_icon || tail -n 20 "$work/program.log"

echo "== per user: a running copy that will not end"
echo damaged >"$dir/licenses/THIRD-PARTY.txt"
snapshot damaged
calls
QV_TASKKILL=inert w "$setup" /S /CURRENTUSER
check "the installer stops with exit code 4" test $? -eq 4
check "the copy still runs" running "$program"
check "only this session's copies asked to end" asked_exactly "$kill_call"
snapshot refused_running
check "nothing changed" same_as damaged refused_running

echo "== per user: upgrade over the running copy"
calls
w "$setup" /S /CURRENTUSER
check "the installer exits with 0" test $? -eq 0
check "the running copy was ended" wait_until 20 eval '! running $program'
check "only this session's, no look at other sessions" asked_exactly "$kill_call"
check "every file replaced" installed_as_staged
snapshot upgraded
check "the same files and registry as the first install" same_as installed upgraded

echo "== per user: silent uninstall keeps the settings"
mkdir -p "$settings"
printf '%s' "$user_ini" >"$settings/tk2.ini"
uninstall
check "the uninstaller ran to its end" test $? -eq 0
check "the program folder is gone" test ! -e "$dir"
snapshot removed
check "nothing of the installation left" same_as before removed
check "the user's tk2.ini kept as it was" test "$(cat "$settings/tk2.ini" 2>/dev/null)" = "$(printf '%s' "$user_ini")"

echo "== per user: uninstall with /REMOVESETTINGS"
w "$setup" /S /CURRENTUSER /NOAUTOSTART
check "installed again" test -f "$dir/QuorvixDriver.exe"
check "no Run value with /NOAUTOSTART" test -z "$(reg_value "$run_key" 'Quorvix Mixer')"
uninstall /REMOVESETTINGS
check "the uninstaller ran to its end" test $? -eq 0
check "the settings folder is gone" test ! -e "$settings"
snapshot removed2
check "nothing of the installation left" same_as before removed2

echo "== per user: uninstall after the program folder was deleted"
w "$setup" /S /CURRENTUSER
mkdir -p "$c/qv-kept"
cp "$dir/Uninstall.exe" "$c/qv-kept/"
rm -rf "$dir"
w cmd /c "C:\\qv-kept\\Uninstall.exe /S _?=$windir"
check "the uninstaller exits with 0" test $? -eq 0
rm -rf "$c/qv-kept"
check "the entry is gone" no_entry
check "the shortcut is gone" test ! -e "$lnk"
snapshot removed3
check "nothing of the installation left" same_as before removed3

echo "== per user: a program folder that cannot be written"
# Immutable (chattr +i) stands for a folder without write rights: as root, wine's
# read-only attribute alone would not stop a write, nor does it on Windows for folders.
mkdir -p "$dir" "$c/qv-ro"
if chattr +i "$dir" "$c/qv-ro" 2>/dev/null; then
    w "$setup" /S /CURRENTUSER
    check "the installer stops with exit code 3" test $? -eq 3
    w "$setup" /S /CURRENTUSER '/D=C:\qv-ro\QuorvixMixer'
    check "also for a new folder in one that cannot be written" test $? -eq 3
    chattr -i "$dir" "$c/qv-ro"
    rmdir "$dir" "$(dirname "$dir")" "$c/qv-ro"
    snapshot refused
    check "nothing installed" same_as before refused
else
    rmdir "$dir" "$(dirname "$dir")" "$c/qv-ro"
    echo "skip - a folder that cannot be written: chattr +i is not supported here"
fi

echo "== a standard user, page by page, in English"
mkdir -p "$shots"
check "every page with Enter, installed, exit code 0" install_interactively en 0 0 as_user "$(winpath "$setup")" /LANG=1033
check "every file as built, and the uninstaller" installed_as_staged
check "starting at log-in, as ticked" autostart_set
check "the finish page started the program with the user's rights" wait_until 60 find_icon
uninstall
snapshot user_removed
check "uninstalled, nothing left" same_as before user_removed

echo "== a standard user, page by page, in Chinese, the start at log-in unticked"
check "the same pages, the box unticked, exit code 0" install_interactively zh 0 1 as_user "$(winpath "$setup")" /LANG=2052
check "no Run value" test -z "$(reg_value "$run_key" 'Quorvix Mixer')"
check "the entry records Chinese" reg_value_is "$uninst_key" 'Installer Language' 2052
uninstall
snapshot user_removed2
check "uninstalled, nothing left" same_as before user_removed2

mode all
echo "== elevated, interactive: the mode page opens on everyone"
check "every page with Enter, exit code 0" install_interactively en-elevated 0 0 w "$setup" /LANG=1033
check "installed for everyone: Program Files" installed_as_staged
check "and the entry under HKLM" entry_complete
uninstall
snapshot all_interactive_removed
check "uninstalled, nothing left" same_as before all_interactive_removed

echo "== a standard user chooses everyone: the hand-over to the elevated copy"
rm -f "$work/rc"
(WINEDEBUG=trace+exec as_user "$(winpath "$setup")" /LANG=1033 >/dev/null 2>"$work/exec.log"; echo $? >"$work/rc") &
wizard en-handover 2 0 >/dev/null
last=$(page)
xdotool key --window "$win" Return 2>/dev/null
# wine's "runas" gives no administrator rights: the silent copy refuses with 7 and this
# one says so in a box with only OK.
check "a message once the elevated copy stopped" wait_until 120 message_box
starts=$(elevated_starts)
echo "$starts"
check "the setup itself, with the choices made on the pages" \
    test "$starts" = "$(winpath "$setup") /S /ALLUSERS /AUTOSTART=1 /LANG=1033 /D=$windir"
xdotool key --window "$box" Return 2>/dev/null
# The progress page stays, stopped, until it is closed.
wait_until 30 eval 'xdotool key --window "$win" Return 2>/dev/null; test -s "$work/rc"'
check "the installer exits with 7" exit_code_is 7
snapshot handover_refused
check "nothing installed" same_as before handover_refused

echo "== all users: silent install"
# Into a folder of Program Files that is already there but not the recorded installation:
# its permissions and those of the folders above it are read (as wine makes it, others
# may only read it).
mkdir -p "$dir"
w "$setup" /S /ALLUSERS
check "the installer exits with 0" test $? -eq 0
check "every file as built, and the uninstaller" installed_as_staged
check "the common Start-menu shortcut to the program" shortcut_points_home
check "starting at every user's log-in (HKLM Run value)" autostart_set
check "the Apps & features entry under HKLM" entry_complete
snapshot all_installed
check "nothing in HKCU or in the profile" same_as before all_installed hkcu user

echo "== all users: the uninstaller started by a standard user"
win=
rm -f "$work/rc"
# Run in place, the copy stands for the one NSIS starts from the user's temp folder, the
# one that hands over: its exit code is the one a caller sees.
mkdir -p "$c/qv-kept"
cp "$dir/Uninstall.exe" "$c/qv-kept/"
(WINEDEBUG=trace+exec as_user cmd /c "C:\\qv-kept\\Uninstall.exe _?=$windir" >/dev/null 2>"$work/exec.log"
    echo $? >"$work/rc") &
check "the elevated copy, without rights under wine, says so" wait_until 120 message_box
starts=$(elevated_starts)
echo "$starts"
check "one elevated start: the installed Uninstall.exe, no _?=" test "$starts" = "$windir\\Uninstall.exe /ELEVATED"
xdotool key --window "$box" Return 2>/dev/null
check "the copy that handed over exits with 11, never 0" exit_code_is 11
rm -rf "$c/qv-kept"
snapshot all_user_refused
check "nothing changed" same_as all_installed all_user_refused

echo "== all users: a copy in another session, wine's Restart Manager naming no holder"
start_program
check "the program starts from Program Files" wait_until 60 find_icon
calls
QV_TASKLIST_OTHER=1 w "$setup" /S /ALLUSERS
check "the installer stops with exit code 5" test $? -eq 5
check "it looked, and ended nothing" asked_exactly "$list_call"
check "our own copy was left running too" running "$program"
calls
QV_TASKLIST_OTHER=1 uninstall_in_place
check "the uninstaller stops with exit code 5" test $? -eq 5
snapshot all_refused
check "nothing changed" same_as all_installed all_refused

echo "== all users: the Restart Manager names a copy of the installed program in another session"
self_call="RmRegisterResources $(winpath "$setup")"
held_call="RmRegisterResources $windir\\QuorvixDriver.exe"
calls
QV_RM_OTHER_SESSION=1 QV_RM_GROW=1 QV_RM_SERVICE=1 with_rm_standin w "$setup" /S /ALLUSERS
check "the installer stops with exit code 5" test $? -eq 5
check "it asked about its own file, then the program's; no tasklist, nothing ended" \
    asked_exactly "$self_call" "$held_call"
check "our own copy was left running" running "$program"
calls
QV_RM_OTHER_SESSION=1 with_rm_standin uninstall_in_place
check "the uninstaller stops with exit code 5" test $? -eq 5
check "the same two questions" asked_exactly 'RmRegisterResources C:\qv-kept\Uninstall.exe' "$held_call"
snapshot all_rm_refused
check "nothing changed" same_as all_installed all_rm_refused

echo "== all users: upgrade over the running copy, keeping the mode"
calls
w "$setup" /S /ALLUSERS
check "the installer exits with 0" test $? -eq 0
check "the running copy was ended" wait_until 20 eval '! running $program'
check "this session's copies ended after a look at the others" asked_exactly "$list_call" "$kill_call"
check "every file replaced" installed_as_staged
w "$setup" /S /CURRENTUSER
check "/CURRENTUSER over it stops with exit code 9" test $? -eq 9
w "$setup" /S
check "/S alone over it stops with exit code 10" test $? -eq 10
snapshot all_upgraded
check "the same files and registry as the first install" same_as all_installed all_upgraded

echo "== all users: neither a copy run from another folder nor a service holds the upgrade back"
cp -r "$dir" "$c/QuorvixOther"
count_start
timeout 300 "$wine" 'C:\QuorvixOther\QuorvixDriver.exe' >/dev/null 2>"$work/other.log" &
other=$!
started+=("$other")
check "a copy runs from C:\QuorvixOther" wait_until 60 find_icon
calls
QV_RM_OTHER_SESSION=1 QV_RM_SERVICE=1 with_rm_standin w "$setup" /S /ALLUSERS
check "the installer exits with 0, a service and a critical process holding the file" test $? -eq 0
check "the Restart Manager asked, no tasklist, then this session's copies ended" \
    asked_exactly "$self_call" "$held_call" "$kill_call"
check "every file replaced" installed_as_staged
wait_until 20 eval '! running $other'
rm -rf "$c/QuorvixOther"

echo "== all users: the start at log-in over an upgrade"
no_autostart() { test -z "$(reg_value "$run_key" 'Quorvix Mixer')"; }
w "$setup" /S /ALLUSERS /NOAUTOSTART
check "/NOAUTOSTART removes the HKLM Run value" no_autostart
w "$setup" /S /ALLUSERS
check "an upgrade keeps it off" no_autostart
# What the interactive installer without administrator rights hands to its elevated copy.
w "$setup" /S /ALLUSERS /AUTOSTART=1 /LANG=2052
check "/AUTOSTART=1 turns it on again" autostart_set
check "the language handed over is the installation's" reg_value_is "$uninst_key" 'Installer Language' 2052
w "$setup" /S /ALLUSERS /AUTOSTART=0
check "/AUTOSTART=0 turns it off" no_autostart

echo "== all users: uninstall leaves every user's settings"
mkdir -p "$settings"
printf '%s' "$user_ini" >"$settings/tk2.ini"
uninstall /REMOVESETTINGS
check "the uninstaller ran to its end" test $? -eq 0
snapshot all_removed
check "nothing of the installation left" same_as before all_removed
check "the user's tk2.ini kept, even with /REMOVESETTINGS" test "$(cat "$settings/tk2.ini" 2>/dev/null)" = "$(printf '%s' "$user_ini")"

echo "== refused before anything is changed"
w "$setup" /S /ALLUSERS '/D=C:\QuorvixMixer'
check "all users outside Program Files: exit code 8" test $? -eq 8
# A folder of Program Files that every user may write (wine gives Everyone the rights of
# the Unix mode's "others").
shared=$c/"Program Files/Shared"
mkdir -p "$shared"
chmod 777 "$shared"
w cmd /c "$(winpath "$setup") /S /ALLUSERS /D=C:\\Program Files\\Shared\\Quorvix Mixer"
check "all users into a new folder in a folder others can write: exit code 8" test $? -eq 8
w cmd /c "$(winpath "$setup") /S /ALLUSERS /D=C:\\Program Files\\Shared"
check "into that folder itself, directly in Program Files but not new: exit code 8" test $? -eq 8
rmdir "$shared"
w "$setup" /S /ALLUSERS /CURRENTUSER
check "both mode switches: exit code 9" test $? -eq 9
windows_version win7
w "$setup" /S /CURRENTUSER
check "Windows 7: exit code 6" test $? -eq 6
windows_version win10
snapshot refused_all
check "nothing installed" same_as before refused_all

echo "wine started $(wc -l <"$work/wine-starts") times; ${SECONDS} s in all"
finish
