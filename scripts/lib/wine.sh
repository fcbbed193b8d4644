# Wine for running the Windows programs: installs Debian's wine64 when it is missing,
# sets `wine` and `wineserver`, and keeps wine's own messages, its Mono and Gecko prompts
# and its menu builder (which mirrors a prefix's shortcuts into this machine's own menus)
# out of the way. Source it (POSIX sh); the caller sets WINEPREFIX.
if [ ! -x /usr/lib/wine/wine64 ] && ! command -v wine64 >/dev/null 2>&1; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq wine64 >/dev/null
fi
if [ -x /usr/lib/wine/wine64 ]; then
    wine=/usr/lib/wine/wine64
    wineserver=/usr/lib/wine/wineserver
else
    wine=$(command -v wine64)
    wineserver=$(command -v wineserver)
fi
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

# Makes a new prefix in <dir>, which must not exist yet. A run of the test command makes
# one prefix first (QUORVIX_WINE_TEMPLATE, see scripts/prepare-tests.sh) and each test
# copies it: making one costs far more than copying it, most of all on a machine's first
# start of wine. Without a template the prefix is made here. Both are bounded; a failure
# prints what wine said and returns 1.
# The copy shares the template's programs and libraries (hard links, 650 MB not copied
# for each test): replace such a file (cp --remove-destination), never write into it.
# A template changed that way is refused, so the fault shows where it was made.
wine_new_prefix() { # <dir>
    local t=${QUORVIX_WINE_TEMPLATE:-} changed
    if [ -z "$t" ] || [ ! -f "$t/.quorvix-template" ]; then
        wine_make_prefix "$1" "${QUORVIX_WINE_BOUND:-120}"
        return
    fi
    if [ -e "$1" ] && ! rmdir "$1" 2>/dev/null; then
        echo "wine: $1 is in the way of a new prefix" >&2
        return 1
    fi
    changed=$(find "$t" -type f -newer "$t/.quorvix-template" | head -n 5)
    if [ -n "$changed" ]; then
        echo "wine: a test wrote into the shared prefix files of $t (replace them instead):" $changed >&2
        return 1
    fi
    mkdir -p "$(dirname "$1")" && cp -al "$t" "$1" && rm -f "$1/.quorvix-template" &&
        find "$1" -type f ! \( -iname '*.dll' -o -iname '*.exe' -o -iname '*.sys' -o -iname '*.drv' \
            -o -iname '*.ocx' -o -iname '*.cpl' -o -iname '*.tlb' -o -iname '*.acm' -o -iname '*.ax' \) \
            -exec sh -c 'for f; do cp -p "$f" "$f.qv" && mv -f "$f.qv" "$f" || exit 1; done' sh {} + && return 0
    echo "wine: could not copy the prefix $t to $1" >&2
    return 1
}

# Makes a prefix with wineboot, in a session of its own that is left to end whole:
# services that its first start leaves behind would answer for a database they do not
# hold. The template of a test run is marked as such.
wine_make_prefix() { # <dir> <seconds> [template]
    mkdir -p "$(dirname "$1")"
    if WINEDEBUG=fixme-all WINEPREFIX=$1 timeout "$2" "$wine" wineboot --init >"$1.log" 2>&1 </dev/null &&
        WINEPREFIX=$1 timeout "$2" "$wineserver" -w >>"$1.log" 2>&1 &&
        [ -f "$1/system.reg" ] && [ -d "$1/drive_c/windows/system32" ]; then
        rm -f "$1.log"
        [ "${3:-}" != template ] || touch "$1/.quorvix-template"
        return 0
    fi
    echo "wine: making the prefix $1 failed or took over $2 s; wine said:" >&2
    tail -n 40 "$1.log" >&2
    WINEPREFIX=$1 "$wineserver" -k >/dev/null 2>&1
    return 1
}
