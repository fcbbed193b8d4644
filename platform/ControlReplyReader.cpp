#include "platform/ControlReplyReader.h"

namespace platform {

ControlReplyReader::ControlReplyReader(std::string& reply,
                                       bool (*complete)(const std::string& reply))
    : reply(reply), complete(complete)
{
    reply.clear();
}

ControlReplyReader::ControlReplyReader(
    const std::function<bool(const std::string& piece)>& received)
    : reply(unused), stream(&received)
{}

bool ControlReplyReader::take(const char* data, std::size_t size)
{
    heard = true;
    if (stream)
        return !(*stream)(std::string(data, size));
    reply.append(data, size);
    return complete(reply);
}

ControlExchange ControlReplyReader::closed(std::string& why) const
{
    if (stream && heard)
        return ControlExchange::Done;
    if (!heard) {
        why = "the program closed the connection without a reply";
        return ControlExchange::Busy;
    }
    return !stream && complete(reply) ? ControlExchange::Done : ControlExchange::Failed;
}

ControlExchange exchangeControlRequest(const std::string& request, std::string& reply,
                                       bool (*complete)(const std::string& reply), std::string& why)
{
    ControlReplyReader reader(reply, complete);
    return exchangeOverEndpoint(request, reader, why);
}

ControlExchange streamControlRequest(const std::string& request,
                                     const std::function<bool(const std::string& piece)>& received,
                                     std::string& why)
{
    ControlReplyReader reader(received);
    return exchangeOverEndpoint(request, reader, why);
}

} // namespace platform
