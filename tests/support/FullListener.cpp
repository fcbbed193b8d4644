#include "FullListener.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

FullListener::FullListener(std::string path) : socketPath(std::move(path))
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path)
        return;
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    ::unlink(socketPath.c_str());
    listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) ||
        ::listen(listener, 0))
        return;
    // A queue of length 0 still holds a connection or so; fill it until it refuses.
    for (int i = 0; i < 64; ++i) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            fillers.push_back(fd);
            continue;
        }
        full = errno == EAGAIN;
        ::close(fd);
        break;
    }
}

FullListener::~FullListener()
{
    for (const int fd : fillers)
        ::close(fd);
    if (listener >= 0) {
        ::close(listener);
        ::unlink(socketPath.c_str());
    }
}
