#include "ctl/CtlCommand.h"

#include <algorithm>
#include <cstddef>

namespace {

struct Verb
{
    const char* name;
    const char* usage; // the arguments as the help shows them
    const char* what;
    std::size_t minArgs;
    std::size_t maxArgs;
};

// Help order. The exact forms of each verb's arguments are checked by the program,
// which knows the connected model's controls.
const Verb kVerbs[] = {
    {"status", "[--json]", "model, firmware, connected, every control with its value", 0, 1},
    {"list", "[--json]", "one line per control: ini key, alias, kind, range", 0, 1},
    {"get", "CONTROL", "prints the bare value: on/off, or the level", 1, 1},
    {"set", "CONTROL VALUE", "a switch: on|off; a level: a whole number within its range", 2, 2},
    {"step", "CONTROL N", "moves a level by N (signed), stopping at its range's ends", 2, 2},
    {"toggle", "CONTROL", "flips a switch", 1, 1},
    {"watch", "[--json]", "the state, then a line per change, until the program quits", 0, 1},
    {"show", "", "shows the main window, as a click on the tray icon does", 0, 0},
    {"setup", "save|load|delete NAME", "stores, applies or removes a named setup", 2, 2},
    {"setup", "list", "names the connected model's setups", 1, 1},
    {"report", "FILE.zip [--force]",
     "writes a support report, also while the program is not running", 1, 2},
};

// `report FILE.zip [--force]`, answered here: the report is written by this process.
CtlCommand parseReport(const std::vector<std::string>& arguments)
{
    CtlCommand command;
    std::vector<std::string> paths;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == "--force")
            command.force = true;
        else
            paths.push_back(arguments[i]);
    }
    if (paths.size() != 1 || paths.front().empty()) {
        command.error = "wrong arguments for report (see quorvix-ctl --help)";
        return command;
    }
    command.kind = CtlCommand::Kind::Report;
    command.fields = paths;
    return command;
}

bool hasControlCharacter(const std::string& text)
{
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7F)
            return true;
    return false;
}

} // namespace

std::string ctlHelp()
{
    std::string text = "Usage: quorvix-ctl VERB [ARGUMENTS]\n"
                       "Controls the running Quorvix Mixer of this user and session.\n\n";
    for (const Verb& verb : kVerbs) {
        std::string line = std::string("  ") + verb.name + (*verb.usage ? " " : "") + verb.usage;
        line.resize(std::max<std::size_t>(line.size() + 2, 36), ' ');
        text += line + verb.what + '\n';
    }
    text += "  --help | --version\n\n"
            "CONTROL is an ini key such as Dial/HeadphoneValue or its alias such as\n"
            "headphone or headphone.mute (see list). A level is the knob's stored value.\n\n"
            "Exit codes: 0 done; 1 the program is not running, or it quit during a watch;\n"
            "2 bad input, nothing changed; 3 no interface connected; 4 the interface refused\n"
            "the change, or too many watchers; 5 the endpoint is not trusted (another\n"
            "user's, or squatted); 6 the report could not be written.\n";
    return text;
}

CtlCommand parseCtlCommand(const std::vector<std::string>& arguments)
{
    CtlCommand command;
    if (arguments.empty()) {
        command.error = "no verb given (see quorvix-ctl --help)";
        return command;
    }
    const std::string& verb = arguments.front();
    if (verb == "--help" || verb == "-h" || verb == "help") {
        command.kind = CtlCommand::Kind::Help;
        return command;
    }
    if (verb == "--version") {
        command.kind = CtlCommand::Kind::Version;
        return command;
    }
    const std::size_t count = arguments.size() - 1;
    bool known = false;
    for (const Verb& row : kVerbs) {
        if (verb != row.name)
            continue;
        known = true;
        if (count >= row.minArgs && count <= row.maxArgs) {
            command.kind = CtlCommand::Kind::Request;
            break;
        }
    }
    if (!known) {
        command.error = "unknown verb: " + verb + " (see quorvix-ctl --help)";
        return command;
    }
    if (command.kind == CtlCommand::Kind::Request && verb == "report")
        return parseReport(arguments);
    if (command.kind != CtlCommand::Kind::Request) {
        command.error = "wrong arguments for " + verb + " (see quorvix-ctl --help)";
        return command;
    }
    for (const std::string& argument : arguments) {
        // Tabs and newlines would split the request line; no valid value holds one.
        if (hasControlCharacter(argument)) {
            command.kind = CtlCommand::Kind::Invalid;
            command.error = "an argument holds a control character";
            return command;
        }
    }
    command.fields = arguments;
    return command;
}
