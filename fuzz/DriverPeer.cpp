#include "DriverPeer.h"

#include "FuzzEnvironment.h"
#include "platform/PosixSupport.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace fuzzpeer {
namespace {

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

void putU32(std::uint8_t* p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

} // namespace

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

bool readRequest(int fd, Request& request)
{
    std::uint8_t header[12];
    if (!readExactly(fd, header, sizeof header))
        return false;
    request.code = fuzzenv::readU32(header);
    request.outputLength = fuzzenv::readU32(header + 8);
    request.input.resize(fuzzenv::readU32(header + 4));
    return readExactly(fd, request.input.data(), request.input.size());
}

void writeAll(int fd, const void* data, std::size_t size)
{
    const auto* p = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        const ssize_t sent = ::send(fd, p, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return;
        p += sent;
        size -= static_cast<std::size_t>(sent);
    }
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
    if (!readRequest(fd, request))
        return false;
    std::vector<std::uint8_t> reply(12 + request.outputLength, 0);
    putU32(reply.data(), 1);
    putU32(reply.data() + 8, request.outputLength);
    {
        std::lock_guard<std::mutex> lock(mutex);
        const auto known = values.find(request.code);
        if (known != values.end() && request.outputLength >= 4)
            putU32(reply.data() + 12, known->second);
        received.push_back(std::move(request));
    }
    writeAll(fd, reply.data(), reply.size());
    return true;
}

} // namespace fuzzpeer
