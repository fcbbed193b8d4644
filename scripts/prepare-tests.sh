#!/usr/bin/env bash
# Pays once, before the tests start, what only a machine's first start of a helper costs,
# so that no test's own bound is charged with it:
#   - the wine prefix that every wine test copies, made in <folder>/template (default
#     build/wine); the caller exports QUORVIX_WINE_TEMPLATE=<folder>/template;
#   - a first start of Xvfb with the tray host, which reads them and their fonts from disk.
# Each helper gets a bound that holds on a slow machine; one that does not come up fails
# with its own output, which is also kept in <folder>.
set -euo pipefail
cd "$(dirname "$0")/.."
folder=$(mkdir -p "${1:-build/wine}" && cd "${1:-build/wine}" && pwd)
bound=${QUORVIX_FIRST_START_BOUND:-300}

source scripts/lib/wine.sh
t0=$SECONDS
rm -rf "$folder/template" "$folder/template.log"
if ! wine_make_prefix "$folder/template" "$bound" template; then
    echo "prepare-tests: no wine prefix; bash scripts/install-deps.sh installs wine (package wine64)" >&2
    exit 1
fi
echo "prepare-tests: wine prefix made in $((SECONDS - t0)) s ($(du -sh "$folder/template" | cut -f1))"

source scripts/lib/xsession.sh
need_x_tools || exit 1
work=$(mktemp -d)
t0=$SECONDS
started=()
keep=$folder/first-x-start
cleanup() {
    for pid in "${started[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
helper_bound=$bound
start_x_session || { echo "prepare-tests: no X session with a tray host" >&2; exit 1; }
echo "prepare-tests: first X session with a tray host up in $((SECONDS - t0)) s"
