#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need on Debian 12 (run as root).
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-private-dev qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools libgl-dev
  libx11-dev xvfb xauth xdotool trayer x11-utils imagemagick fonts-noto-cjk desktop-file-utils
  g++-mingw-w64-x86-64 wine64
  osslsigncode openssl zip unzip python3 nsis
  clang clang-format libclang-rt-14-dev
  procps psmisc file dpkg-dev
  dbus-daemon
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
