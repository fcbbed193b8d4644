#include "control/ControlWatchers.h"

#include "platform/ControlEndpoint.h"

#include <QTimer>

#include <algorithm>

ControlWatchers::ControlWatchers(MainWindow* window, platform::ControlEndpoint& endpoint,
                                 QObject* parent)
    : QObject(parent), endpoint(endpoint), state(window, [this] { changed(); })
{}

ControlWatchers::~ControlWatchers()
{
    while (!watchers.empty())
        remove(watchers.begin()->first);
}

QString ControlWatchers::add(int client, bool json)
{
    Watcher& watcher = watchers[client];
    watcher.json = json;
    const controltext::State& now = state.state();
    watcher.toldConnected = now.connected;
    watcher.toldConnection = state.connection();
    for (const controltext::Value& value : now.values)
        watcher.told.push_back(value.value);
    watcher.batch = new QTimer(this);
    watcher.batch->setSingleShot(true);
    connect(watcher.batch, &QTimer::timeout, this, [this, client] { send(client); });
    watcher.lastBatch.start();
    return json ? controltext::statusJson(now, QStringLiteral("status"))
                : controltext::stateLines(now);
}

void ControlWatchers::remove(int client)
{
    auto it = watchers.find(client);
    if (it == watchers.end())
        return;
    // The timer may be the one whose timeout runs now.
    it->second.batch->stop();
    it->second.batch->deleteLater();
    watchers.erase(it);
}

void ControlWatchers::writable(int client)
{
    auto it = watchers.find(client);
    if (it != watchers.end())
        schedule(it->second);
}

void ControlWatchers::changed()
{
    for (auto& [client, watcher] : watchers)
        schedule(watcher);
}

void ControlWatchers::schedule(Watcher& watcher)
{
    if (watcher.batch->isActive())
        return;
    const qint64 since = watcher.lastBatch.elapsed();
    watcher.batch->start(int(std::max<qint64>(0, kBatchIntervalMs - since)));
}

void ControlWatchers::send(int client)
{
    auto it = watchers.find(client);
    if (it == watchers.end() || endpoint.unsent(client) > 0)
        return; // a watcher that does not read hears again once it has read
    Watcher& watcher = it->second;
    const controltext::State& now = state.state();
    QString out;
    if (watcher.toldConnected && (!now.connected || watcher.toldConnection != state.connection())) {
        out += watcher.json ? QStringLiteral("{\"event\": \"disconnected\"}\n")
                            : QStringLiteral("disconnected\n");
        watcher.toldConnected = false;
    }
    if (now.connected && !watcher.toldConnected) {
        out += watcher.json ? controltext::statusJson(now, QStringLiteral("connected"))
                            : controltext::stateLines(now);
        watcher.toldConnected = true;
        watcher.toldConnection = state.connection();
        watcher.told.clear();
        for (const controltext::Value& value : now.values)
            watcher.told.push_back(value.value);
    } else if (now.connected) {
        for (std::size_t i = 0; i < now.values.size() && i < watcher.told.size(); ++i) {
            if (now.values[i].value == watcher.told[i])
                continue;
            watcher.told[i] = now.values[i].value;
            out += watcher.json ? controltext::changedJson(now.values[i])
                                : controltext::changedLine(now.values[i]);
        }
    }
    if (out.isEmpty())
        return;
    watcher.lastBatch.start();
    endpoint.send(client, out.toUtf8());
}
