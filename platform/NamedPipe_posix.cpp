// Message pipes on a Unix socket: every message travels as a 32-bit little-endian
// length followed by that many bytes.
#include "platform/NamedPipe.h"
#include "platform/PosixSupport.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

// An accepted client must deliver its whole message within this time, so that no
// local process can hold the pipe shut.
constexpr auto kClientDeadline = std::chrono::milliseconds(1000);

// Tags tell the two kinds of handle apart, so a handle of the wrong kind fails with
// the invalid-handle code instead of being misread.
constexpr std::uint32_t kServerTag = 0x50535256; // "PSRV"
constexpr std::uint32_t kClientTag = 0x50434C54; // "PCLT"

struct PipeServerLink
{
    std::uint32_t tag = kServerTag;
    int listenFd = -1;
    int clientFd = -1;
    Clock::time_point clientDeadline;
    std::string path;
    ino_t inode = 0; // the socket file this server made, so release never removes another's
};

struct PipeClientLink
{
    std::uint32_t tag = kClientTag;
    int fd = -1;
};

PipeServerLink* serverFrom(NativeHandle handle)
{
    if (handle == kInvalidHandle || handle == 0)
        return nullptr;
    auto* link = reinterpret_cast<PipeServerLink*>(handle);
    return link->tag == kServerTag ? link : nullptr;
}

PipeClientLink* clientFrom(NativeHandle handle)
{
    if (handle == kInvalidHandle || handle == 0)
        return nullptr;
    auto* link = reinterpret_cast<PipeClientLink*>(handle);
    return link->tag == kClientTag ? link : nullptr;
}

bool fail(std::uint32_t code)
{
    setLastError(code);
    return false;
}

// Errors of a connection to a peer: a peer gone is a broken pipe.
std::uint32_t peerError(int err)
{
    if (err == EPIPE || err == ECONNRESET || err == ENOTCONN)
        return error::BrokenPipe;
    return errnoToWindowsError(err);
}

enum class Received
{
    Complete,
    Closed,
    TimedOut,
    Failed
};

// Receives exactly `size` bytes (into `buffer`, or dropped when it is null) before
// `deadline`. On Failed errno is kept.
Received receiveAll(int fd, void* buffer, std::size_t size, Clock::time_point deadline)
{
    char scratch[4096];
    std::size_t done = 0;
    while (done < size) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return Received::TimedOut;
        pollfd waiting{fd, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, static_cast<int>(left.count()));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return Received::Failed;
        }
        if (ready == 0)
            return Received::TimedOut;
        char* target = buffer ? static_cast<char*>(buffer) + done : scratch;
        const std::size_t want = buffer ? size - done : std::min(size - done, sizeof scratch);
        const ssize_t got = ::recv(fd, target, want, 0);
        if (got == 0)
            return Received::Closed;
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            if (errno == ECONNRESET)
                return Received::Closed;
            return Received::Failed;
        }
        done += static_cast<std::size_t>(got);
    }
    return Received::Complete;
}

void dropClient(PipeServerLink* link)
{
    if (link->clientFd >= 0) {
        ::close(link->clientFd);
        link->clientFd = -1;
    }
}

// Ends a failed read: the client is let go when the stream can no longer be trusted.
bool readFailure(PipeServerLink* link, Received how)
{
    const int err = errno;
    dropClient(link);
    switch (how) {
    case Received::Closed:
        return fail(error::BrokenPipe);
    case Received::TimedOut:
        return fail(error::Timeout);
    default:
        return fail(peerError(err));
    }
}

} // namespace

NativeHandle createPipeServer(const std::wstring& name)
{
    const std::string path = endpointPath(name);
    std::uint64_t inode = 0;
    const int fd = listenOnSocketFile(path, inode);
    if (fd < 0)
        return kInvalidHandle;
    auto* link = new PipeServerLink;
    link->listenFd = fd;
    link->path = path;
    link->inode = static_cast<ino_t>(inode);
    return reinterpret_cast<NativeHandle>(link);
}

