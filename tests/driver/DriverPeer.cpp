#include "DriverPeer.h"

#include "platform/PosixSupport.h"

#include <QThread>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

std::uint32_t readLe32(const char* p)
{
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return std::uint32_t(u[0]) | std::uint32_t(u[1]) << 8 | std::uint32_t(u[2]) << 16 |
           std::uint32_t(u[3]) << 24;
}

std::string socketPath(int bus)
{
    return platform::endpointPath(L"\\\\.\\QuorvixAudioBus" + std::to_wstring(bus));
}

template <typename Predicate> bool waitUntil(Predicate done, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QThread::msleep(5);
    }
    return true;
}

} // namespace

PeerReply PeerReply::ok(const QByteArray& output)
{
    PeerReply reply;
    reply.output = output;
    return reply;
}

PeerReply PeerReply::refuse(std::uint32_t error)
{
    PeerReply reply;
    reply.status = 0;
    reply.error = error;
    return reply;
}

PeerReply PeerReply::rawBytes(const QByteArray& bytes, bool closeAfter)
{
    PeerReply reply;
    reply.kind = Kind::Raw;
    reply.raw = bytes;
    reply.closeAfter = closeAfter;
    return reply;
}

PeerReply PeerReply::of(Kind kind)
{
    PeerReply reply;
    reply.kind = kind;
    return reply;
}

DriverPeer::DriverPeer(int bus)
    : bus(bus), handler([](const PeerRequest&) { return PeerReply::ok(); })
{}

DriverPeer::~DriverPeer()
{
    stop();
}

QByteArray DriverPeer::le32(std::uint32_t value)
{
    QByteArray bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<char>(value >> (8 * i));
    return bytes;
}

bool DriverPeer::start()
{
    if (!platform::ensureEndpointFolder())
        return false;
    const std::string path = socketPath(bus);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    ::unlink(path.c_str());
    listenFd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (listenFd < 0 || ::bind(listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) ||
        ::chmod(path.c_str(), 0600) || ::listen(listenFd, 16) || ::pipe(wakeFds))
        return false;
    worker = std::thread([this] { serve(); });
    return true;
}

void DriverPeer::stop()
{
    if (!worker.joinable())
        return;
    const char wake = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeFds[1], &wake, 1);
    worker.join();
    ::close(listenFd);
    ::close(wakeFds[0]);
    ::close(wakeFds[1]);
    listenFd = wakeFds[0] = wakeFds[1] = -1;
    ::unlink(socketPath(bus).c_str());
}

void DriverPeer::setHandler(Handler newHandler)
{
    std::lock_guard guard(lock);
    handler = std::move(newHandler);
}

QList<PeerRequest> DriverPeer::requests() const
{
    std::lock_guard guard(lock);
    return seen;
}

int DriverPeer::connectionCount() const
{
    return accepted;
}

int DriverPeer::openConnections() const
{
    return open;
}

bool DriverPeer::waitForRequests(int count, int timeoutMs) const
{
    return waitUntil([&] { return requests().size() >= count; }, timeoutMs);
}

bool DriverPeer::waitForNoConnections(int timeoutMs) const
{
    return waitUntil([&] { return open == 0; }, timeoutMs);
}

bool DriverPeer::writeAll(int fd, const QByteArray& bytes, int chunkSize, int chunkDelayMs)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        qsizetype piece = bytes.size() - done;
        if (chunkSize > 0) {
            piece = std::min<qsizetype>(piece, chunkSize);
            QThread::msleep(chunkDelayMs);
        }
        const ssize_t sent = ::send(fd, bytes.constData() + done, piece, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        done += sent;
    }
    return true;
}

// False when the connection is to be closed.
bool DriverPeer::answer(Connection& connection, const PeerRequest& request)
{
    Handler current;
    {
        std::lock_guard guard(lock);
        current = handler;
    }
    const PeerReply reply = current(request);
    QByteArray bytes;
    switch (reply.kind) {
    case PeerReply::Kind::Silent:
        return true;
    case PeerReply::Kind::Close:
        return false;
    case PeerReply::Kind::Raw:
        bytes = reply.raw;
        break;
    case PeerReply::Kind::Answer:
        bytes = le32(reply.status) + le32(reply.error) +
                le32(static_cast<std::uint32_t>(reply.output.size())) + reply.output;
        break;
    }
    return writeAll(connection.fd, bytes, reply.chunkSize, reply.chunkDelayMs) && !reply.closeAfter;
}

void DriverPeer::serve()
{
    for (;;) {
        std::vector<pollfd> watched{{wakeFds[0], POLLIN, 0}, {listenFd, POLLIN, 0}};
        for (const Connection& c : connections)
            watched.push_back({c.fd, POLLIN, 0});
        if (::poll(watched.data(), watched.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (watched[0].revents)
            break;
        std::vector<std::size_t> finished;
        for (std::size_t i = 0; i < connections.size(); ++i) {
            if (!watched[i + 2].revents)
                continue;
            Connection& c = connections[i];
            char buffer[65536];
            const ssize_t got = ::recv(c.fd, buffer, sizeof buffer, 0);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                finished.push_back(i);
                continue;
            }
            c.pending.append(buffer, got);
            while (c.pending.size() >= 12) {
                const std::uint32_t inLength = readLe32(c.pending.constData() + 4);
                if (c.pending.size() < 12 + qsizetype(inLength))
                    break;
                PeerRequest request;
                request.code = readLe32(c.pending.constData());
                request.outputLength = readLe32(c.pending.constData() + 8);
                request.input = c.pending.mid(12, inLength);
                c.pending.remove(0, 12 + inLength);
                {
                    std::lock_guard guard(lock);
                    seen.append(request);
                }
                if (!answer(c, request)) {
                    finished.push_back(i);
                    break;
                }
            }
        }
        for (auto it = finished.rbegin(); it != finished.rend(); ++it) {
            ::close(connections[*it].fd);
            connections.erase(connections.begin() + static_cast<std::ptrdiff_t>(*it));
            --open;
        }
        if (watched[1].revents & POLLIN) {
            const int fd = ::accept(listenFd, nullptr, nullptr);
            if (fd >= 0) {
                connections.push_back({fd, {}});
                ++accepted;
                ++open;
            }
        }
    }
    for (const Connection& c : connections)
        ::close(c.fd);
    connections.clear();
    open = 0;
}
