#pragma once
// An in-process stand-in for the kernel driver: listens on one device socket of the
// test's endpoint folder, records every request frame and answers each one as the
// test's handler says, including answers that break the link's rules.
#include <QByteArray>
#include <QList>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

struct PeerRequest
{
    std::uint32_t code = 0;
    QByteArray input;
    std::uint32_t outputLength = 0;
};

struct PeerReply
{
    enum class Kind
    {
        Answer, // a well-formed reply frame: status, error, output
        Raw,    // `raw` exactly as given
        Silent, // no answer at all; the connection stays open
        Close,  // close the connection without answering
    };
    Kind kind = Kind::Answer;
    std::uint32_t status = 1;
    std::uint32_t error = 0;
    QByteArray output;
    QByteArray raw;
    bool closeAfter = false; // close the connection once the bytes are written
    int chunkSize = 0;       // > 0: write in pieces of this size ...
    int chunkDelayMs = 0;    // ... with this pause before each piece

    static PeerReply ok(const QByteArray& output = {});
    static PeerReply refuse(std::uint32_t error);
    static PeerReply rawBytes(const QByteArray& bytes, bool closeAfter);
    static PeerReply of(Kind kind);
};

class DriverPeer
{
public:
    using Handler = std::function<PeerReply(const PeerRequest&)>;

    explicit DriverPeer(int bus = 0);
    ~DriverPeer();
    DriverPeer(const DriverPeer&) = delete;
    DriverPeer& operator=(const DriverPeer&) = delete;

    // Binds and listens on the device socket, then serves on a thread of its own.
    bool start();
    // Stops serving, closes every connection and removes the socket file.
    void stop();

    void setHandler(Handler handler);

    QList<PeerRequest> requests() const;
    int connectionCount() const; // accepted so far
    int openConnections() const; // currently open
    // Waits until the peer has seen at least `count` requests.
    bool waitForRequests(int count, int timeoutMs = 3000) const;
    // Waits until no connection is open any more.
    bool waitForNoConnections(int timeoutMs = 3000) const;

    static QByteArray le32(std::uint32_t value);

private:
    struct Connection
    {
        int fd = -1;
        QByteArray pending;
    };

    void serve();
    bool answer(Connection& connection, const PeerRequest& request);
    bool writeAll(int fd, const QByteArray& bytes, int chunkSize, int chunkDelayMs);

    int bus;
    int listenFd = -1;
    int wakeFds[2] = {-1, -1};
    std::thread worker;
    std::atomic<int> accepted{0};
    std::atomic<int> open{0};
    mutable std::mutex lock;
    Handler handler;
    QList<PeerRequest> seen;
    std::vector<Connection> connections;
};
