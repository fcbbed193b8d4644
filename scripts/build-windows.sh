#!/usr/bin/env bash
# Cross-builds the Windows program on Debian 12 (run as root) and lays it out ready to run:
#   build/windows/QuorvixMixer/  QuorvixDriver.exe, its two .qm files, the Qt DLLs and
#                                plugins it loads and the MinGW runtime, nothing else
#   build/windows/tools/         quorvix-asiopeer.exe (static), which plays the ASIO driver,
#                                and quorvix-resume-broadcast.exe, which says the computer resumed
#   build/windows/QuorvixDriver.ico  the program's multi-size icon, for the installer
# The program and every DLL in the ready folder are signed (scripts/lib/sign.sh: the
# release certificate from QUORVIX_SIGN_PFX and QUORVIX_SIGN_PASSWORD, else a throwaway
# one in build/windows/signing/, which the log says and QUORVIX_RELEASE=1 refuses).
# The Qt kit comes from scripts/windows-qt.sh (which also installs the compilers and host
# tools); unless QUORVIX_WIN_QT_ARCHIVE says otherwise it is unpacked from the prebuilt
# archive in ../shared/windows-qt/ when that is there, else built from source.
# Any warning fails the build.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
out=build/windows
started=$SECONDS

say() { echo "build-windows: $*" >&2; }
die() { say "$*"; exit 1; }

# A certificate that cannot be used stops the build before it changes anything.
source scripts/lib/sign.sh
sign_init "$repo/$out/signing" || die "stopped before building; nothing was changed"

default_archive=$repo/../shared/windows-qt/qt6.4.2-mingw-w64-x86_64.tar.xz
if [[ -z ${QUORVIX_WIN_QT_ARCHIVE+set} && -f $default_archive ]]; then
  export QUORVIX_WIN_QT_ARCHIVE=$default_archive
fi
kit=$(bash scripts/windows-qt.sh)
toolchain=$repo/cmake/mingw-w64-x86_64.cmake
dist=$out/QuorvixMixer
# A failed build must not leave the last good folders looking current.
rm -rf "$dist" "$out/tools" "$out/QuorvixDriver.ico" "$out/QuorvixMixer.signed-by"
mkdir -p "$out"

# The icon is made from the artwork with ImageMagick at build time.
if ! command -v convert-im6.q16 >/dev/null 2>&1; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends imagemagick >/dev/null
fi

# Builds one CMake project; compiler warnings are errors, and the log is searched for
# the rest (the linker's).
build() {
  local name=$1 dir=$2
  shift 2
  "$@" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
    >"$out/$name-configure.log" 2>&1 || { cat "$out/$name-configure.log" >&2; die "configuring $name failed"; }
  if ! cmake --build "$dir" -j2 >"$out/$name-build.log" 2>&1; then
    cat "$out/$name-build.log" >&2
    die "building $name failed"
  fi
  if grep -qi 'warning:' "$out/$name-build.log"; then
    grep -i 'warning:' "$out/$name-build.log" >&2
    die "building $name gave warnings"
  fi
}

# A build folder made with a kit elsewhere would keep using that kit.
if [[ -f $out/cmake/CMakeCache.txt ]] && ! grep -qF "Qt6_DIR:PATH=$kit/" "$out/cmake/CMakeCache.txt"; then
  rm -rf "$out/cmake"
fi
say "building the program with the kit in $kit"
build program "$out/cmake" "$kit/bin/qt-cmake" -S . -DQT_CHAINLOAD_TOOLCHAIN_FILE="$toolchain" \
  -DQT_HOST_PATH=/usr
say "building the Windows ASIO peer"
build asiopeer "$out/cmake-asiopeer" cmake -S tools/asiopeer -DCMAKE_TOOLCHAIN_FILE="$toolchain"

mkdir -p "$out/tools"
x86_64-w64-mingw32-strip -o "$out/tools/quorvix-asiopeer.exe" "$out/cmake-asiopeer/quorvix-asiopeer.exe"
say "building the resume broadcast"
x86_64-w64-mingw32-gcc -std=c99 -O1 -s -Wall -Wextra -Werror -o "$out/tools/quorvix-resume-broadcast.exe" \
  tools/resume-broadcast/main.c || die "building the resume broadcast failed"

