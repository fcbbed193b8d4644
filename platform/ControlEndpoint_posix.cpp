// The control endpoint on a Unix socket in the private endpoint folder.
#include "platform/ControlEndpoint.h"
#include "platform/PlatformTypes.h"
#include "platform/PosixSupport.h"

#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <map>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

struct ControlEndpoint::State
{
    struct Client
    {
        int fd = -1;
        std::unique_ptr<QSocketNotifier> notifier;
        // Bytes the socket did not take yet, and the notifier that sends them when it can.
        QByteArray unsent;
        std::unique_ptr<QSocketNotifier> writer;
    };

    Events events;
    std::string path;
    std::uint64_t inode = 0;
    int listenFd = -1;
    std::unique_ptr<QSocketNotifier> listenNotifier;
    std::map<int, Client> clients;
    int nextId = 1;

    void acceptAll();
    void readFrom(int id);
    void writeTo(int id);
    void close(int id);
};

ControlEndpoint::ControlEndpoint(Events events) : d(std::make_unique<State>())
{
    d->events = std::move(events);
    d->path = endpointFolder() + "/control";
}

ControlEndpoint::~ControlEndpoint()
{
    while (!d->clients.empty())
        d->close(d->clients.begin()->first);
    if (d->listenFd < 0)
        return;
    d->listenNotifier.reset();
    ::close(d->listenFd);
    // Remove the socket file only while it is still the one this endpoint made.
    struct stat now
    {
    };
    if (::lstat(d->path.c_str(), &now) == 0 && now.st_ino == d->inode)
        ::unlink(d->path.c_str());
}

bool ControlEndpoint::listen(QString& reason)
{
    const int fd = listenOnSocketFile(d->path, d->inode);
    if (fd < 0) {
        const std::uint32_t code = lastError();
        reason = code == error::PipeBusy       ? QStringLiteral("served by another process")
                 : code == error::AccessDenied ? QStringLiteral("held by another owner")
                                               : QStringLiteral("system error %1").arg(code);
        return false;
    }
    d->listenFd = fd;
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    d->listenNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QObject::connect(d->listenNotifier.get(), &QSocketNotifier::activated,
                     [state = d.get()] { state->acceptAll(); });
    return true;
}

void ControlEndpoint::State::acceptAll()
{
    for (;;) {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return; // EAGAIN: nothing more waiting; anything else ends this round too
        ucred peer{};
        socklen_t size = sizeof peer;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
            peer.uid != ::geteuid()) {
            ::close(fd); // another user's process never gets a word
            continue;
        }
        const int id = nextId++;
        clients[id].fd = fd;
        if (events.accepted)
            events.accepted(id);
        // A client dropped at once (one too many) costs no notifier.
        auto it = clients.find(id);
        if (it == clients.end())
            continue;
        it->second.notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        QObject::connect(it->second.notifier.get(), &QSocketNotifier::activated,
                         [this, id] { readFrom(id); });
    }
}

void ControlEndpoint::State::readFrom(int id)
{
    auto it = clients.find(id);
    if (it == clients.end())
        return;
    char buffer[4096];
    const ssize_t got = ::recv(it->second.fd, buffer, sizeof buffer, 0);
    if (got < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (got <= 0) {
        close(id);
        if (events.gone)
            events.gone(id);
        return;
    }
    if (events.received)
        events.received(id, QByteArray(buffer, static_cast<int>(got)));
}

void ControlEndpoint::State::writeTo(int id)
{
    auto it = clients.find(id);
    if (it == clients.end())
        return;
    Client& client = it->second;
    const ssize_t n = ::send(client.fd, client.unsent.constData(),
                             static_cast<size_t>(client.unsent.size()), MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n < 0) {
        // A broken connection: the read notifier reports the client gone.
        client.unsent.clear();
    } else {
        client.unsent.remove(0, n);
    }
    if (!client.unsent.isEmpty())
        return;
    client.writer->setEnabled(false);
    if (events.writable)
        events.writable(id);
}

void ControlEndpoint::State::close(int id)
{
    auto it = clients.find(id);
    if (it == clients.end())
        return;
    it->second.notifier.reset();
    it->second.writer.reset();
    ::close(it->second.fd);
    clients.erase(it);
}

void ControlEndpoint::reply(int client, const QByteArray& bytes)
{
    auto it = d->clients.find(client);
    if (it == d->clients.end())
        return;
    // The reply fits the socket's buffer, so this never waits; a client that left
    // simply misses it.
    ::send(it->second.fd, bytes.constData(), static_cast<size_t>(bytes.size()), MSG_NOSIGNAL);
    d->close(client);
}

void ControlEndpoint::send(int client, const QByteArray& bytes)
{
    auto it = d->clients.find(client);
    if (it == d->clients.end())
        return;
    State::Client& c = it->second;
    if (!c.unsent.isEmpty()) {
        c.unsent += bytes;
        return;
    }
    // The socket is non-blocking: this takes what fits and returns at once.
    ssize_t n = ::send(c.fd, bytes.constData(), static_cast<size_t>(bytes.size()), MSG_NOSIGNAL);
    if (n < 0 && errno != EAGAIN && errno != EINTR)
        return; // a broken connection: the read notifier reports the client gone
    n = std::max<ssize_t>(n, 0);
    if (n == bytes.size())
        return;
    c.unsent = bytes.mid(n);
    if (!c.writer) {
        c.writer = std::make_unique<QSocketNotifier>(c.fd, QSocketNotifier::Write);
        QObject::connect(c.writer.get(), &QSocketNotifier::activated,
                         [state = d.get(), client] { state->writeTo(client); });
    }
    c.writer->setEnabled(true);
}

qsizetype ControlEndpoint::unsent(int client) const
{
    auto it = d->clients.find(client);
    return it == d->clients.end() ? 0 : it->second.unsent.size();
}

void ControlEndpoint::drop(int client)
{
    d->close(client);
}

QString ControlEndpoint::name() const
{
    return QString::fromStdString(d->path);
}

} // namespace platform
