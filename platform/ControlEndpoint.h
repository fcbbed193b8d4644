#pragma once
// The program's local control endpoint: one per user and login session, served from
// the calling thread's event loop without blocking it. Windows: the overlapped named
// pipe \\.\pipe\QuorvixMixer.Control.<session>, first instance only, local clients
// only, open to the user's own SID alone. Elsewhere: the Unix socket
// <runtime dir>/quorvix/control (folder 0700, socket 0600), whose peers of another uid
// are refused. This layer moves bytes; what a request means is decided above it.
#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

namespace platform {

class ControlEndpoint
{
public:
    // What the endpoint reports, each on the thread that created it. A client is
    // named by an id that is never reused.
    struct Events
    {
        std::function<void(int client)> accepted;
        std::function<void(int client, const QByteArray& bytes)> received;
        std::function<void(int client)> gone; // the client closed its end
        // The bytes that send() could not hand to the system at once are now sent.
        std::function<void(int client)> writable;
    };

    explicit ControlEndpoint(Events events);
    ~ControlEndpoint();
    ControlEndpoint(const ControlEndpoint&) = delete;
    ControlEndpoint& operator=(const ControlEndpoint&) = delete;

    // Creates the endpoint and starts serving it. False, with the reason, when the name
    // is held by another live process (never shared or taken over) or the system
    // refused; a stale socket of a killed copy is replaced.
    bool listen(QString& reason);
    // Sends bytes (a reply far smaller than the system's buffers) and ends the client.
    void reply(int client, const QByteArray& bytes);
    // Sends bytes and keeps the client. Never waits: what the system does not take now
    // is kept and sent as the client reads; the caller bounds it (see unsent()). A client
    // that went away is reported by `gone`, never here.
    void send(int client, const QByteArray& bytes);
    // The bytes given to send() that the system has not taken yet.
    qsizetype unsent(int client) const;
    // Ends the client without a word.
    void drop(int client);
    // The endpoint's name for log lines: the pipe name or the socket path.
    QString name() const;

private:
    struct State;
    std::unique_ptr<State> d;
};

} // namespace platform
