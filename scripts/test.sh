#!/usr/bin/env bash
# Installs what is missing, checks the formatting, builds everything and runs every
# test, then prints how long each stage took:
#   - the Windows build of the whole program and its installer, and the check of the
#     program file's resources and of every signature;
#   - one Debug build under AddressSanitizer and UndefinedBehaviorSanitizer
#     (scripts/sanitize.sh), and the whole CTest suite on it, the whole-program tours on
#     Linux and under wine included;
#   - the fuzz targets over their committed corpus and then briefly (scripts/fuzz.sh
#     alone runs them for longer);
#   - the Windows pipe tests and the Windows driver device under wine, and the
#     installer's install, upgrade and uninstall under wine.
# What only a machine's first start costs (a wine prefix, a first X start) is paid once
# before the tests, by scripts/prepare-tests.sh. The wine tests mostly wait on wine, so
# they run beside the stages that keep both cores busy (marked "beside" in the table).
# Every stage runs even when one before it failed, unless it needs what that one makes;
# the command fails if any stage failed.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
logs=$root/build/test-logs
rm -rf "$logs"
mkdir -p "$logs"

names=() times=() results=()
failed=0
command_started=$SECONDS
record() { # <name> <seconds> <status>
    names+=("$1")
    times+=("$2")
    if [ "$3" -eq 0 ]; then results+=(ok); else results+=("FAILED ($3)"); failed=1; fi
}
said() { # <name> <seconds> <status>
    echo "=== $1: $2 s, $([ "$3" -eq 0 ] && echo ok || echo "failed ($3)")"
}
# A stage in the foreground.
stage() { # <name> <command...>
    local name=$1 started=$SECONDS status=0
    shift
    echo "=== $name"
    "$@" || status=$?
    record "$name" $((SECONDS - started)) "$status"
    said "$name" $((SECONDS - started)) "$status"
    return "$status"
}
# A chain of stages in the background, one after another, each into its own log;
# `join` waits for the chain and shows each stage's output whole.
declare -A chains
beside() { # <chain> <name> <command...>: appends a stage to a chain's list
    local chain=$1
    shift
    printf '%q ' "$@" >>"$logs/$chain.list"
    echo >>"$logs/$chain.list"
}
run_chain() { # <chain> <what it runs beside>
    local chain=$1 where=$2 i=0
    (
        while IFS= read -r line; do
            i=$((i + 1))
            eval "set -- $line"
            local name=$1 started=$SECONDS status=0
            shift
            "$@" >"$logs/$chain.$i.log" 2>&1 || status=$?
            printf '%s\t%s\t%s\t%s\n' "$i" $((SECONDS - started)) "$status" "$name ($where)" \
                >>"$logs/$chain.done"
        done <"$logs/$chain.list"
    ) &
    chains[$chain]=$!
}
join() { # <chain>
    local i seconds status name
    wait "${chains[$1]}"
    while IFS=$'\t' read -r i seconds status name; do
        echo "=== $name"
        cat "$logs/$1.$i.log"
        said "$name" "$seconds" "$status"
        record "$name" "$seconds" "$status"
    done <"$logs/$1.done"
    if [ "$(wc -l <"$logs/$1.done")" -ne "$(wc -l <"$logs/$1.list")" ]; then
        record "the rest of the chain $1 (it stopped)" 0 1
    fi
}
table() {
    local i
    echo
    echo "| stage | time | result |"
    echo "|---|---|---|"
    for i in "${!names[@]}"; do
        printf '| %s | %d s | %s |\n' "${names[$i]}" "${times[$i]}" "${results[$i]}"
    done
    printf '| **in all** | **%d s** | %s |\n' $((SECONDS - command_started)) \
        "$([ "$failed" -eq 0 ] && echo passed || echo FAILED)"
    echo "(each stage's output is also in $logs)"
}
stop() { # <why>
    echo "test: $*; the stages after it need it" >&2
    wait
    failed=1
    table
    exit 1
}
not_built() { echo "the Windows build failed, so this was not tested"; return 1; }

stage "install" bash scripts/install-deps.sh || stop "installing failed"
stage "formatting" bash scripts/check-format.sh

windows_built=0
stage "Windows build" bash scripts/build-windows.sh &&
    stage "Windows installer" bash scripts/build-windows-installer.sh && windows_built=1

# Beside the Linux build, which keeps both cores busy: the first starts and the light
# wine test. (The Windows build has compiled every Windows backend with warnings as
# errors, so .ci/check-windows-build.sh, for machines without the kit, is not run again.)
export QUORVIX_WINE_TEMPLATE=$root/build/wine/template
beside wine "first starts: wine prefix, X" bash scripts/prepare-tests.sh build/wine
beside wine "wine: pipe tests" bash .ci/run-windows-pipe-tests.sh
run_chain wine "beside the Linux build"

[ "$windows_built" -eq 0 ] || stage "signed-build check" bash tests/winbuild/signed_build.sh
stage "Linux build, sanitizers" bash scripts/sanitize.sh build/test build
linux_built=$?
join wine
[ "$linux_built" -eq 0 ] || stop "the Linux build failed"
grep -q $'\t0\tfirst starts' "$logs/wine.done" || stop "a helper that the tests need did not start"

# The installer test waits on wine most of the time, while the tests leave CPU to spare;
# it goes on beside the fuzzing.
if [ "$windows_built" -eq 1 ]; then
    beside installer "wine: installer" bash tests/wininstall/run.sh
else
    beside installer "wine: installer" not_built
fi
run_chain installer "beside CTest"

stage "CTest, under sanitizers" bash scripts/sanitize.sh build/test test

# The fuzzers keep one core busy; the driver device test mostly waits on wine.
beside driver "wine: driver device" env LINUX_BUILD=build/test bash tests/windriver/run.sh
run_chain driver "beside the fuzzing"
stage "fuzzing: the corpus, then ${FUZZ_SECONDS:-8} s a target" \
    env FUZZ_SECONDS="${FUZZ_SECONDS:-8}" bash scripts/fuzz.sh build/fuzz
join driver
join installer
table
exit $failed
