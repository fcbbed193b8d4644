#!/usr/bin/env bash
# A whole session as a person plays it, on a real X server with a tray host, against the
# device simulator and the ASIO peer. Every step is checked against the simulator's
# request journal, the program's log and the ini files, and leaves a screenshot; the
# steps are in tour_steps.sh, shared with the Windows tour.
#
# Usage: tour.sh <bin folder> <xclose helper> <screenshot folder>
# Exit: 0 passed, 1 failed (also when a needed X tool is not installed).
set -u
bin=${1:?bin folder}
shots=${3:?screenshot folder}
here=$(cd "$(dirname "$0")" && pwd)

source "$here/../../scripts/lib/xsession.sh"
need_x_tools || exit 1

work=$(mktemp -d)
mkdir -p "$work/runtime" "$work/home" "$work/data" "$work/config" "$work/tmp"
chmod 700 "$work/runtime"
export XDG_RUNTIME_DIR=$work/runtime HOME=$work/home XDG_DATA_HOME=$work/data
export XDG_CONFIG_HOME=$work/config TMPDIR=$work/tmp QT_FORCE_STDERR_LOGGING=1
export LANG=C.UTF-8
started=()
cleanup() {
    for pid in "${started[@]}"; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

log=$work/program.log
endpoints=$XDG_RUNTIME_DIR/quorvix
ini_root=$XDG_DATA_HOME
notice='notice 5 bytes: 01 00 00 00 31'
source "$here/tour_steps.sh"

start_program() {
    "$bin/QuorvixDriver" >"$work/program.out" 2>"$log" &
    program=$!
}
second_copy() { "$bin/QuorvixDriver" >/dev/null 2>"$work/second.log"; }
asio_peer() { "$bin/quorvix-asiopeer" "$@"; }
before_asio_request() { :; }
after_asio_request() { :; }
after_quit() {
    [ ! -e "$endpoints/QuorvixASIOToPannel" ] || fail "the inbound pipe's socket file is left behind"
}

keep=$shots/helpers
start_x_session || fail "no X session with a tray host"
"$bin/quorvix-asiopeer" serve --log "$work/notices" >"$work/asiopeer.out" 2>&1 &
started+=($!)
run_tour
