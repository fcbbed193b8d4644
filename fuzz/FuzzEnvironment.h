#pragma once
// Set-up shared by the fuzz targets: private runtime and data folders (so endpoint
// sockets and ini files never touch the user's), silenced logs and, for targets that
// build widgets, one offscreen QApplication for the whole run.
#include <QString>

#include <cstddef>
#include <cstdint>

namespace fuzzenv {

// Points XDG_RUNTIME_DIR, XDG_DATA_HOME and HOME at a fresh temporary folder and drops
// the program's debug log and standard-stream chatter. Call once, first.
void prepare();
// Creates the offscreen QApplication (once).
void startApplication();
// Aborts the run with a message: a broken invariant is a finding.
[[noreturn]] void fail(const char* what);
inline void check(bool condition, const char* what)
{
    if (!condition)
        fail(what);
}

} // namespace fuzzenv
