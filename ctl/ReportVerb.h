#pragma once
// quorvix-ctl's `report` verb: writes the support report from this process, with the
// program's status when a trusted program answers, and without it otherwise.
#include <string>

// zipPath as UTF-8. Returns quorvix-ctl's exit code: 0 written, 2 refused (the file
// exists and force is off, or the path names no file in an existing folder), 6 the
// report could not be written. `said` gets what to tell on success, `error` why it
// failed (or, on success, what the report had to leave out).
int runReportVerb(const std::string& zipPath, bool force, std::string& said, std::string& error);
