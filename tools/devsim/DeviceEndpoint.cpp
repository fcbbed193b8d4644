#include "DeviceEndpoint.h"

#include "UnixSocket.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::uint32_t readU32(const char* p)
{
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return b[0] | (b[1] << 8) | (b[2] << 16) | (std::uint32_t(b[3]) << 24);
}

constexpr int headerSize = 12;
// More than any queue holds once its backlog is 0; stops a runaway fill.
constexpr int maxFillers = 64;

} // namespace

DeviceEndpoint::DeviceEndpoint(PollLoop& loop, std::string path, RequestHandler handler)
    : loop(loop), socketPath(std::move(path)), handler(std::move(handler))
{}

DeviceEndpoint::~DeviceEndpoint()
{
    shutdown();
}

bool DeviceEndpoint::listen(QString& error)
{
    if (listener >= 0)
        return true;
    listener = UnixSocket::listenAt(socketPath);
    if (listener < 0) {
        error =
            QStringLiteral("cannot listen on %1: %2")
                .arg(QString::fromStdString(socketPath), QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    loop.watch(listener, POLLIN, [this](short) { acceptPending(); });
    return true;
}

void DeviceEndpoint::shutdown()
{
    closeFillers();
    busyOrdered = false;
    busyNow = false;
    if (listener >= 0) {
        loop.unwatch(listener);
        close(listener);
        listener = -1;
        unlink(socketPath.c_str());
    }
    while (!connections.empty())
        drop(connections.begin()->first);
}

void DeviceEndpoint::setBusy(bool busy)
{
    busyOrdered = busy;
    updateBusy();
}

void DeviceEndpoint::setMaxHandles(int count)
{
    handleLimit = count > 0 ? count : 0;
    updateBusy();
}

void DeviceEndpoint::updateBusy()
{
    if (listener < 0)
        return;
    const bool atLimit = handleLimit > 0 && openConnections() >= handleLimit;
    const bool wanted = busyOrdered || atLimit;
    if (wanted == busyNow)
        return;
    busyNow = wanted;
    if (wanted) {
        // A queue of length 0 still takes one connection; fill it with our own.
        loop.unwatch(listener);
        ::listen(listener, 0);
        for (int i = 0; i < maxFillers; ++i) {
            const int fd = UnixSocket::connectNonBlocking(socketPath);
            if (fd < 0)
                break;
            fillers.push_back(fd);
        }
        return;
    }
    closeFillers();
    ::listen(listener, UnixSocket::listenBacklog);
    loop.watch(listener, POLLIN, [this](short) { acceptPending(); });
    // Clients queued behind the fillers are taken now; the fillers are dropped there.
    acceptPending();
}

void DeviceEndpoint::closeFillers()
{
    for (const int fd : fillers)
        close(fd);
    fillers.clear();
}

void DeviceEndpoint::acceptPending()
{
    for (;;) {
        if (busyNow)
            break;
        const int fd = UnixSocket::acceptFrom(listener);
        if (fd < 0)
            break;
        if (UnixSocket::peerIsThisProcess(fd)) {
            close(fd); // a filler from a busy spell
            continue;
        }
        const int id = ++accepted;
        connections[id] = Connection{fd, {}, {}, false};
        loop.watch(fd, POLLIN, [this, id](short revents) {
            if (revents & POLLOUT)
                flush(id);
            if (revents & (POLLIN | POLLHUP | POLLERR))
                readFrom(id);
        });
        updateBusy();
    }
}

void DeviceEndpoint::readFrom(int id)
{
    auto it = connections.find(id);
    if (it == connections.end())
        return;
    char buffer[65536];
    for (;;) {
        const ssize_t got = recv(it->second.fd, buffer, sizeof buffer, 0);
        if (got > 0) {
            it->second.in.append(buffer, got);
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        // EOF or a reset: the handle was closed.
        processFrames(id);
        drop(id);
        return;
    }
    processFrames(id);
}

void DeviceEndpoint::processFrames(int id)
{
    for (;;) {
        auto it = connections.find(id);
        if (it == connections.end() || it->second.closing)
            return;
        QByteArray& in = it->second.in;
        if (in.size() < headerSize)
            return;
        RequestFrame frame;
        frame.code = readU32(in.constData());
        frame.inputLength = readU32(in.constData() + 4);
        frame.outputLength = readU32(in.constData() + 8);
        if (frame.inputLength > maxInputLength) {
            frame.oversized = true;
            in.clear();
        } else {
            if (in.size() < headerSize + static_cast<qsizetype>(frame.inputLength))
                return;
            frame.input = in.mid(headerSize, frame.inputLength);
            in.remove(0, headerSize + frame.inputLength);
        }
        handler(id, frame);
    }
}

void DeviceEndpoint::reply(int connection, const QByteArray& bytes, bool closeAfter)
{
    const auto it = connections.find(connection);
    if (it == connections.end())
        return;
    it->second.out.append(bytes);
    it->second.closing = it->second.closing || closeAfter;
    flush(connection);
}

void DeviceEndpoint::flush(int id)
{
    auto it = connections.find(id);
    if (it == connections.end())
        return;
    Connection& c = it->second;
    while (!c.out.isEmpty()) {
        const long sent = UnixSocket::sendSome(c.fd, c.out.constData(), c.out.size());
        if (sent < 0) {
            drop(id);
            return;
        }
        if (sent == 0)
            break;
        c.out.remove(0, sent);
    }
    if (c.out.isEmpty() && c.closing) {
        drop(id);
        return;
    }
    loop.setEvents(c.fd, c.out.isEmpty() ? POLLIN : POLLIN | POLLOUT);
}

void DeviceEndpoint::drop(int id)
{
    const auto it = connections.find(id);
    if (it == connections.end())
        return;
    loop.unwatch(it->second.fd);
    close(it->second.fd);
    connections.erase(it);
    updateBusy();
}
