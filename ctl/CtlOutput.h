#pragma once
// Where quorvix-ctl's words go. quorvix-ctl writes them to its standard streams. The
// windowless quorvix-ctlw (built with QUORVIX_WINDOWLESS) has no console and prints
// nothing; each of its refusals goes to the program's log file instead: through the
// running program, which writes that file, or, while it does not run (or cannot be
// trusted), written there by quorvix-ctlw itself in the program's own line format.
#include <string>
#include <vector>

class CtlOutput
{
public:
    CtlOutput(int argc, char** argv);

    // The command line's arguments after the program name, as UTF-8.
    const std::vector<std::string>& arguments() const { return args; }
    // Writes text to stdout at once; false when it could not be written (the reader left).
    bool out(const std::string& text);
    // Writes "quorvix-ctl: <message>" to stderr.
    void err(const std::string& message);
    // Reports a refusal with its exit code, and returns the code.
    int fail(int code, const std::string& message);

private:
    std::vector<std::string> args;
};
