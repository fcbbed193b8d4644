#!/usr/bin/env bash
# Installs what is missing, checks the formatting, builds everything and runs every
# test, then prints how long each stage took:
#   - the Windows build of the whole program and its installer, and the check of the
#     program file's resources and of every signature;
#   - one Debug build under AddressSanitizer and UndefinedBehaviorSanitizer, and the whole
#     CTest suite on it, the whole-program tours on Linux and under wine included;
#   - the fuzz targets over their committed corpus and then briefly (scripts/fuzz.sh
#     alone runs them for longer);
#   - the Windows backend compile check, the Windows pipe tests and the Windows driver
#     device under wine, and the installer's install, upgrade and uninstall under wine.
# What only a machine's first start costs (a wine prefix, a first X start) is paid once
# before the tests, by scripts/prepare-tests.sh. Every stage runs even when one before
# it failed, unless it needs what that one makes; the command fails if any stage failed.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
logs=$root/build/test-logs
mkdir -p "$logs"

names=() times=() results=()
failed=0
command_started=$SECONDS
record() { # <name> <seconds> <status>
    names+=("$1")
    times+=("$2")
    if [ "$3" -eq 0 ]; then results+=(ok); else results+=("FAILED ($3)"); failed=1; fi
}
# Runs one stage in the foreground.
stage() { # <name> <command...>
    local name=$1 started=$SECONDS status=0
    shift
    echo "=== $name"
    "$@" || status=$?
    record "$name" $((SECONDS - started)) "$status"
    echo "=== $name: $((SECONDS - started)) s, $([ "$status" -eq 0 ] && echo ok || echo "failed ($status)")"
    return "$status"
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
}
stop() { # <why>
    echo "test: $*; the stages after it need it" >&2
    failed=1
    table
    exit 1
}

stage "install" bash scripts/install-deps.sh || stop "installing failed"
stage "formatting" bash scripts/check-format.sh

windows_built=0
if stage "Windows build" bash scripts/build-windows.sh &&
    stage "Windows installer" bash scripts/build-windows-installer.sh; then
    windows_built=1
    stage "signed-build check" bash tests/winbuild/signed_build.sh
fi

# The prefix and the first X start cost little CPU, so they overlap the build.
export QUORVIX_WINE_TEMPLATE=$root/build/wine/template
prepare_started=$SECONDS
bash scripts/prepare-tests.sh build/wine >"$logs/prepare.log" 2>&1 &
prepare=$!
build_status=0
stage "Linux build, sanitizers" env BUILD_TYPE=Debug bash scripts/build.sh build/test \
    -DQUORVIX_SANITIZE=ON || build_status=$?
prepare_status=0
wait "$prepare" || prepare_status=$?
cat "$logs/prepare.log"
record "first starts: wine prefix, X (beside the build)" $((SECONDS - prepare_started)) "$prepare_status"
[ "$build_status" -eq 0 ] || stop "the Linux build failed"
[ "$prepare_status" -eq 0 ] || stop "a helper that the tests need did not start"

# Leaks inside system libraries only; each entry is justified in the file.
export LSAN_OPTIONS="suppressions=$root/tests/sanitizer/lsan.supp:print_suppressions=0"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
stage "CTest, under sanitizers" ctest --test-dir build/test --output-on-failure -j2 --timeout 900
unset LSAN_OPTIONS ASAN_OPTIONS UBSAN_OPTIONS

# The fuzzers keep one core busy; the wine tests mostly wait on wine, so they share the
# machine. Each one's output is shown whole once it ends.
side() { # <name> <log> <command...>: a stage in the background
    local name=$1 log=$2
    shift 2
    (
        started=$SECONDS
        status=0
        "$@" >"$log" 2>&1 || status=$?
        echo "$((SECONDS - started)) $status" >"$log.result"
    ) &
}
shown() { # <name> <log>
    local seconds status
    read -r seconds status <"$2.result" || { seconds=0 status=1; }
    echo "=== $1"
    cat "$2"
    echo "=== $1: $seconds s, $([ "$status" -eq 0 ] && echo ok || echo "failed ($status)")"
    record "$1" "$seconds" "$status"
}
rm -f "$logs"/*.result
side fuzz "$logs/fuzz.log" env FUZZ_SECONDS=${FUZZ_SECONDS:-8} bash scripts/fuzz.sh build/fuzz
# One after another, each timed: "<log> <seconds> <status> <name>" lines in wine.parts.
wine_part() { # <log name> <name> <command...>
    local id=$1 name=$2 started=$SECONDS status=0
    shift 2
    "$@" >"$logs/$id.log" 2>&1 || status=$?
    echo "$id $((SECONDS - started)) $status $name" >>"$logs/wine.parts"
    return $status
}
no_windows_build() { echo "no Windows build: the installer was not tested"; return 1; }
wine_tests() {
    local status=0
    rm -f "$logs/wine.parts"
    wine_part backend "Windows backend check" bash .ci/check-windows-build.sh || status=1
    wine_part pipes "wine: pipe tests" bash .ci/run-windows-pipe-tests.sh || status=1
    wine_part driver "wine: driver device" env LINUX_BUILD=build/test bash tests/windriver/run.sh || status=1
    if [ "$windows_built" -eq 1 ]; then
        wine_part installer "wine: installer" bash tests/wininstall/run.sh || status=1
    else
        wine_part installer "wine: installer" no_windows_build || status=1
    fi
    return $status
}
side "wine" "$logs/wine.log" wine_tests
wait
shown "fuzzing: corpus, then ${FUZZ_SECONDS:-8} s a target" "$logs/fuzz.log"
while read -r log seconds status name; do
    echo "=== $name (beside the fuzzing)"
    cat "$logs/$log.log"
    echo "=== $name: $seconds s, $([ "$status" -eq 0 ] && echo ok || echo "failed ($status)")"
    record "$name (beside the fuzzing)" "$seconds" "$status"
done <"$logs/wine.parts"
read -r _ wine_status <"$logs/wine.log.result" || wine_status=1
[ "$wine_status" -eq 0 ] || { cat "$logs/wine.log"; failed=1; }
table
echo "(each stage's output is also in $logs)"
exit $failed
