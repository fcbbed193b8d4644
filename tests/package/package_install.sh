#!/usr/bin/env bash
# Builds the .deb with cpack from a finished build tree, checks its control data and
# file list, unpacks it into a scratch root and starts the unpacked program there.
# Never installs anything on the machine itself.
# Usage: package_install.sh <build dir> <source dir> <project version> <tools built 0|1>
set -uo pipefail

build=$1
source=$2
version=$3
tools=$4

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
section() { echo "== $*"; }

for tool in cpack dpkg-deb dpkg; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing; bash scripts/install-deps.sh installs it"; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

section "package build"
if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/pkg" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log" >&2
    echo "FAIL: cpack failed" >&2
    exit 1
fi
arch=$(dpkg --print-architecture)
deb=$work/pkg/quorvix-mixer_${version}_${arch}.deb
if [ ! -f "$deb" ]; then
    ls "$work/pkg" >&2
    echo "FAIL: expected package $(basename "$deb")" >&2
    exit 1
fi

section "control data"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = quorvix-mixer ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', project is $version"
[ "$(field Section)" = sound ] || fail "Section is '$(field Section)'"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)'"
[[ "$(field Maintainer)" =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] || fail "Maintainer is '$(field Maintainer)'"
description=$(field Description)
[ -n "$(head -n1 <<<"$description")" ] || fail "Description has no summary line"
[ "$(wc -l <<<"$description")" -ge 2 ] || fail "Description has no long text"
while IFS= read -r line; do
    [ "${#line}" -le 80 ] || fail "Description line longer than 80 columns: $line"
done <<<"$description"

# Package names of Depends, alternatives and version constraints stripped.
depends=$(field Depends | tr ',|' '\n\n' | sed -E 's/\(.*\)//; s/^ +//; s/ +$//' | sort -u)
for needed in libqt6widgets6 libqt6gui6 libqt6core6 qt6-qpa-plugins libc6 libstdc++6; do
    grep -qx "$needed" <<<"$depends" || fail "Depends lacks $needed: $(field Depends)"
done

# dpkg keeps conffiles on "remove"; the autostart entry must leave with the package.
mkdir "$work/control"
dpkg-deb --ctrl-tarfile "$deb" | tar -x -C "$work/control"
if [ -f "$work/control/conffiles" ] &&
    grep -qx /etc/xdg/autostart/quorvix-mixer.desktop "$work/control/conffiles"; then
    fail "the autostart entry is a conffile and would outlive 'apt-get remove'"
fi

section "file list"
# "<mode> <path>[ -> <target>]" of every non-directory entry.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { $2 = $3 = $4 = $5 = ""; print }' |
    sed -E 's/ +/ /g' | sort >"$work/files"
{
    echo "-rw-r--r-- ./etc/xdg/autostart/quorvix-mixer.desktop"
    if [ "$tools" = 1 ]; then
        echo "-rwxr-xr-x ./usr/bin/quorvix-asiopeer"
        echo "-rwxr-xr-x ./usr/bin/quorvix-devsim"
    fi
    echo "-rwxr-xr-x ./usr/bin/quorvix-ctl"
    echo "lrwxrwxrwx ./usr/bin/quorvix-mixer -> ../lib/quorvix-mixer/QuorvixDriver"
    echo "-rwxr-xr-x ./usr/lib/quorvix-mixer/QuorvixDriver"
    echo "-rw-r--r-- ./usr/lib/quorvix-mixer/QuorvixDriver_en_US.qm"
    echo "-rw-r--r-- ./usr/lib/quorvix-mixer/QuorvixDriver_zh_CN.qm"
    echo "-rw-r--r-- ./usr/share/applications/quorvix-mixer.desktop"
    echo "-rw-r--r-- ./usr/share/icons/hicolor/512x512/apps/quorvix-mixer.png"
} | sort >"$work/expected"
if ! diff -u "$work/expected" "$work/files" >"$work/files.diff"; then
    cat "$work/files.diff" >&2
    fail "package file list differs from the install layout"
fi
dpkg-deb -c "$deb" | awk '$2 != "root/root" { print; bad = 1 } END { exit bad }' ||
    fail "entries not owned by root/root"

section "unpacked tree"
root=$work/root
dpkg -x "$deb" "$root"
app=$root/usr/lib/quorvix-mixer/QuorvixDriver
[ "$(readlink -f "$root/usr/bin/quorvix-mixer")" = "$app" ] ||
    fail "bin/quorvix-mixer does not lead to the program"
for qm in QuorvixDriver_en_US.qm QuorvixDriver_zh_CN.qm; do
    cmp -s "$build/bin/$qm" "$root/usr/lib/quorvix-mixer/$qm" ||
        fail "$qm differs from the one the build made"
done

# desktop_key <file> <key>: value of an unlocalised key in [Desktop Entry].
desktop_key() {
    awk -v key="$2" -F= '/^\[/ { in_entry = ($0 == "[Desktop Entry]") }
        in_entry && $1 == key { sub(/^[^=]*=/, ""); print; exit }' "$1"
}
menu=$root/usr/share/applications/quorvix-mixer.desktop
autostart=$root/etc/xdg/autostart/quorvix-mixer.desktop
for entry in "$menu" "$autostart"; do
    name=${entry#"$root"}
    [ "$(desktop_key "$entry" Type)" = Application ] || fail "$name: Type"
    [ "$(desktop_key "$entry" Name)" = "Quorvix Mixer" ] || fail "$name: Name"
    [ "$(desktop_key "$entry" Categories)" = "AudioVideo;Audio;Mixer;" ] || fail "$name: Categories"
    # The command and the icon must name what the package actually ships.
    command=$(desktop_key "$entry" Exec | cut -d' ' -f1)
    [ -n "$command" ] && [ -x "$root/usr/bin/$command" ] ||
        fail "$name: Exec '$command' is not a program in usr/bin"
    icon=$(desktop_key "$entry" Icon)
    [ -n "$icon" ] && [ -f "$root/usr/share/icons/hicolor/512x512/apps/$icon.png" ] ||
        fail "$name: Icon '$icon' is not in the hicolor theme"
    if command -v desktop-file-validate >/dev/null; then
        desktop-file-validate "$entry" || fail "$name: desktop-file-validate"
    else
        echo "note: desktop-file-validate not found (desktop-file-utils), skipped"
    fi
done
[ "$(desktop_key "$autostart" X-GNOME-Autostart-enabled)" = true ] ||
    fail "autostart entry is not enabled"
[ "$(desktop_key "$autostart" Hidden)" != true ] || fail "autostart entry is hidden"

# PNG signature, then IHDR width and height as big-endian words.
png=$root/usr/share/icons/hicolor/512x512/apps/quorvix-mixer.png
if [ -f "$png" ]; then
    header=$(od -An -tx1 -N24 "$png" | tr -d ' \n')
    size=$((16#${header:32:8}))x$((16#${header:40:8}))
    [ "${header:0:16}" = 89504e470d0a1a0a ] || fail "icon is not a PNG"
    [ "$size" = 512x512 ] || fail "icon is $size, not 512x512"
fi

section "program start"
# run_program <locale> <log>: starts the unpacked program through its launcher with
# private folders; it must still be running when the timeout stops it.
run_program() {
    local home=$work/run-$1
    mkdir -p "$home/home" "$home/tmp" "$home/config" "$home/data"
    mkdir -m 700 "$home/runtime"
    env -i PATH=/usr/bin:/bin LC_ALL="$1" LANG="$1" \
        HOME="$home/home" TMPDIR="$home/tmp" XDG_RUNTIME_DIR="$home/runtime" \
        XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data" \
        QT_QPA_PLATFORM=offscreen QT_FORCE_STDERR_LOGGING=1 \
        timeout 4 "$root/usr/bin/quorvix-mixer" >"$2" 2>&1
}
check_start() {
    local locale=$1 qm=$2 log=$work/$1.log rc before=$failures
    run_program "$locale" "$log"
    rc=$?
    [ "$rc" = 124 ] || fail "program under $locale ended early with status $rc"
    grep -qxF "成功加载翻译文件： \"$root/usr/lib/quorvix-mixer/$qm\"" "$log" ||
        fail "program under $locale did not load $qm from its own folder"
    if [ "$failures" -gt "$before" ]; then
        sed -n 1,20p "$log" >&2
    fi
}
check_start C QuorvixDriver_en_US.qm
check_start zh_CN.UTF-8 QuorvixDriver_zh_CN.qm

if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "package checks passed"
