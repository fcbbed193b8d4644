#include "DriverPeer.h"

#include "FuzzEnvironment.h"
#include "platform/PosixSupport.h"

#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace fuzzpeer {

int listenOnFirstDevice()
{
    platform::ensureEndpointFolder();
    const std::string path = platform::endpointPath(L"\\\\.\\QuorvixAudioBus0");
    ::unlink(path.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 64) != 0)
        return -1;
    return fd;
}

std::thread replyRawOnce(int listener, const std::uint8_t* reply, std::size_t size)
{
    const int peer = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    fuzzenv::check(peer >= 0, "cannot accept");
    return std::thread([peer, reply, size] {
        Request request;
        driverwire::readRequest(peer, request);
        driverwire::writeAll(peer, reply, size);
        ::close(peer);
    });
}

GoodDriver::GoodDriver()
{
    listenFd = listenOnFirstDevice();
    fuzzenv::check(listenFd >= 0 && ::pipe(stopPipe) == 0, "driver peer cannot listen");
    worker = std::thread([this] { serve(); });
}

GoodDriver::~GoodDriver()
{
    const char stop = 1;
    (void)!::write(stopPipe[1], &stop, 1);
    worker.join();
    ::close(stopPipe[0]);
    ::close(stopPipe[1]);
    ::close(listenFd);
}

void GoodDriver::setValue(std::uint32_t code, std::uint32_t value)
{
    std::lock_guard<std::mutex> lock(mutex);
    values[code] = value;
}

std::vector<Request> GoodDriver::take()
{
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<Request> out;
    out.swap(received);
    return out;
}

void GoodDriver::serve()
{
    std::vector<int> links;
    for (;;) {
        std::vector<pollfd> waiting{{stopPipe[0], POLLIN, 0}, {listenFd, POLLIN, 0}};
        for (int fd : links)
            waiting.push_back({fd, POLLIN, 0});
        if (::poll(waiting.data(), waiting.size(), -1) < 0)
            continue;
        if (waiting[0].revents)
            break;
        if (waiting[1].revents & POLLIN) {
            const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0)
                links.push_back(fd);
        }
        for (std::size_t i = 2; i < waiting.size(); ++i) {
            if (waiting[i].revents && !answer(waiting[i].fd)) {
                ::close(waiting[i].fd);
                std::erase(links, waiting[i].fd);
            }
        }
    }
    for (int fd : links)
        ::close(fd);
}

bool GoodDriver::answer(int fd)
{
    Request request;
    if (!driverwire::readRequest(fd, request))
        return false;
    std::vector<std::uint8_t> reply;
    driverwire::setSuccessReply(reply, request.outputLength);
    {
        std::lock_guard<std::mutex> lock(mutex);
        const auto known = values.find(request.code);
        if (known != values.end() && request.outputLength >= 4)
            driverwire::putLe32(reply.data() + 12, known->second);
        received.push_back(std::move(request));
    }
    driverwire::writeAll(fd, reply.data(), reply.size());
    return true;
}

} // namespace fuzzpeer
