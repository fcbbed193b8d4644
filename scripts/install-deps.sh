#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need on Debian 12 (run as root):
# Debian's packages below, and Node 20 or newer with npm for the Stream Deck plugin
# (whose npm packages streamdeck/package-lock.json pins; the build installs them).
# With DOCS=1 also what remakes the documentation's pictures (chromium).
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
[ "${DOCS:-0}" != 1 ] || packages+=(chromium)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Stream Deck runs plugins on Node 20, and Debian 12's nodejs is 18: where the machine has
# no Node 20 or newer, the npm registry's "node" package puts it into /usr/local.
node_major() { node --version 2>/dev/null | sed -n 's/^v\([0-9]*\)\..*/\1/p'; }
if ! command -v npm >/dev/null || [ "$(node_major)" -lt 20 ] 2>/dev/null || [ -z "$(node_major)" ]; then
  if ! command -v npm >/dev/null; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends nodejs npm
  fi
  if [ "$(node_major)" -lt 20 ]; then
    npm install --global --no-audit --no-fund --loglevel=error node@20
    hash -r
  fi
  [ "$(node_major)" -ge 20 ] || { echo "install-deps: Node 20 could not be installed" >&2; exit 1; }
fi
