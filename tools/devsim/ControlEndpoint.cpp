#include "ControlEndpoint.h"

#include "UnixSocket.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

ControlEndpoint::ControlEndpoint(PollLoop& loop, std::string path, CommandHandler handler)
    : loop(loop), socketPath(std::move(path)), handler(std::move(handler))
{}

ControlEndpoint::~ControlEndpoint()
{
    while (!pending.empty())
        drop(pending.begin()->first);
    if (listener >= 0) {
        loop.unwatch(listener);
        close(listener);
        unlink(socketPath.c_str());
    }
}

bool ControlEndpoint::listen(QString& error)
{
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

void ControlEndpoint::acceptPending()
{
    for (;;) {
        const int fd = UnixSocket::acceptFrom(listener);
        if (fd < 0)
            return;
        pending[fd] = QByteArray();
        loop.watch(fd, POLLIN, [this, fd](short) { readFrom(fd); });
    }
}

void ControlEndpoint::readFrom(int fd)
{
    char buffer[4096];
    const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
        return;
    if (got <= 0) {
        drop(fd);
        return;
    }
    QByteArray& line = pending[fd];
    line.append(buffer, got);
    qsizetype end;
    while ((end = line.indexOf('\n')) >= 0) {
        const QString command = QString::fromUtf8(line.left(end)).trimmed();
        line.remove(0, end + 1);
        if (!command.isEmpty())
            sendLine(fd, handler(command));
        // The handler may have ended the simulator's run or dropped this peer.
        if (!pending.count(fd))
            return;
    }
    if (line.size() > maxLineLength) {
        sendLine(fd, QStringLiteral("error command line too long"));
        drop(fd);
    }
}

void ControlEndpoint::sendLine(int fd, const QString& line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    qsizetype done = 0;
    while (done < bytes.size()) {
        const long sent = UnixSocket::sendSome(fd, bytes.constData() + done, bytes.size() - done);
        if (sent < 0)
            return;
        if (sent == 0) {
            pollfd p{fd, POLLOUT, 0};
            if (poll(&p, 1, 1000) <= 0)
                return;
        }
        done += sent;
    }
}

void ControlEndpoint::drop(int fd)
{
    loop.unwatch(fd);
    close(fd);
    pending.erase(fd);
}
