#pragma once
// quorvix-ctl's command line: which verb, with which arguments, and the help text.
// Every verb is a row of one table; a verb that the program serves becomes one
// request line, a local one (--help, --version) is answered here.
#include <string>
#include <vector>

struct CtlCommand
{
    enum class Kind
    {
        Request, // send `fields` to the program
        Report,  // write the support report to `fields[0]`, replacing it when `force`
        Help,
        Version,
        Invalid // `error` says why; exit code 2
    };
    Kind kind = Kind::Invalid;
    std::vector<std::string> fields;
    bool force = false;
    std::string error;
};

// Reads the arguments after the program name.
CtlCommand parseCtlCommand(const std::vector<std::string>& arguments);

// The text of --help.
std::string ctlHelp();
