#include "tools/asiopeer/PeerTransport.h"

#include <QStandardPaths>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace peer {

const char* const kEndpointHelp = "endpoint folder\n$XDG_RUNTIME_DIR/quorvix";
const char* const kRawHelp = "send HEX as one framed message (length added) to";
const char* const kRawFrameHelp = "send HEX exactly as given, without a length, to";

namespace {

std::string runtimeDir()
{
    const char* env = std::getenv("XDG_RUNTIME_DIR");
    if (env && *env)
        return env;
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation).toStdString();
}

bool address(const std::string& path, sockaddr_un& out)
{
    std::memset(&out, 0, sizeof out);
    out.sun_family = AF_UNIX;
    if (path.size() >= sizeof out.sun_path)
        return false;
    std::memcpy(out.sun_path, path.c_str(), path.size() + 1);
    return true;
}

int toFd(Handle handle)
{
    return static_cast<int>(handle);
}

} // namespace

// The streams already write what they are given.
void prepareOutput() {}

std::string endpointPath(const std::string& name)
{
    return runtimeDir() + "/quorvix/" + name;
}

bool listenOn(Listener& listener, std::string& problem)
{
    const std::string& path = listener.path;
    const std::string folder = path.substr(0, path.rfind('/'));
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        problem = "cannot create " + folder + ": " + std::strerror(errno);
        return false;
    }
    sockaddr_un where;
    if (!address(path, where)) {
        problem = "path too long: " + path;
        return false;
    }
    const Handle probe = connectTo(path);
    if (probe != kNoHandle) {
        closeConnection(probe);
        problem = "a server already listens on " + path;
        return false;
    }
    unlink(path.c_str());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
        chmod(path.c_str(), 0600) != 0 || listen(fd, 16) != 0) {
        problem = "cannot listen on " + path + ": " + std::strerror(errno);
        if (fd >= 0)
            close(fd);
        return false;
    }
    listener.handle = fd;
    return true;
}

Handle acceptClient(Listener& listener, int waitMs)
{
    pollfd waiting{toFd(listener.handle), POLLIN, 0};
    if (poll(&waiting, 1, waitMs) <= 0)
        return kNoHandle;
    const int client = accept(toFd(listener.handle), nullptr, nullptr);
    return client < 0 ? kNoHandle : client;
}

Bytes receiveUntilClosed(Handle client, int timeoutMs)
{
    Bytes bytes;
    std::uint8_t chunk[4096];
    for (;;) {
        pollfd waiting{toFd(client), POLLIN, 0};
        const int ready = poll(&waiting, 1, timeoutMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return bytes;
        const ssize_t got = recv(toFd(client), chunk, sizeof chunk, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return bytes;
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
}

void closeClient(Handle client)
{
    close(toFd(client));
}

void stopListening(Listener& listener)
{
    close(toFd(listener.handle));
    listener.handle = kNoHandle;
    unlink(listener.path.c_str());
}

Bytes asMessage(const Bytes& payload)
{
    return framed(payload);
}

Handle connectTo(const std::string& path)
{
    sockaddr_un where;
    if (!address(path, where)) {
        errno = ENAMETOOLONG;
        return kNoHandle;
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return kNoHandle;
    if (connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
        const int err = errno;
        close(fd);
        errno = err;
        return kNoHandle;
    }
    return fd;
}

bool sendAll(Handle connection, const Bytes& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t sent =
            send(toFd(connection), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

void closeConnection(Handle connection)
{
    close(toFd(connection));
}

std::string lastProblem()
{
    return std::strerror(errno);
}

} // namespace peer
