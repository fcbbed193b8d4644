#!/usr/bin/env bash
# Fails when a tracked C++ source differs from what clang-format makes of it.
set -euo pipefail
cd "$(dirname "$0")/.."
status=0
while IFS= read -r f; do
    clang-format --dry-run -Werror "$f" 2>/dev/null || { echo "not formatted: $f"; status=1; }
done < <(git ls-files '*.cpp' '*.h')
[ "$status" -eq 0 ] && echo "formatting: ok"
exit "$status"
