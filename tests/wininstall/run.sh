#!/usr/bin/env bash
# The Windows installer under wine, in a new prefix of its own: a silent install (files,
# Start-menu shortcut, start at log-in, the "Apps & features" entry), the installed
# program docking its tray icon, an upgrade over the running copy, a silent uninstall
# that leaves the prefix as it found it but for the user's settings, one with
# /REMOVESETTINGS that takes those too, an uninstall after the program folder was
# deleted by hand, and an install into a folder that cannot be written. Builds the
# installer first when it is missing or older than the Windows build.
# Prints "N passed, N failed" last and exits non-zero on any failure.
set -u
src=$(cd "$(dirname "$0")/../.." && pwd)
version=$(sed -n 's/^project([A-Za-z]* VERSION \([0-9][0-9.]*\).*/\1/p' "$src/CMakeLists.txt" | head -n 1)
setup=$src/build/windows/QuorvixMixer-$version-setup.exe
stage=$src/build/windows/installer/QuorvixMixer

need=()
[ -x /usr/lib/wine/wine64 ] || need+=(wine64)
for pair in Xvfb:xvfb trayer:trayer xdotool:xdotool xwininfo:x11-utils iconv:libc-bin; do
    command -v "${pair%%:*}" >/dev/null 2>&1 || need+=("${pair#*:}")
done
if [ ${#need[@]} -gt 0 ]; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi
app=$src/build/windows/QuorvixMixer/QuorvixDriver.exe
if [ ! -f "$setup" ] || [ ! -d "$stage" ] || [ "$app" -nt "$setup" ]; then
    bash "$src/scripts/build-windows-installer.sh" >/dev/null || { echo "0 passed, 1 failed"; exit 1; }
fi
source "$src/scripts/lib/wine.sh"

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

passed=0 failed=0
check() { # <description> <command...>
    local what=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
        echo "ok - $what"
    else
        failed=$((failed + 1))
        echo "not ok - $what"
    fi
}
finish() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
    exit
}

# wine's messages, and those of the explorer.exe the first program starts, to a file
w() { timeout 120 "$wine" "$@" </dev/null 2>>"$work/wine.err"; }
c=$WINEPREFIX/drive_c
dir=$c/"Program Files/Quorvix Mixer"
windir='C:\Program Files\Quorvix Mixer'
lnk=$c/"ProgramData/Microsoft/Windows/Start Menu/Programs/Quorvix Mixer.lnk"
uninst_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\QuorvixMixer'
run_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'

# The prefix's files and the two registry trees an installer may write. Left out: the
# temp folders (the uninstaller runs from a copy of itself there, which Windows deletes
# at the next restart), the user's settings, which an uninstall is meant to keep, and
# the parameters wine's X11 driver keeps for the current display.
snapshot() { # <name>
    (cd "$c" && find . \( -ipath './users/*/Temp' -o -ipath './windows/temp' \) -prune -o -print |
        grep -v '^\./users/[^/]*/AppData/Roaming/QuorvixDriver' | sort) >"$work/$1.files"
    local hive
    : >"$work/$1.reg"
    for hive in 'HKLM\Software' 'HKCU\Software'; do
        w reg export "$hive" "$work/hive.reg" /y >/dev/null 2>&1 || echo "reg export $hive failed" >>"$work/$1.reg"
        iconv -f UTF-16 -t UTF-8 "$work/hive.reg" | tr -d '\r' |
            awk '/^\[/ { skip = index($0, "\\Software\\Wine\\Temporary System Parameters") > 0 } !skip' \
                >>"$work/$1.reg"
    done
}
same_as() { # <before> <after>: prints what differs
    diff "$work/$1.files" "$work/$2.files" | grep '^[<>]' | head -n 20
    diff "$work/$1.reg" "$work/$2.reg" | grep '^[<>]' | head -n 20
    cmp -s "$work/$1.files" "$work/$2.files" && cmp -s "$work/$1.reg" "$work/$2.reg"
}
reg_value() { # <key> <name>
    w reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' |
        awk -v n="$2" '{ i = index($0, n "    REG_") } i == 5 { sub(/^ *[^ ].*    REG_[A-Z_]*    /, ""); print; exit }'
}
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
    reg_value_is "$uninst_key" DisplayName 'Quorvix Mixer' &&
        reg_value_is "$uninst_key" DisplayVersion "$version" &&
        reg_value_is "$uninst_key" Publisher Quorvix &&
        reg_value_is "$uninst_key" DisplayIcon "$windir\\QuorvixDriver.exe,0" &&
        reg_value_is "$uninst_key" InstallLocation "$windir" &&
        reg_value_is "$uninst_key" UninstallString "\"$windir\\Uninstall.exe\"" &&
        reg_value_is "$uninst_key" QuietUninstallString "\"$windir\\Uninstall.exe\" /S" &&
        reg_value_is "$uninst_key" NoModify 0x1 && reg_value_is "$uninst_key" NoRepair 0x1
}
autostart_set() { reg_value_is "$run_key" 'Quorvix Mixer' "\"$windir\\QuorvixDriver.exe\""; }
no_entry() { ! w reg query "$uninst_key" >/dev/null 2>&1; }
# The uninstaller hands over to its copy in the temp folder and returns at once; its
# last step removes the entry.
uninstall() { # <switches...>
    w "$dir/Uninstall.exe" /S "$@" || return 1
    wait_until 60 no_entry
}
settings=$c/users/$(id -un)/AppData/Roaming/QuorvixDriver
user_ini='[General]
MasterVolume=-12
'

