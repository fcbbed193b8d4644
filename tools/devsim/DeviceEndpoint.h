#pragma once
// The driver's device socket: accepts connections (one per open handle), cuts request
// frames out of each byte stream and queues reply bytes back, in order per connection.
#include "PollLoop.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

struct RequestFrame
{
    std::uint32_t code = 0;
    std::uint32_t inputLength = 0;
    std::uint32_t outputLength = 0;
    QByteArray input;
    // inputLength is beyond what the simulator accepts; input is empty then and the
    // connection is closed after the reply, since the stream cannot be followed.
    bool oversized = false;
};

class DeviceEndpoint
{
public:
    static constexpr std::uint32_t maxInputLength = 4u * 1024 * 1024;

    using RequestHandler = std::function<void(int connection, const RequestFrame& frame)>;

    DeviceEndpoint(PollLoop& loop, std::string path, RequestHandler handler);
    ~DeviceEndpoint();

    // Starts listening (plug); false with the reason in `error`.
    bool listen(QString& error);
    // Closes every connection and removes the socket file (unplug).
    void shutdown();
    bool isListening() const { return listener >= 0; }
    // Stops or resumes accepting. While busy the listen queue is kept full, so a new
    // open finds no room, as with a driver side that has stopped accepting; handles
    // already open go on working. Unplugging ends it.
    void setBusy(bool busy);
    // At most this many handles open at once (0: no limit); at the limit the endpoint
    // is busy until one closes.
    void setMaxHandles(int count);
    bool isBusy() const { return busyNow; }
    int maxHandles() const { return handleLimit; }

    // Queues reply bytes; with closeAfter the connection closes once they are sent.
    void reply(int connection, const QByteArray& bytes, bool closeAfter = false);

    int openConnections() const { return static_cast<int>(connections.size()); }
    int acceptedConnections() const { return accepted; }
    const std::string& path() const { return socketPath; }

private:
    struct Connection
    {
        int fd = -1;
        QByteArray in;
        QByteArray out;
        bool closing = false;
    };

    void acceptPending();
    void readFrom(int id);
    void processFrames(int id);
    void flush(int id);
    void drop(int id);
    void updateBusy();
    void closeFillers();

    PollLoop& loop;
    std::string socketPath;
    RequestHandler handler;
    int listener = -1;
    int accepted = 0;
    std::map<int, Connection> connections;
    bool busyOrdered = false;
    bool busyNow = false;
    int handleLimit = 0;
    // Own connections that occupy the listen queue while busy.
    std::vector<int> fillers;
};
