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