echo "== a new prefix"
w wineboot --init >/dev/null 2>&1
timeout 180 "$wineserver" -w
snapshot before
grep -q QuorvixMixer "$work/before.reg" && { echo "the new prefix already has an entry"; finish; }
# With DISPLAY set from here on: the prefix's explorer.exe hosts the tray icon.
check "an X session with a tray host" start_x_session || finish

echo "== silent install"
w "$setup" /S
check "the installer exits with 0" test $? -eq 0
check "every file as built, and the uninstaller" installed_as_staged
check "the Start-menu shortcut to the program" shortcut_points_home
check "starting at log-in (Run value, quoted path)" autostart_set
check "the Apps & features entry" entry_complete
check "its EstimatedSize matches the folder" size_is_about_right
snapshot installed

echo "== the installed program"
timeout 300 "$wine" "$windir\\QuorvixDriver.exe" >/dev/null 2>"$work/program.log" &
program=$!
check "it docks its tray icon" wait_until 60 find_icon || tail -n 20 "$work/program.log"

echo "== upgrade over the running copy"
echo damaged >"$dir/licenses/THIRD-PARTY.txt"
w "$setup" /S
check "the installer exits with 0" test $? -eq 0
check "the running copy was ended" wait_until 20 sh -c "! kill -0 $program 2>/dev/null"
check "every file replaced" installed_as_staged
snapshot upgraded
check "the same files and registry as the first install" same_as installed upgraded

echo "== silent uninstall keeps the settings"
mkdir -p "$settings"
printf '%s' "$user_ini" >"$settings/tk2.ini"
uninstall
check "the uninstaller ran to its end" test $? -eq 0
check "the program folder is gone" test ! -e "$dir"
snapshot removed
check "nothing of the installation left" same_as before removed
check "the user's tk2.ini kept as it was" test "$(cat "$settings/tk2.ini" 2>/dev/null)" = "$(printf '%s' "$user_ini")"

echo "== uninstall with /REMOVESETTINGS"
w "$setup" /S /NOAUTOSTART
check "installed again" test -f "$dir/QuorvixDriver.exe"
check "no Run value with /NOAUTOSTART" test -z "$(reg_value "$run_key" 'Quorvix Mixer')"
uninstall /REMOVESETTINGS
check "the uninstaller ran to its end" test $? -eq 0
check "the settings folder is gone" test ! -e "$settings"
snapshot removed2
check "nothing of the installation left" same_as before removed2

echo "== uninstall after the program folder was deleted"
w "$setup" /S
mkdir -p "$c/qv-kept"
cp "$dir/Uninstall.exe" "$c/qv-kept/"
rm -rf "$dir"
# "_?=" must come unquoted, last: through cmd, which passes the line on as it is.
w cmd /c "C:\qv-kept\Uninstall.exe /S _?=$windir"
check "the uninstaller exits with 0" test $? -eq 0
rm -rf "$c/qv-kept"
check "the entry is gone" no_entry
check "the shortcut is gone" test ! -e "$lnk"
snapshot removed3
check "nothing of the installation left" same_as before removed3

echo "== a program folder that cannot be written"
# Immutable (chattr +i) stands for a folder without write rights: as root, wine's
# read-only attribute alone would not stop a write, nor does it on Windows for folders.
mkdir -p "$dir" "$c/qv-ro"
if chattr +i "$dir" "$c/qv-ro" 2>/dev/null; then
    w "$setup" /S
    check "the installer stops with exit code 3" test $? -eq 3
    w "$setup" /S '/D=C:\qv-ro\QuorvixMixer'
    check "also for a new folder in one that cannot be written" test $? -eq 3
    chattr -i "$dir" "$c/qv-ro"
    rmdir "$dir" "$c/qv-ro"
    snapshot refused
    check "nothing installed" same_as before refused
else
    rmdir "$dir" "$c/qv-ro"
    echo "skip - a folder that cannot be written: chattr +i is not supported here"
fi

finish
