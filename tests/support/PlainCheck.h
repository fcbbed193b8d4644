#pragma once
// Checks for the Qt-free test programs that run under Windows or wine: a failed check
// prints its line and the test goes on, so one run reports every failure.
#include <cstdio>

namespace plaincheck {

inline int failures = 0;
inline int checks = 0;

inline void check(bool condition, const char* what, int line)
{
    ++checks;
    if (!condition) {
        ++failures;
        std::printf("FAIL line %d: %s\n", line, what);
    }
}

// "N passed, N failed", the closing line test runners read.
inline void printTotals(const char* prefix = "")
{
    std::printf("%s%d passed, %d failed\n", prefix, checks - failures, failures);
}

} // namespace plaincheck

#define CHECK(condition) plaincheck::check((condition), #condition, __LINE__)
