#include "RawLink.h"

#include <QDeadlineTimer>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

RawLink::~RawLink()
{
    close();
}

bool RawLink::open(const QString& path)
{
    close();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    std::memcpy(address.sun_path, name.constData(),
                std::min<size_t>(name.size() + 1, sizeof address.sun_path - 1));
    // Without waiting, so a listener that does not accept fails the open (EAGAIN).
    fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        return true;
    }
    lastErrno = errno;
    close();
    return false;
}

void RawLink::close()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

QByteArray RawLink::u32(quint32 value)
{
    QByteArray bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    return bytes;
}

quint32 RawLink::u32At(const QByteArray& bytes, int at)
{
    quint32 value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

bool RawLink::sendRaw(const QByteArray& bytes)
{
    return fd >= 0 && send(fd, bytes.constData(), bytes.size(), MSG_NOSIGNAL) == bytes.size();
}

RawReply RawLink::request(quint32 code, const QByteArray& input, quint32 outputLength,
                          int timeoutMs)
{
    if (!sendRaw(u32(code) + u32(input.size()) + u32(outputLength) + input)) {
        RawReply reply;
        reply.closed = true;
        return reply;
    }
    return next(timeoutMs);
}

RawReply RawLink::next(int timeoutMs)
{
    RawReply reply;
    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        // Never read past this frame: a later reply already on the way stays for the next call.
        const qsizetype wanted = reply.raw.size() < 12 ? 12 : 12 + qsizetype(u32At(reply.raw, 8));
        if (reply.raw.size() >= wanted)
            break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(deadline.remainingTime())) <= 0)
            continue;
        char buffer[65536];
        const std::size_t room =
            std::min<std::size_t>(sizeof buffer, std::size_t(wanted - reply.raw.size()));
        const ssize_t got = recv(fd, buffer, room, 0);
        if (got <= 0) {
            reply.closed = true;
            break;
        }
        reply.raw.append(buffer, got);
    }
    if (reply.raw.size() >= 12) {
        reply.status = u32At(reply.raw, 0);
        reply.error = u32At(reply.raw, 4);
        reply.count = u32At(reply.raw, 8);
        reply.answered = reply.raw.size() >= 12 + qsizetype(reply.count);
        reply.output = reply.raw.mid(12, reply.count);
    }
    return reply;
}

bool RawLink::waitClosed(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(deadline.remainingTime())) <= 0)
            continue;
        char buffer[4096];
        if (recv(fd, buffer, sizeof buffer, 0) <= 0)
            return true;
    }
    return false;
}
