#!/usr/bin/env bash
# The Windows driver device backend under Wine, through the bus driver stand-in and
# the relay, against the device simulator: builds the driver, the Qt-free test program
# and (in LINUX_BUILD, default build/windriver/linux) the simulator and the relay, then
# plays the phases of windriver_test.cpp in a private runtime folder and Wine prefix.
# Prints "N passed, N failed" last and exits non-zero on any failure.
set -Eeuo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
linux_build=${LINUX_BUILD:-$root/build/windriver/linux}
cxx=${CXX_WIN:-x86_64-w64-mingw32-g++-posix}

if ! command -v "$cxx" >/dev/null 2>&1; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq g++-mingw-w64-x86-64 >/dev/null
fi
command -v cmake >/dev/null 2>&1 || bash "$root/scripts/install-deps.sh"
source "$root/scripts/lib/wine.sh"

# Short, so the socket paths stay well within the Unix limit.
tmp=$(mktemp -d /tmp/qwd.XXXXXX)
export XDG_RUNTIME_DIR=$tmp/run WINEPREFIX=$tmp/wine
mkdir -p "$XDG_RUNTIME_DIR"
sim_pid= relay_pid= busy_pid=
cleanup() {
    for pid in $busy_pid $sim_pid $relay_pid; do kill "$pid" 2>/dev/null || true; done
    "$wineserver" -k >/dev/null 2>&1 || true
    rm -rf "$tmp"
}
trap cleanup EXIT
passed=0 failed=0
# A step outside the test program that fails still ends with the closing line.
trap 'echo "setup failed at line $LINENO"; echo "$passed passed, $((failed + 1)) failed"' ERR

if [ ! -f "$linux_build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$linux_build" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
fi
cmake --build "$linux_build" -j2 --target quorvix-devsim quorvix-winrelay >/dev/null
devsim=$(find "$linux_build" -name quorvix-devsim -type f -perm -u+x | head -n1)
relay=$(find "$linux_build" -name quorvix-winrelay -type f -perm -u+x | head -n1)

exe=$root/build/windriver/windriver_test.exe
mkdir -p "$root/build/windriver"
"$cxx" -std=c++20 -Wall -Wextra -Werror -O1 -static -I"$root" \
    "$root/tests/windriver/windriver_test.cpp" "$root/platform/DriverDevice_win.cpp" \
    "$root/platform/PlatformError_win.cpp" -lws2_32 -o "$exe"

# Waits (bounded) until the file exists, or until it is gone with "gone".
# Bounded for a loaded machine's first start; a helper that never comes up has its
# own output shown.
wait_file() {
    for _ in $(seq 600); do
        if [ "${2:-}" = gone ]; then [ ! -e "$1" ] && return 0; else [ -e "$1" ] && return 0; fi
        sleep 0.05
    done
    echo "timed out waiting 30 s for $1; the helpers said:" >&2
    tail -n 20 "$tmp"/relay.log "$tmp"/devsim.log >&2 2>/dev/null
    return 1
}
wait_exit() {
    for _ in $(seq 100); do kill -0 "$1" 2>/dev/null || return 0; sleep 0.05; done
    kill -9 "$1" 2>/dev/null || true
}

start_relay() {
    rm -f "$tmp/port"
    "$relay" --port "${1:-0}" --port-file "$tmp/port" >>"$tmp/relay.log" 2>&1 &
    relay_pid=$!
    wait_file "$tmp/port"
    port=$(cat "$tmp/port")
}
start_sim() {
    "$devsim" --bus 3 --quiet --journal "$tmp/journal" "$@" >>"$tmp/devsim.log" 2>&1 &
    sim_pid=$!
    wait_file "$XDG_RUNTIME_DIR/quorvix/devsim-3.ctl"
}

phase() {
    local out
    out=$(timeout 90 "$wine" "$exe" "$port" "Z:${tmp//\//\\}\\journal" "$1" </dev/null 2>&1) || true
    printf '%s\n' "$out"
    local line
    line=$(printf '%s\n' "$out" | grep -E "^$1: [0-9]+ passed, [0-9]+ failed" | tail -n1 || true)
    if [ -z "$line" ]; then
        echo "$1: no result (the test program did not finish)"
        failed=$((failed + 1))
        return
    fi
    local p f
    p=$(printf '%s' "$line" | sed -E 's/.*: ([0-9]+) passed.*/\1/')
    f=$(printf '%s' "$line" | sed -E 's/.* ([0-9]+) failed.*/\1/')
    passed=$((passed + p))
    failed=$((failed + f))
}

start_relay
bash "$root/scripts/wine-driver.sh" --prefix "$WINEPREFIX" --port "$port" start >"$tmp/driver.log" 2>&1 ||
    { cat "$tmp/driver.log"; false; }

start_sim --unplugged
phase main # ends with the simulator quitting mid-request
wait_exit "$sim_pid"

start_sim # the same relay serves a new simulator
phase present

kill "$relay_pid"
wait_exit "$relay_pid"
phase absent

start_relay "$port" # the driver finds the relay again
phase present

# A listener whose queue is full: the driver side does not accept.
perl -MSocket -MErrno -e '
    my $path = shift; unlink $path;
    my $l;
    socket($l, PF_UNIX, SOCK_STREAM, 0) && bind($l, sockaddr_un($path)) && listen($l, 0)
        or die "busy listener: $!";
    my @held;
    for (1 .. 16) {
        socket(my $c, PF_UNIX, SOCK_STREAM, 0) or die;
        fcntl($c, 4, 2048); # F_SETFL O_NONBLOCK
        last if !connect($c, sockaddr_un($path)) && $!{EAGAIN};
        push @held, $c;
    }
    sleep 120;' "$XDG_RUNTIME_DIR/quorvix/QuorvixAudioBus9" &
busy_pid=$!
wait_file "$XDG_RUNTIME_DIR/quorvix/QuorvixAudioBus9"
phase busy

if [ "$failed" -ne 0 ]; then
    echo "--- relay log"
    tail -n 40 "$tmp/relay.log" || true
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
