#!/usr/bin/env bash
# The support report as the Windows build writes it, under Wine: the install scope and
# the autostart value read from what the installer writes to the registry (per user and
# for everyone), no registry key made by reading, and the profile folder and user name
# hidden. Exit: 0 passed, 1 failed (also without the Windows build or kit).
# Usage: report_wine.sh <source root> <version>
set -u
src=${1:?source root}
version=${2:?version}
ready=$src/build/windows/QuorvixMixer
kit=${QUORVIX_WIN_QT_DIR:-$HOME/.cache/quorvix/qt6-mingw}
cxx=x86_64-w64-mingw32-g++-posix
[ -f "$ready/Qt6Core.dll" ] && [ -f "$kit/lib/libQt6Core.a" ] && command -v "$cxx" >/dev/null ||
    { echo "FAIL: needs build/windows and the Windows Qt kit; bash scripts/build-windows.sh makes both"; exit 1; }
source "$src/scripts/lib/wine.sh"

work=$(mktemp -d /tmp/qrw.XXXXXX)
export WINEPREFIX=$work/pfx WINEPATH=Z:${ready//\//\\}
cleanup() {
    timeout 20 "$wineserver" -k 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*"
    exit 1
}
w() { timeout 60 "$wine" "$@" </dev/null; }

"$cxx" -std=c++20 -O1 -Wall -Wextra -Werror -DUNICODE -D_UNICODE -DWIN32 -DWIN64 -D_WIN64 \
    -DMINGW_HAS_SECURE_API=1 -DQT_CORE_LIB -DQT_NO_DEBUG -D_ENABLE_EXTENDED_ALIGNED_STORAGE \
    -DQUORVIX_VERSION="\"$version\"" -I"$src" -isystem "$kit/include" \
    -isystem "$kit/include/QtCore" -isystem "$kit/mkspecs/win32-g++" \
    -o "$work/report-probe.exe" "$src/tests/report/report_probe.cpp" \
    "$src"/report/{ProgramFolders,Redactor,ZipWriter,SupportReport,InstallFacts_win}.cpp \
    -L"$kit/lib" -lQt6Core || fail "the probe did not build"
wine_new_prefix "$WINEPREFIX" || fail "no wine prefix"
user=$(w cmd /c 'echo %USERNAME%' | tr -d '\r')
profile="C:\\users\\$user"
data=$WINEPREFIX/drive_c/users/$user/AppData/Roaming/QuorvixDriver
mkdir -p "$data"
printf '[Paths]\r\nlast=%s\\Music\r\n' "$profile" >"$data/tk1.ini"

# The report's text with Windows line ends taken off.
report_text() {
    w "$work/report-probe.exe" 'Z:'"${work//\//\\}"'\report.zip' || fail "no report written"
    unzip -p "$work/report.zip" "$1" | tr -d '\r'
}
has() { grep -qxF -- "$2" <<<"$1" || fail "report.txt lacks '$2'; it reads:"$'\n'"$1"; }

cv='Software\Microsoft\Windows\CurrentVersion'
text=$(report_text report.txt)
has "$text" "install scope: none"
has "$text" "autostart: none"
has "$text" "version: $version"
w reg query "HKCU\\$cv\\Uninstall\\QuorvixMixer" >/dev/null 2>&1 &&
    fail "reading the registry made the installer's key"
[ "$(report_text ini/tk1.ini)" = $'[Paths]\nlast=<home>\\Music' ] ||
    fail "the ini file was not hidden: $(report_text ini/tk1.ini)"

# As the per-user installer leaves it.
installed="$profile\\AppData\\Local\\Programs\\Quorvix Mixer"
w reg add "HKCU\\$cv\\Uninstall\\QuorvixMixer" /v DisplayVersion /d "$version" /f >/dev/null
w reg add "HKCU\\$cv\\Uninstall\\QuorvixMixer" /v InstallLocation /d "$installed" /f >/dev/null
w reg add "HKCU\\$cv\\Run" /v "Quorvix Mixer" /d "\"$installed\\QuorvixDriver.exe\"" /f >/dev/null
text=$(report_text report.txt)
hidden='<home>\AppData\Local\Programs\Quorvix Mixer'
has "$text" "install scope: per user (version $version in $hidden)"
has "$text" "autostart: on (HKCU Run \"Quorvix Mixer\" = \"$hidden\\QuorvixDriver.exe\")"

# As the installer for everyone leaves it, in the 64-bit view.
w reg delete "HKCU\\$cv\\Uninstall\\QuorvixMixer" /f >/dev/null
w reg delete "HKCU\\$cv\\Run" /v "Quorvix Mixer" /f >/dev/null
machine='C:\Program Files\Quorvix Mixer'
w reg add "HKLM\\$cv\\Uninstall\\QuorvixMixer" /v DisplayVersion /d "$version" /f /reg:64 >/dev/null
w reg add "HKLM\\$cv\\Uninstall\\QuorvixMixer" /v InstallLocation /d "$machine" /f /reg:64 >/dev/null
w reg add "HKLM\\$cv\\Run" /v "Quorvix Mixer" /d "\"$machine\\QuorvixDriver.exe\"" /f /reg:64 >/dev/null
text=$(report_text report.txt)
has "$text" "install scope: all users (version $version in $machine)"
has "$text" "autostart: on (HKLM Run \"Quorvix Mixer\" = \"$machine\\QuorvixDriver.exe\")"
printf "%s\n" "$text"
echo "PASS: the Windows report reads the installer's registry values and hides the profile"
