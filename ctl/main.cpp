// quorvix-ctl: drives the running Quorvix Mixer from a key, a script or a Stream Deck
// button. Exit codes: 0 done, 1 not running, 2 bad input, 3 no interface, 4 refused by
// the interface, 5 untrusted endpoint, 6 the support report could not be written.
// Built a second time as the windowless quorvix-ctlw (CtlOutput), which says nothing and
// leaves its refusals in the program's log.
#include "control/ControlWire.h"
#include "ctl/CtlCommand.h"
#include "ctl/CtlOutput.h"
#include "ctl/ReportVerb.h"
#include "platform/ControlClient.h"

#include <chrono>
#include <string>
#include <thread>

namespace {

// The program closes clients beyond its limit at once; a burst of key presses is
// served by trying again for a moment.
constexpr int kBusyRetries = 40;
constexpr auto kBusyPause = std::chrono::milliseconds(50);

// Why no reply came, as an exit code with its message; Done when one did.
int outcomeCode(platform::ControlExchange outcome, const std::string& why, CtlOutput& output)
{
    switch (outcome) {
    case platform::ControlExchange::Done:
        return controlwire::Done;
    case platform::ControlExchange::NotRunning:
        return output.fail(controlwire::NotRunning, "Quorvix Mixer is not running (" + why + ")");
    case platform::ControlExchange::Busy:
    case platform::ControlExchange::Failed:
        return output.fail(controlwire::NotRunning, "Quorvix Mixer did not answer (" + why + ")");
    case platform::ControlExchange::Untrusted:
        return output.fail(controlwire::Untrusted, "refusing an untrusted endpoint: " + why);
    }
    return controlwire::NotRunning;
}

// Runs an exchange again while the endpoint is busy serving its other clients, for up
// to two seconds.
template <typename Exchange> platform::ControlExchange retryWhileBusy(Exchange exchange)
{
    platform::ControlExchange outcome = platform::ControlExchange::Busy;
    for (int attempt = 0; attempt < kBusyRetries; ++attempt) {
        outcome = exchange();
        if (outcome != platform::ControlExchange::Busy)
            break;
        std::this_thread::sleep_for(kBusyPause);
    }
    return outcome;
}

// An answer's text to stdout, then its exit code, with the message on stderr.
int finish(int code, const std::string& text, const std::string& message, CtlOutput& output)
{
    output.out(text);
    if (code != controlwire::Done)
        return output.fail(code, message);
    if (!message.empty())
        output.err(message);
    return code;
}

// `watch`: the reply, then every piece as it comes, until the program ends the watch.
int runWatch(const std::string& request, CtlOutput& output)
{
    std::string head, why;
    bool started = false, readerGone = false;
    int code = -1;
    std::string message;
    const auto show = [&](const std::string& text) {
        readerGone = !output.out(text);
        return !readerGone;
    };
    const auto received = [&](const std::string& piece) {
        if (started)
            return show(piece);
        head += piece;
        std::string body;
        std::size_t used = 0;
        if (!controlwire::parseReplyStart(head, code, message, body, used))
            return head.size() <= controlwire::kMaxRequest * 4;
        started = true;
        return code == controlwire::Done && show(body + head.substr(used));
    };
    const platform::ControlExchange outcome =
        retryWhileBusy([&] { return platform::streamControlRequest(request, received, why); });
    if (outcome != platform::ControlExchange::Done)
        return outcomeCode(outcome, why, output);
    if (!started)
        return output.fail(controlwire::NotRunning,
                           "Quorvix Mixer sent a reply that cannot be read");
    if (code != controlwire::Done)
        return output.fail(code, message);
    // Whoever read the lines stopped reading: an ordinary end of a watch.
    if (readerGone)
        return controlwire::Done;
    return output.fail(controlwire::NotRunning, "Quorvix Mixer ended the watch");
}

} // namespace

int main(int argc, char** argv)
{
    CtlOutput output(argc, argv);
    const CtlCommand command = parseCtlCommand(output.arguments());
    switch (command.kind) {
    case CtlCommand::Kind::Help:
        output.out(ctlHelp());
        return controlwire::Done;
    case CtlCommand::Kind::Version:
        output.out(std::string("quorvix-ctl ") + QUORVIX_VERSION + '\n');
        return controlwire::Done;
    case CtlCommand::Kind::Invalid:
        return output.fail(controlwire::BadInput, command.error);
    case CtlCommand::Kind::Report: {
        std::string said, error;
        const int code = runReportVerb(command.fields.front(), command.force, said, error);
        return finish(code, said, error, output);
    }
    case CtlCommand::Kind::Request:
        break;
    }

    const std::string request = controlwire::request(command.fields);
    if (command.fields.front() == "watch")
        return runWatch(request, output);
    std::string reply, why;
    const platform::ControlExchange outcome = retryWhileBusy([&] {
        return platform::exchangeControlRequest(request, reply, &controlwire::replyComplete, why);
    });
    if (outcome != platform::ControlExchange::Done)
        return outcomeCode(outcome, why, output);
    int code = 0;
    std::string message, body;
    if (!controlwire::parseReply(reply, code, message, body))
        return output.fail(controlwire::NotRunning,
                           "Quorvix Mixer sent a reply that cannot be read");
    return finish(code, body, message, output);
}
