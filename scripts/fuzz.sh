#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ with clang into build/fuzz (or $1) and runs each
# one over its committed seed corpus first, then fuzzes it for a bounded time. Fails when
# a target crashes, leaks or breaks one of its checks; the input that did it is kept in
# build/fuzz/findings/<target>/. FUZZ_SECONDS (default 300, the long run; the test
# command gives 8) sets the fuzzing time per target, FUZZ_TARGETS (space-separated)
# picks targets.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
dir=${1:-build/fuzz}
seconds=${FUZZ_SECONDS:-300}
targets=${FUZZ_TARGETS:-"fuzz_pipe_message fuzz_driver_reply fuzz_firmware_title fuzz_panel_ini fuzz_settings_ini"}

start=$(date +%s)
cmake -S fuzz -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ >/dev/null
# shellcheck disable=SC2086
cmake --build "$dir" -j"$(nproc)" --target $targets
built=$(date +%s)

export LSAN_OPTIONS="suppressions=$root/tests/sanitizer/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export QT_QPA_PLATFORM=offscreen
status=0
for target in $targets; do
    seeds="$root/fuzz/corpus/${target#fuzz_}"
    work="$dir/corpus/$target"
    findings="$dir/findings/$target"
    mkdir -p "$work" "$findings"
    echo "== $target: the corpus, then $seconds s"
    # Every seed runs before the fuzzing starts, however short the time given.
    if ! "$dir/$target" "$work" "$seeds" -max_total_time="$seconds" -max_len=4096 \
        -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 \
        -artifact_prefix="$findings/" >"$dir/$target.log" 2>&1; then
        echo "!! $target failed; the input is in $findings/"
        tail -n 60 "$dir/$target.log"
        status=1
    else
        grep -E '^#[0-9]+[[:space:]]+INITED|^stat::number_of_executed_units|^stat::new_units_added' "$dir/$target.log" || true
    fi
done
finished=$(date +%s)
echo "fuzz build: $((built - start)) s, fuzz run: $((finished - built)) s"
exit $status
