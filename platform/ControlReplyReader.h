#pragma once
// The reading half of one control exchange, the same on every transport: it gathers a
// reply until it is whole, or hands a stream's pieces on as they come, and says how the
// exchange ended when the endpoint closed the connection. Plain C++.
#include "platform/ControlClient.h"

#include <cstddef>
#include <functional>
#include <string>

namespace platform {

class ControlReplyReader
{
public:
    // A reply gathered into `reply` until `complete` says it is whole.
    ControlReplyReader(std::string& reply, bool (*complete)(const std::string& reply));
    // A stream: every piece goes to `received`; a false from it ends the exchange.
    explicit ControlReplyReader(const std::function<bool(const std::string& piece)>& received);

    // Bytes that arrived; true when the exchange is over and the result is Done.
    bool take(const char* data, std::size_t size);
    // True once a stream has started: from then on a read waits without a time limit.
    bool waitsWithoutLimit() const { return stream && heard; }
    // The result when the endpoint closed the connection.
    ControlExchange closed(std::string& why) const;

private:
    std::string unused;
    std::string& reply;
    bool (*complete)(const std::string& reply) = nullptr;
    const std::function<bool(const std::string& piece)>* stream = nullptr;
    bool heard = false;
};

// One exchange over this system's endpoint, its checks made before the first byte is
// sent; each system's client defines it.
ControlExchange exchangeOverEndpoint(const std::string& request, ControlReplyReader& reader,
                                     std::string& why);

} // namespace platform
