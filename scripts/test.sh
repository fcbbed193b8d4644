#!/usr/bin/env bash
# Installs what is missing, checks the formatting, builds everything and runs every
# test: the Windows build of the whole program and its installer first, with the check
# of the program file's resources and of every signature (the tour under wine is part of
# the CTest suite), then the CTest suite, the same suite under
# AddressSanitizer and UndefinedBehaviorSanitizer, the fuzz targets for a bounded time,
# the Windows backend
# compile check, the Windows pipe tests under wine, the Windows driver device under wine
# through the bus driver stand-in, and the installer's install, upgrade and uninstall
# under wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/check-format.sh

bash scripts/build-windows.sh
bash scripts/build-windows-installer.sh
bash tests/winbuild/signed_build.sh
BUILD_TYPE=Debug bash scripts/build.sh build/test
ctest --test-dir build/test --output-on-failure -j2 --timeout 600

bash scripts/sanitize.sh build/asan
bash scripts/fuzz.sh build/fuzz

bash .ci/check-windows-build.sh
bash .ci/run-windows-pipe-tests.sh
LINUX_BUILD=build/test bash tests/windriver/run.sh
bash tests/wininstall/run.sh
