#include "EchoDriver.h"

#include "DriverWire.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

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
    driverwire::Request request;
    std::vector<std::uint8_t> reply;
    while (driverwire::readRequest(fd, request)) {
        driverwire::setSuccessReply(reply, request.outputLength);
        if (!driverwire::writeAll(fd, reply.data(), reply.size()))
            return;
    }
}