mkdir -p "$dist/platforms" "$dist/styles" "$dist/imageformats"
cp "$out/cmake/bin/QuorvixDriver.exe" "$out/cmake/bin/quorvix-ctl.exe" "$out/cmake/bin/quorvix-ctlw.exe" \
  "$out/cmake/bin/QuorvixDriver_en_US.qm" \
  "$out/cmake/bin/QuorvixDriver_zh_CN.qm" "$dist/"
# The Stream Deck plugin, which the same CMake run builds with Node 20 and npm.
cp "$out/cmake/streamdeck/QuorvixMixer.streamDeckPlugin" "$dist/" ||
  die "the Stream Deck plugin was not built (Node 20 and npm: scripts/install-deps.sh)"
cp "$kit/plugins/platforms/qwindows.dll" "$dist/platforms/"
cp "$kit/plugins/styles/qwindowsvistastyle.dll" "$dist/styles/"
cp "$kit/plugins/imageformats/qico.dll" "$dist/imageformats/"

# Every DLL the program and its plugins import, and theirs in turn, that the kit or the
# MinGW runtime provides; the rest (KERNEL32.dll, USER32.dll, ...) is Windows itself.
imports() { x86_64-w64-mingw32-objdump -p "$1" | awk '/DLL Name:/ { print $3 }'; }
provider() {
  if [[ -f $kit/bin/$1 ]]; then
    echo "$kit/bin/$1"
  else
    local found
    found=$(x86_64-w64-mingw32-g++-posix -print-file-name="$1")
    [[ $found == */* ]] && echo "$found"
  fi
  return 0
}
queue=("$dist/QuorvixDriver.exe" "$dist"/platforms/*.dll "$dist"/styles/*.dll "$dist"/imageformats/*.dll)
while ((${#queue[@]})); do
  file=${queue[0]}
  queue=("${queue[@]:1}")
  for dll in $(imports "$file"); do
    [[ -f $dist/$dll ]] && continue
    from=$(provider "$dll")
    [[ -n $from ]] || continue
    cp "$from" "$dist/$dll"
    queue+=("$dist/$dll")
  done
done

# Debug sections only make the runtime DLLs big (libstdc++-6.dll: 23 MB).
find "$dist" -name '*.dll' -exec x86_64-w64-mingw32-strip --strip-unneeded {} +
x86_64-w64-mingw32-strip --strip-unneeded "$dist/QuorvixDriver.exe" "$dist/quorvix-ctl.exe" "$dist/quorvix-ctlw.exe"

expected="QuorvixDriver.exe quorvix-ctl.exe quorvix-ctlw.exe QuorvixDriver_en_US.qm QuorvixDriver_zh_CN.qm Qt6Core.dll Qt6Gui.dll
Qt6Widgets.dll imageformats/qico.dll libgcc_s_seh-1.dll libstdc++-6.dll libwinpthread-1.dll
platforms/qwindows.dll styles/qwindowsvistastyle.dll QuorvixMixer.streamDeckPlugin"
actual=$(cd "$dist" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
if [[ $actual != "$(tr ' ' '\n' <<<"$expected" | sed '/^$/d' | LC_ALL=C sort)" ]]; then
  die "the folder's contents changed; check and update the expected list: ${actual//$'\n'/ }"
fi

mapfile -t binaries < <(find "$dist" -name '*.exe' -o -name '*.dll' | LC_ALL=C sort)
if ! sign_files "${binaries[@]}"; then
  rm -rf "$dist"
  die "signing failed; the ready folder was removed"
fi
# Which certificate signed the folder, so the installer never mixes two.
echo "$QV_SIGN_KIND $QV_SIGN_FINGERPRINT" >"$out/QuorvixMixer.signed-by"
cp "$out/cmake/resources/QuorvixDriver.ico" "$out/QuorvixDriver.ico"

say "done in $((SECONDS - started)) s: $dist ($(du -sh "$dist" | cut -f1)), $out/tools"
[[ $QV_SIGN_KIND == release ]] || say "signed with a throwaway test certificate — not for release"
