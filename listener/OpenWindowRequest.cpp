#include "listener/OpenWindowRequest.h"

OpenWindowRequest OpenWindowRequest::decode(const char* message, std::size_t length)
{
    OpenWindowRequest request;
    for (std::size_t i = 0; i < std::size_t(4 * WordCount) && i < length; ++i)
        request.words[i / 4] |= std::uint32_t(static_cast<unsigned char>(message[i]))
                                << (8 * (i % 4));
    return request;
}
