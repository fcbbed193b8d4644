#pragma once
// A bare client of a device socket for tests that must see the frames themselves: what
// came back (even half a reply), whether the peer closed, and whether it answered at all.
#include <QByteArray>
#include <QString>

struct RawReply
{
    bool answered = false; // a whole reply frame arrived
    bool closed = false;   // the peer closed the connection first
    quint32 status = 0;
    quint32 error = 0;
    quint32 count = 0;
    QByteArray output;
    QByteArray raw; // every byte received of this reply
};

class RawLink
{
public:
    RawLink() = default;
    ~RawLink();
    RawLink(const RawLink&) = delete;
    RawLink& operator=(const RawLink&) = delete;

    // Connects to the socket file; false with errno kept in connectError().
    bool open(const QString& path);
    int connectError() const { return lastErrno; }
    void close();

    // Sends one request frame and waits up to timeoutMs for the whole reply.
    RawReply request(quint32 code, const QByteArray& input = {}, quint32 outputLength = 0,
                     int timeoutMs = 2000);
    // Waits up to timeoutMs for the next reply frame, reading no byte beyond it.
    RawReply next(int timeoutMs = 2000);
    // Sends arbitrary bytes (for broken frames).
    bool sendRaw(const QByteArray& bytes);
    // Waits up to timeoutMs for the peer to close; true when it did.
    bool waitClosed(int timeoutMs);

    static QByteArray u32(quint32 value);
    static quint32 u32At(const QByteArray& bytes, int at);

private:
    int fd = -1;
    int lastErrno = 0;
};
