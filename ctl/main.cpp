// quorvix-ctl: drives the running Quorvix Mixer from a key, a script or a Stream Deck
// button. Exit codes: 0 done, 1 not running, 2 bad input, 3 no interface, 4 refused by
// the interface, 5 untrusted endpoint, 6 the support report could not be written.
#include "control/ControlWire.h"
#include "ctl/CtlCommand.h"
#include "ctl/ReportVerb.h"
#include "platform/ControlClient.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace {

// The program closes clients beyond its limit at once; a burst of key presses is
// served by trying again for a moment.
constexpr int kBusyRetries = 40;
constexpr auto kBusyPause = std::chrono::milliseconds(50);

void write(std::FILE* stream, const std::string& text)
{
    platform::writeText(stream, text);
}

int fail(int code, const std::string& message)
{
    write(stderr, "quorvix-ctl: " + message + '\n');
    return code;
}

} // namespace

int main(int argc, char** argv)
{
    const CtlCommand command = parseCtlCommand(platform::commandArguments(argc, argv));
    switch (command.kind) {
    case CtlCommand::Kind::Help:
        write(stdout, ctlHelp());
        return controlwire::Done;
    case CtlCommand::Kind::Version:
        write(stdout, std::string("quorvix-ctl ") + QUORVIX_VERSION + '\n');
        return controlwire::Done;
    case CtlCommand::Kind::Invalid:
        return fail(controlwire::BadInput, command.error);
    case CtlCommand::Kind::Report:
        return runReportVerb(command.fields.front(), command.force);
    case CtlCommand::Kind::Request:
        break;
    }

    const std::string request = controlwire::request(command.fields);
    std::string reply, why;
    platform::ControlExchange outcome = platform::ControlExchange::Busy;
    for (int attempt = 0; attempt < kBusyRetries; ++attempt) {
        outcome =
            platform::exchangeControlRequest(request, reply, &controlwire::replyComplete, why);
        if (outcome != platform::ControlExchange::Busy)
            break;
        std::this_thread::sleep_for(kBusyPause);
    }
    switch (outcome) {
    case platform::ControlExchange::Done:
        break;
    case platform::ControlExchange::NotRunning:
        return fail(controlwire::NotRunning, "Quorvix Mixer is not running (" + why + ")");
    case platform::ControlExchange::Busy:
    case platform::ControlExchange::Failed:
        return fail(controlwire::NotRunning, "Quorvix Mixer did not answer (" + why + ")");
    case platform::ControlExchange::Untrusted:
        return fail(controlwire::Untrusted, "refusing an untrusted endpoint: " + why);
    }
    int code = 0;
    std::string message, body;
    if (!controlwire::parseReply(reply, code, message, body))
        return fail(controlwire::NotRunning, "Quorvix Mixer sent a reply that cannot be read");
    write(stdout, body);
    if (!message.empty())
        write(stderr, "quorvix-ctl: " + message + '\n');
    return code;
}
