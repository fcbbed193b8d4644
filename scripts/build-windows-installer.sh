#!/usr/bin/env bash
# The Windows installer and the portable .zip, made from the ready folder that
# scripts/build-windows.sh leaves in build/windows/QuorvixMixer/ (run that first):
#   build/windows/QuorvixMixer-<version>-setup.exe   NSIS installer (amd64-unicode)
#   build/windows/QuorvixMixer-<version>.zip         the folder with its licences
# The version comes from the project() line of the top CMakeLists.txt. Both carry the
# licences of what they ship, taken from the Debian packages the build used.
# The setup and its uninstaller are signed with the certificate that signed the ready
# folder (scripts/lib/sign.sh); build/windows/installer/Uninstall.exe keeps a copy of the
# signed uninstaller for the checks.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build/windows
app=$out/QuorvixMixer
work=$out/installer
stage=$work/QuorvixMixer
nsi=$root/packaging/windows/QuorvixMixer.nsi

need=()
command -v makensis >/dev/null 2>&1 || need+=(nsis)
command -v zip >/dev/null 2>&1 || need+=(zip)
command -v convert-im6.q16 >/dev/null 2>&1 || need+=(imagemagick)
if [ ${#need[@]} -gt 0 ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi

# The elevated uninstaller's copy of itself goes into a new folder only administrators
# can write from NSIS 3.09 on (CVE-2023-37378), which docs/windows-installer.md relies
# on: an older makensis is refused. Debian 12's 3.08-3+deb12u1 carries that fix as a
# backport and passes. The plug-in folder of an elevated installer is restricted only
# from NSIS 3.11 on: an older one is named, not refused, as Debian 12 has no newer one.
nsis_version=$(makensis -VERSION 2>/dev/null | tr -d '\r')
nsis_version=${nsis_version#v}
nsis_base=${nsis_version%%-*}
if dpkg --compare-versions "$nsis_base" ge 3.09 2>/dev/null; then
    :
elif [[ $nsis_version == 3.08-* ]] && dpkg --compare-versions "$nsis_version" ge 3.08-3+deb12u1 2>/dev/null; then
    echo "build-windows-installer: makensis $nsis_version: Debian's 3.08 with the 3.09 fix for the uninstaller's folder"
else
    echo "build-windows-installer: makensis ${nsis_version:-of unknown version} is older than 3.09 (or Debian's 3.08-3+deb12u1);" \
        "its elevated uninstaller runs from a folder others can write" >&2
    exit 1
fi
if ! dpkg --compare-versions "$nsis_base" ge 3.11 2>/dev/null; then
    echo "build-windows-installer: makensis $nsis_version is older than 3.11: an elevated installer's plug-in folder is not restricted"
fi

[ -f "$app/QuorvixDriver.exe" ] || { echo "build-windows-installer: run scripts/build-windows.sh first" >&2; exit 1; }
source "$root/scripts/lib/sign.sh"
sign_init "$out/signing" || { echo "build-windows-installer: stopped; nothing was changed" >&2; exit 1; }
# The setup must not carry files signed with another certificate (a throwaway one in a
# release, or an older throwaway one).
signed_by=$(cat "$out/QuorvixMixer.signed-by" 2>/dev/null || true)
if [ "$signed_by" != "$QV_SIGN_KIND $QV_SIGN_FINGERPRINT" ]; then
    echo "build-windows-installer: $app was signed with another certificate (${signed_by:-none});" \
        "run scripts/build-windows.sh with this one" >&2
    exit 1
fi
icon=$out/QuorvixDriver.ico
[ -f "$icon" ] || { echo "build-windows-installer: $icon is missing; run scripts/build-windows.sh" >&2; exit 1; }
version=$(sed -n 's/^project([A-Za-z]* VERSION \([0-9][0-9.]*\).*/\1/p' "$root/CMakeLists.txt" | head -n 1)
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || { echo "build-windows-installer: no x.y.z version in CMakeLists.txt" >&2; exit 1; }

# The licence texts come from the packages that provided the shipped files.
gcc_copyright=/usr/share/doc/gcc-mingw-w64-base/copyright
mingw_copyright=/usr/share/doc/mingw-w64-x86-64-dev/copyright
qt_copyright=/usr/share/doc/libqt6core6/copyright
for f in /usr/share/common-licenses/LGPL-3 /usr/share/common-licenses/GPL-3 \
    /usr/share/common-licenses/LGPL-2.1 "$gcc_copyright" "$mingw_copyright" "$qt_copyright"; do
    [ -f "$f" ] || { echo "build-windows-installer: $f is missing" >&2; exit 1; }
done

# A licence's own paragraph in a Debian copyright file: "License: <name>" opening a
# paragraph (a blank line before it), up to the next blank line.
license_text() { # <file> <name>
    awk -v want="License: $2" 'p && /^[[:space:]]*$/ { exit }
        blank && $0 == want { p = 1 } p { print } { blank = ($0 ~ /^[[:space:]]*$/) }' "$1"
}

setup=$out/QuorvixMixer-$version-setup.exe
zipfile=$out/QuorvixMixer-$version.zip
# A failed run must not leave the last ones looking current.
rm -rf "$work" "$setup" "$zipfile"
mkdir -p "$stage"
cp -a "$app/." "$stage/"
lic=$stage/licenses
mkdir -p "$lic"
cp "$root/packaging/windows/THIRD-PARTY.txt" "$lic/THIRD-PARTY.txt"
cp /usr/share/common-licenses/LGPL-3 "$lic/LGPL-3.0.txt"
cp /usr/share/common-licenses/GPL-3 "$lic/GPL-3.0.txt"
cp /usr/share/common-licenses/LGPL-2.1 "$lic/LGPL-2.1.txt"
cp "$qt_copyright" "$lic/Qt-copyright.txt"
{
    echo "libgcc_s_seh-1.dll and libstdc++-6.dll: GCC $(dpkg-query -W -f '${Version}' gcc-mingw-w64-base 2>/dev/null) runtime libraries"
    echo "(Debian package gcc-mingw-w64-base), from its copyright file."
    echo
    awk '/^Files that have exception clauses/ { hit = 1 } hit && /^ - / { list = 1 }
        list && /^[[:space:]]*$/ { exit } hit' "$gcc_copyright"
    echo
    awk '/^GCC RUNTIME LIBRARY EXCEPTION/ { hit = 1 } hit { print } hit && /requirements of the license of GCC\./ { exit }' "$gcc_copyright"
    echo
    echo "The GNU General Public License version 3 is in GPL-3.0.txt."
} >"$lic/GCC-runtime.txt"
grep -q 'Grant of Additional Permission' "$lic/GCC-runtime.txt" || { echo "build-windows-installer: no GCC runtime exception text" >&2; exit 1; }
{
    echo "libwinpthread-1.dll: MinGW-w64 winpthreads $(dpkg-query -W -f '${Version}' mingw-w64-x86-64-dev 2>/dev/null)"
    echo "(Debian package mingw-w64-x86-64-dev), from its copyright file."
    echo
    awk '/^Files: mingw-w64-libraries\/winpthreads/ { hit = 1 }
        /^Files: / && $0 !~ /winpthreads/ { hit = 0 }
        /^Files: mingw-w64-libraries\/winpthreads\/tests_pthread/ { hit = 0 } hit' "$mingw_copyright"
    for name in expat BSD-3-clause public-domain; do
        license_text "$mingw_copyright" "$name"
        echo
    done
} >"$lic/winpthreads.txt"
for word in 'Permission is hereby granted' 'Lockless Inc' 'Regents of the University'; do
    grep -q "$word" "$lic/winpthreads.txt" || { echo "build-windows-installer: winpthreads licence incomplete ($word)" >&2; exit 1; }
done

# The welcome and finish pages' picture (164x314, what NSIS's wizard pages are laid out
# for): the program's artwork on the colour of its own background, as a 24-bit BMP.
wizard=$work/wizard.bmp
convert-im6.q16 -size 164x314 xc:'#2C313C' \( "$root/resources/icon/icon.png" -resize 140x140 \) \
    -gravity north -geometry +0+40 -composite -strip -type TrueColor "BMP3:$wizard" ||
    { echo "build-windows-installer: the wizard picture could not be made" >&2; exit 1; }

# The exact list of what is installed, so the uninstaller removes those files and
# folders and nothing a user put beside them.
files_nsh=$work/files.nsh
{
    echo "; Generated by scripts/build-windows-installer.sh from $stage"
    echo '!macro QV_INSTALL_FILES'
    (cd "$stage" && find . -type d ! -name . | sed 's|^\./||' | sort) | while read -r d; do
        echo "  CreateDirectory \"\$INSTDIR\\${d//\//\\}\""
    done
    (cd "$stage" && find . -type f | sed 's|^\./||' | sort) | while read -r f; do
        dir=$(dirname "$f")
        if [ "$dir" = . ]; then target='$INSTDIR'; else target="\$INSTDIR\\${dir//\//\\}"; fi
        echo "  SetOutPath \"$target\""
        echo "  File \"$stage/$f\""
    done
    echo '  SetOutPath "$INSTDIR"'
    echo '!macroend'
    echo '!macro QV_REMOVE_FILES'
    (cd "$stage" && find . -type f | sed 's|^\./||' | sort) | while read -r f; do
        echo "  Delete \"\$INSTDIR\\${f//\//\\}\""
    done
    (cd "$stage" && find . -type d ! -name . | sed 's|^\./||' | sort -r) | while read -r d; do
        echo "  RMDir \"\$INSTDIR\\${d//\//\\}\""
    done
    echo '!macroend'
} >"$files_nsh"

signed_dir=$work/signed
if ! makensis -V2 -INPUTCHARSET UTF8 -DVERSION="$version" -DSTAGE="$stage" -DFILES_NSH="$files_nsh" \
    -DOUTFILE="$setup" -DICON="$icon" -DWIZARD_BMP="$wizard" -DSIGN_COMMAND="bash \"$root/scripts/lib/sign.sh\" --keep \"$signed_dir\"" "$nsi"; then
    rm -f "$setup"
    echo "build-windows-installer: makensis failed" >&2
    exit 1
fi
# makensis signs the uninstaller as a temp file before it packs it: the one signed file
# that is not the setup.
uninstaller=$(find "$signed_dir" -type f ! -name "$(basename "$setup")")
if [ -z "$uninstaller" ] || [ "$(wc -l <<<"$uninstaller")" -ne 1 ]; then
    rm -f "$setup"
    echo "build-windows-installer: no signed uninstaller in $signed_dir" >&2
    exit 1
fi
mv "$uninstaller" "$work/Uninstall.exe"
rm -rf "$signed_dir"

# The zip carries the ready folder's files as they were signed.
(cd "$work" && zip -q -r -X "$zipfile" QuorvixMixer)
echo "build-windows-installer: $setup"
echo "build-windows-installer: $zipfile"
[ "$QV_SIGN_KIND" = release ] || echo "build-windows-installer: signed with a throwaway test certificate — not for release"
