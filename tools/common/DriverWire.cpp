#include "DriverWire.h"

#include <cerrno>
#include <sys/socket.h>

namespace driverwire {

std::uint32_t readLe32(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

void putLe32(std::uint8_t* p, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

bool readExactly(int fd, void* buffer, std::size_t size)
{
    auto* p = static_cast<std::uint8_t*>(buffer);
    while (size > 0) {
        const ssize_t got = ::recv(fd, p, size, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        p += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

bool writeAll(int fd, const void* data, std::size_t size)
{
    const auto* p = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        const ssize_t sent = ::send(fd, p, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        p += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool readRequest(int fd, Request& request)
{
    std::uint8_t header[12];
    if (!readExactly(fd, header, sizeof header))
        return false;
    request.code = readLe32(header);
    request.outputLength = readLe32(header + 8);
    request.input.resize(readLe32(header + 4));
    return readExactly(fd, request.input.data(), request.input.size());
}

void setSuccessReply(std::vector<std::uint8_t>& reply, std::uint32_t outputLength)
{
    reply.assign(12 + std::size_t(outputLength), 0);
    putLe32(reply.data(), 1);
    putLe32(reply.data() + 8, outputLength);
}

} // namespace driverwire
