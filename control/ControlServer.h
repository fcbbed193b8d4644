#pragma once
// Serves quorvix-ctl on the program's control endpoint from the GUI thread's event
// loop: one request line per connection and one reply. A client that is silent for
// 1 s, sends more than 4 KiB, bytes that are not UTF-8 or an unknown request gets a
// one-line error and is disconnected; beyond 8 clients at a time the rest are closed
// at once. `watch` keeps its connection: the reply carries the state, and the changes
// follow (ControlWatchers) until either side closes; at most kMaxWatchers at a time,
// apart from the 8, and one more is refused with exit code 4. Created once the main
// window exists; lives as long as it may.
#include "control/ControlRequests.h"

#include <QByteArray>
#include <QObject>

#include <map>
#include <memory>

class ControlWatchers;
class MainWindow;
class QTimer;

namespace platform {
class ControlEndpoint;
}

class ControlServer : public QObject
{
public:
    explicit ControlServer(MainWindow* window, QObject* parent = nullptr);
    ~ControlServer() override;

    // Starts the endpoint; when it cannot start, logs one line and returns false, and
    // the program runs on without it.
    bool start();

    static constexpr int kMaxClients = 8;
    static constexpr int kSilentClientMs = 1000;

private:
    struct Client
    {
        QByteArray pending;
        QTimer* deadline = nullptr;
    };

    void accepted(int id);
    void received(int id, const QByteArray& bytes);
    void gone(int id);
    void answer(int id, const QByteArray& reply);
    void refuse(int id, const QString& message);
    // Starts a watch for the client; false when the request is not one.
    bool watch(int id, const QStringList& fields);

    ControlRequests requests;
    std::unique_ptr<platform::ControlEndpoint> endpoint;
    std::unique_ptr<ControlWatchers> watchers;
    std::map<int, Client> clients;
};
