#include "EchoDriver.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

bool readAll(int fd, void* buffer, std::size_t size)
{
    auto* p = static_cast<std::uint8_t*>(buffer);
    while (size > 0) {
        const ssize_t got = recv(fd, p, size, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        p += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

bool writeAll(int fd, const void* buffer, std::size_t size)
{
    const auto* p = static_cast<const std::uint8_t*>(buffer);
    while (size > 0) {
        const ssize_t sent = send(fd, p, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        p += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

std::uint32_t le32(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

void putLe32(std::uint8_t* p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

} // namespace

EchoDriver::~EchoDriver()
{
    if (listenFd >= 0) {
        shutdown(listenFd, SHUT_RDWR);
        close(listenFd);
    }
    if (worker.joinable())
        worker.join();
    if (!path.empty())
        unlink(path.c_str());
}

bool EchoDriver::start(const std::string& socketPath)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    listenFd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (listenFd < 0 || bind(listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) ||
        listen(listenFd, 4))
        return false;
    path = socketPath;
    worker = std::thread([this] { serve(); });
    return true;
}

void EchoDriver::serve()
{
    for (;;) {
        const int fd = accept(listenFd, nullptr, nullptr);
        if (fd < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        serveConnection(fd);
        close(fd);
    }
}

void EchoDriver::serveConnection(int fd)
{
    std::vector<std::uint8_t> input;
    std::vector<std::uint8_t> reply;
    std::uint8_t header[12];
    while (readAll(fd, header, sizeof header)) {
        input.resize(le32(header + 4));
        if (!readAll(fd, input.data(), input.size()))
            return;
        const std::uint32_t outLength = le32(header + 8);
        reply.assign(12 + outLength, 0);
        putLe32(reply.data(), 1);
        putLe32(reply.data() + 8, outLength);
        if (!writeAll(fd, reply.data(), reply.size()))
            return;
    }
}
