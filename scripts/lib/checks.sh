# One "ok - " or "not ok - " line per check and a closing "N passed, N failed" line, for
# the test scripts that run outside CTest. Source it.
passed=0 failed=0
check() { # <description> <command...>
    local what=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
        echo "ok - $what"
    else
        failed=$((failed + 1))
        echo "not ok - $what"
    fi
}
# Prints the totals and exits: 0 only when something passed and nothing failed.
finish() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
    exit
}