bool connectPipeClient(NativeHandle server)
{
    PipeServerLink* link = serverFrom(server);
    if (!link)
        return fail(error::InvalidHandle);
    if (link->clientFd >= 0)
        return fail(error::PipeConnected);
    // A client already waiting in the backlog is the "connected before the call" case.
    pollfd waiting{link->listenFd, POLLIN, 0};
    const bool alreadyWaiting = ::poll(&waiting, 1, 0) > 0;
    int fd;
    do {
        fd = ::accept4(link->listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    } while (fd < 0 && (errno == EINTR || errno == ECONNABORTED));
    if (fd < 0)
        return fail(errnoToWindowsError(errno));
    link->clientFd = fd;
    link->clientDeadline = Clock::now() + kClientDeadline;
    if (alreadyWaiting)
        return fail(error::PipeConnected);
    return true;
}

bool readPipeMessage(NativeHandle server, void* buffer, std::uint32_t size,
                     std::uint32_t* bytesRead)
{
    PipeServerLink* link = serverFrom(server);
    if (!link)
        return fail(error::InvalidHandle);
    if (link->clientFd < 0)
        return fail(error::BrokenPipe);
    unsigned char header[4];
    Received how = receiveAll(link->clientFd, header, sizeof header, link->clientDeadline);
    if (how != Received::Complete)
        return readFailure(link, how);
    const std::uint32_t length = std::uint32_t(header[0]) | std::uint32_t(header[1]) << 8 |
                                 std::uint32_t(header[2]) << 16 | std::uint32_t(header[3]) << 24;
    if (length > size) {
        // Drop the message so the stream stays framed; a client that cannot deliver it
        // in time is let go.
        how = receiveAll(link->clientFd, nullptr, length, link->clientDeadline);
        if (how != Received::Complete)
            dropClient(link);
        return fail(error::MoreData);
    }
    // Read into a private buffer first: a failed read leaves the caller's untouched.
    std::vector<unsigned char> message(length);
    how = receiveAll(link->clientFd, message.data(), length, link->clientDeadline);
    if (how != Received::Complete)
        return readFailure(link, how);
    if (length > 0)
        std::memcpy(buffer, message.data(), length);
    if (bytesRead)
        *bytesRead = length;
    return true;
}

bool disconnectPipeClient(NativeHandle server)
{
    PipeServerLink* link = serverFrom(server);
    if (!link)
        return fail(error::InvalidHandle);
    dropClient(link);
    return true;
}

void closePipeServer(NativeHandle server)
{
    PipeServerLink* link = serverFrom(server);
    if (!link)
        return;
    dropClient(link);
    ::close(link->listenFd);
    struct stat current
    {
    };
    if (::lstat(link->path.c_str(), &current) == 0 && current.st_ino == link->inode)
        ::unlink(link->path.c_str());
    link->tag = 0;
    delete link;
}

std::uintptr_t currentPipeThread()
{
    return 0;
}

void releasePipeThread(std::uintptr_t) {}

void cancelPipeWait(std::uintptr_t) {}

NativeHandle openPipeClient(const std::wstring& name)
{
    sockaddr_un address;
    if (!socketAddress(endpointPath(name), address)) {
        setLastError(error::FileNotFound);
        return kInvalidHandle;
    }
    // Non-blocking like a Windows pipe open: a server that does not accept makes the
    // open fail at once instead of freezing the caller.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        setLastError(errnoToWindowsError(errno));
        return kInvalidHandle;
    }
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const std::uint32_t code = errno == EAGAIN ? error::PipeBusy : errnoToWindowsError(errno);
        ::close(fd);
        setLastError(code);
        return kInvalidHandle;
    }
    auto* link = new PipeClientLink;
    link->fd = fd;
    return reinterpret_cast<NativeHandle>(link);
}

bool writePipeMessage(NativeHandle client, const void* data, std::uint32_t size,
                      std::uint32_t* written)
{
    PipeClientLink* link = clientFrom(client);
    if (!link)
        return fail(error::InvalidHandle);
    std::vector<unsigned char> frame(4 + std::size_t(size));
    for (int i = 0; i < 4; ++i)
        frame[i] = static_cast<unsigned char>(size >> (8 * i));
    if (size > 0)
        std::memcpy(frame.data() + 4, data, size);
    // A server that stops reading gets the same time as a client has to deliver.
    const auto deadline = Clock::now() + kClientDeadline;
    std::size_t done = 0;
    while (done < frame.size()) {
        const ssize_t sent =
            ::send(link->fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
        if (sent >= 0) {
            done += static_cast<std::size_t>(sent);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN)
            return fail(peerError(errno));
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd waiting{link->fd, POLLOUT, 0};
        if (left.count() <= 0 || ::poll(&waiting, 1, static_cast<int>(left.count())) == 0)
            return fail(error::Timeout);
    }
    if (written)
        *written = size;
    return true;
}

void closePipeClient(NativeHandle client)
{
    PipeClientLink* link = clientFrom(client);
    if (!link)
        return;
    ::close(link->fd);
    link->tag = 0;
    delete link;
}

} // namespace platform
