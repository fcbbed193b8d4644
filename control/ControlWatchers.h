#pragma once
// The clients of `watch`: each gets the state once, then a line for every control whose
// value differs from what it was last told, and a line when the interface comes or goes.
//
// Nothing is queued per change. A watcher holds the values it was last told; when
// anything changed, one batch compares them with the state now, so a control that moved
// many times between two batches gives one line with its latest value, a control that
// came back to its old value gives none, and the last line about a control is always
// its value now. A watcher gets at most one batch every kBatchIntervalMs, and no batch
// while the bytes of its last one are still unsent (it does not read): its memory stays
// one batch and a few values whatever happens, the GUI thread never waits, and once it
// reads again the next batch brings every control that changed meanwhile.
#include "control/ControlState.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <map>
#include <vector>

class MainWindow;
class QTimer;

namespace platform {
class ControlEndpoint;
}

class ControlWatchers : public QObject
{
public:
    static constexpr int kMaxWatchers = 4;
    static constexpr int kBatchIntervalMs = 20;

    ControlWatchers(MainWindow* window, platform::ControlEndpoint& endpoint,
                    QObject* parent = nullptr);
    ~ControlWatchers() override;

    bool full() const { return watchers.size() >= std::size_t(kMaxWatchers); }
    bool has(int client) const { return watchers.count(client) != 0; }
    // Makes `client` a watcher, in JSON or in plain lines, and returns what it gets first:
    // the state now.
    QString add(int client, bool json);
    void remove(int client);
    // The client's unsent bytes went out: what changed meanwhile follows.
    void writable(int client);

private:
    struct Watcher
    {
        bool json = false;
        bool toldConnected = false;
        quint64 toldConnection = 0;
        std::vector<int> told;
        QTimer* batch = nullptr;
        QElapsedTimer lastBatch;
    };

    void changed();
    void schedule(Watcher& watcher);
    void send(int client);

    platform::ControlEndpoint& endpoint;
    std::map<int, Watcher> watchers;
    // After the watchers, which its first look may already tell.
    ControlState state;
};
