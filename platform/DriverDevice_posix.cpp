// The driver device off Windows: a Unix stream socket in the endpoint folder. Each
// request is one frame out (code, input length, output length, input) and one frame
// back (status, error, byte count, output), all integers 32-bit little-endian.
#include "platform/DriverDevice.h"
#include "platform/PosixSupport.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0 // BSD-like systems: SO_NOSIGPIPE is set on the socket instead
#endif

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

// The whole request, from the first byte written to the last byte of the reply.
constexpr std::chrono::milliseconds kRequestLimit{2000};
constexpr std::size_t kFrameHeaderSize = 12;

struct DriverLink
{
    int fd = -1;
    // Once a request breaks the link, framing is lost: every later request fails with
    // the same code, without being sent, until the owner closes the handle.
    bool dead = false;
    std::uint32_t deadError = 0;
    // Output bytes are held here until the whole reply is known good, so that the
    // caller's buffer is written only on success. Reused to keep meter polls allocation-free.
    std::vector<std::uint8_t> reply;
};

DriverLink* toLink(NativeHandle handle)
{
    if (handle == kInvalidHandle || handle == 0)
        return nullptr;
    return reinterpret_cast<DriverLink*>(handle);
}

void putU32(std::uint8_t* p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

std::uint32_t getU32(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

// Blocks until `fd` is ready for `events` or the deadline passes. 0 when ready.
std::uint32_t waitFor(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return error::Timeout;
        pollfd entry{fd, events, 0};
        const int ready = poll(&entry, 1, static_cast<int>(left.count()));
        if (ready > 0)
            return 0; // errors and hang-ups surface in the send/recv that follows
        if (ready < 0 && errno != EINTR)
            return errnoToWindowsError(errno);
    }
}

std::uint32_t linkError(int err)
{
    // However the driver side went away, the program reports a disconnected device.
    if (err == ECONNRESET || err == EPIPE || err == ENOTCONN)
        return error::DeviceNotConnected;
    return errnoToWindowsError(err);
}

std::uint32_t sendAll(int fd, iovec* parts, int count, Clock::time_point deadline)
{
    while (count > 0) {
        if (parts->iov_len == 0) {
            ++parts;
            --count;
            continue;
        }
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = count;
        const ssize_t sent = sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return linkError(errno);
            if (const std::uint32_t failure = waitFor(fd, POLLOUT, deadline))
                return failure;
            continue;
        }
        auto done = static_cast<std::size_t>(sent);
        while (count > 0 && done >= parts->iov_len) {
            done -= parts->iov_len;
            ++parts;
            --count;
        }
        if (count > 0) {
            parts->iov_base = static_cast<std::uint8_t*>(parts->iov_base) + done;
            parts->iov_len -= done;
        }
    }
    return 0;
}

std::uint32_t receiveAll(int fd, std::uint8_t* buffer, std::size_t size, Clock::time_point deadline)
{
    while (size > 0) {
        const ssize_t got = recv(fd, buffer, size, MSG_DONTWAIT);
        if (got == 0)
            return error::DeviceNotConnected;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return linkError(errno);
            if (const std::uint32_t failure = waitFor(fd, POLLIN, deadline))
                return failure;
            continue;
        }
        buffer += got;
        size -= static_cast<std::size_t>(got);
    }
    return 0;
}

// A connect() that did not finish at once (interrupted by a signal) goes on in the
// background; wait for its outcome, within the request limit.
int finishPendingConnect(int fd)
{
    if (waitFor(fd, POLLOUT, Clock::now() + kRequestLimit) != 0)
        return ETIMEDOUT;
    int result = 0;
    socklen_t length = sizeof result;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &result, &length) != 0)
        return errno;
    return result;
}

} // namespace

NativeHandle openDriverDevice(const std::wstring& name)
{
    const std::string path = endpointPath(name);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        setLastError(errnoToWindowsError(ENAMETOOLONG));
        return kInvalidHandle;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    // Non-blocking, so a driver side that stops accepting fails the open at once
    // instead of freezing the caller; every later send and receive waits with a limit.
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        setLastError(errnoToWindowsError(errno));
        return kInvalidHandle;
    }
#ifdef SO_NOSIGPIPE
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
    int failure = 0;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        failure = errno == EINTR || errno == EINPROGRESS ? finishPendingConnect(fd) : errno;
    if (failure != 0) {
        close(fd);
        // A full listen queue: the driver side is there but does not take the handle.
        setLastError(failure == EAGAIN ? error::Busy : errnoToWindowsError(failure));
        return kInvalidHandle;
    }
    auto* link = new DriverLink;
    link->fd = fd;
    return reinterpret_cast<NativeHandle>(link);
}

bool deviceIoControl(NativeHandle device, std::uint32_t code, const void* in,
                     std::uint32_t inLength, void* out, std::uint32_t outLength,
                     std::uint32_t* bytesReturned)
{
    if (bytesReturned)
        *bytesReturned = 0;
    DriverLink* link = toLink(device);
    if (!link) {
        setLastError(error::InvalidHandle);
        return false;
    }
    if (link->dead) {
        setLastError(link->deadError);
        return false;
    }
    if ((inLength > 0 && !in) || (outLength > 0 && !out)) {
        setLastError(error::GenFailure);
        return false;
    }

    const auto deadline = Clock::now() + kRequestLimit;
    std::uint8_t header[kFrameHeaderSize];
    putU32(header, code);
    putU32(header + 4, inLength);
    putU32(header + 8, outLength);
    iovec parts[2] = {{header, kFrameHeaderSize}, {const_cast<void*>(in), inLength}};

    std::uint32_t failure = sendAll(link->fd, parts, 2, deadline);
    if (failure == 0)
        failure = receiveAll(link->fd, header, kFrameHeaderSize, deadline);
    const std::uint32_t status = getU32(header);
    const std::uint32_t driverError = getU32(header + 4);
    const std::uint32_t count = getU32(header + 8);
    if (failure == 0 && (status > 1 || count > outLength))
        failure = error::InvalidData;
    if (failure == 0) {
        if (link->reply.size() < count)
            link->reply.resize(count);
        failure = receiveAll(link->fd, link->reply.data(), count, deadline);
    }
    if (failure != 0) {
        link->dead = true;
        link->deadError = failure;
        setLastError(failure);
        return false;
    }
    if (status == 0) {
        setLastError(driverError);
        return false;
    }
    if (count > 0)
        std::memcpy(out, link->reply.data(), count);
    if (bytesReturned)
        *bytesReturned = count;
    return true;
}

void closeDriverDevice(NativeHandle device)
{
    DriverLink* link = toLink(device);
    if (!link)
        return;
    close(link->fd);
    delete link;
}

std::size_t heldDriverRequests()
{
    return 0; // a timed-out request here has already given up its socket read
}

} // namespace platform
