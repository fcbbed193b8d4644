#pragma once
// The client end of the program's control endpoint, for quorvix-ctl. Plain C++.
#include <functional>
#include <string>
#include <vector>

namespace platform {

enum class ControlExchange
{
    Done,       // the request was sent and the whole reply read
    NotRunning, // no endpoint: the program is not running in this session
    Busy,       // the endpoint closed the connection without a reply
    Untrusted,  // the endpoint is another user's or another session's
    Failed      // the connection broke or timed out
};

// Connects to this user's and this session's endpoint, makes sure the program behind it
// is the same user (on Windows also the same session), sends `request` and reads the
// reply until the endpoint ends the connection or `complete` says the reply is whole.
// `why` says what went wrong in a few words.
ControlExchange exchangeControlRequest(const std::string& request, std::string& reply,
                                       bool (*complete)(const std::string& reply),
                                       std::string& why);

// As exchangeControlRequest, for a reply that goes on until the endpoint ends the
// connection (`watch`): every piece that arrives goes to `received` as it comes, and a
// false from it ends the exchange. Only the first piece has a time limit; after it
// this waits without one and returns Done once the program closed the connection,
// which it notices at once, also when the program ended without closing it.
ControlExchange streamControlRequest(const std::string& request,
                                     const std::function<bool(const std::string& piece)>& received,
                                     std::string& why);

// The command line's arguments after the program name, as UTF-8.
std::vector<std::string> commandArguments(int argc, char** argv);

// Makes the console show UTF-8 text written to the standard streams.
void prepareConsole();

} // namespace platform
