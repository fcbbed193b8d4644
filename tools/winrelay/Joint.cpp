#include "Joint.h"

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Beyond this much unsent, a side is not read until the other catches up.
constexpr std::size_t kBufferLimit = 1 << 20;

enum class Read
{
    More,
    Ended
};

Read readInto(int fd, std::string& buffer)
{
    char chunk[65536];
    for (;;) {
        const ssize_t got = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (got > 0) {
            buffer.append(chunk, static_cast<std::size_t>(got));
            if (buffer.size() >= kBufferLimit)
                return Read::More;
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return Read::More;
        return Read::Ended; // EOF or a reset
    }
}

} // namespace

Joint::Joint(int tcp, int device, std::string pendingForDevice)
    : tcp(tcp), device(device), toDevice(std::move(pendingForDevice))
{}

Joint::~Joint()
{
    close(tcp);
    close(device);
}

void Joint::prepare(pollfd& tcpEntry, pollfd& deviceEntry) const
{
    tcpEntry = {tcp, 0, 0};
    if (toDevice.size() < kBufferLimit)
        tcpEntry.events |= POLLIN;
    if (!toTcp.empty())
        tcpEntry.events |= POLLOUT;
    deviceEntry = {deviceEnded ? -1 : device, 0, 0};
    if (toTcp.size() < kBufferLimit)
        deviceEntry.events |= POLLIN;
    if (!toDevice.empty())
        deviceEntry.events |= POLLOUT;
}

bool Joint::flush(int fd, std::string& buffer)
{
    std::size_t done = 0;
    while (done < buffer.size()) {
        const ssize_t sent =
            send(fd, buffer.data() + done, buffer.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent >= 0) {
            done += static_cast<std::size_t>(sent);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        break;
    }
    buffer.erase(0, done);
    return true;
}

bool Joint::service(short tcpEvents, short deviceEvents)
{
    // The handle was closed (or its link broke): nothing more can reach the program.
    if (tcpEvents & (POLLIN | POLLHUP | POLLERR)) {
        if (!(tcpEvents & POLLIN) || readInto(tcp, toDevice) == Read::Ended)
            return false;
    }
    if (!deviceEnded && (deviceEvents & (POLLIN | POLLHUP | POLLERR)) &&
        readInto(device, toTcp) == Read::Ended)
        deviceEnded = true;
    if (!deviceEnded && !toDevice.empty() && !flush(device, toDevice))
        deviceEnded = true;
    if (deviceEnded)
        toDevice.clear();
    if (!toTcp.empty() && !flush(tcp, toTcp))
        return false;
    return !(deviceEnded && toTcp.empty());
}
