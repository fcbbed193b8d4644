#include "control/ControlServer.h"

#include "control/ControlWatchers.h"
#include "control/ControlWire.h"
#include "platform/ControlEndpoint.h"

#include <QDebug>
#include <QStringDecoder>
#include <QTimer>

ControlServer::ControlServer(MainWindow* window, QObject* parent)
    : QObject(parent), requests(window)
{
    platform::ControlEndpoint::Events events;
    events.accepted = [this](int id) { accepted(id); };
    events.received = [this](int id, const QByteArray& bytes) { received(id, bytes); };
    events.gone = [this](int id) {
        gone(id);
        watchers->remove(id);
    };
    events.writable = [this](int id) { watchers->writable(id); };
    endpoint = std::make_unique<platform::ControlEndpoint>(std::move(events));
    watchers = std::make_unique<ControlWatchers>(window, *endpoint);
}

ControlServer::~ControlServer()
{
    // The watchers go first, as they send through the endpoint; then the endpoint, so no
    // event reaches a half-destroyed server.
    watchers.reset();
    endpoint.reset();
}

bool ControlServer::start()
{
    QString reason;
    if (endpoint->listen(reason))
        return true;
    qDebug().noquote() << "Control endpoint not started:" << endpoint->name() << reason;
    return false;
}

void ControlServer::accepted(int id)
{
    if (clients.size() >= kMaxClients) {
        endpoint->drop(id);
        return;
    }
    Client& client = clients[id];
    client.deadline = new QTimer(this);
    client.deadline->setSingleShot(true);
    connect(client.deadline, &QTimer::timeout, this,
            [this, id] { refuse(id, QStringLiteral("no request within 1 s")); });
    client.deadline->start(kSilentClientMs);
}

void ControlServer::received(int id, const QByteArray& bytes)
{
    // A watcher has nothing more to ask; what it sends is read only to hear it close.
    auto it = clients.find(id);
    if (it == clients.end())
        return;
    QByteArray& pending = it->second.pending;
    pending += bytes;
    const qsizetype end = pending.indexOf('\n');
    if (end < 0) {
        if (pending.size() > qsizetype(controlwire::kMaxRequest))
            refuse(id, QStringLiteral("request longer than 4 KiB"));
        return;
    }
    QByteArray line = pending.left(end);
    if (line.endsWith('\r'))
        line.chop(1);
    if (line.size() > qsizetype(controlwire::kMaxRequest)) {
        refuse(id, QStringLiteral("request longer than 4 KiB"));
        return;
    }
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8(line);
    if (utf8.hasError()) {
        refuse(id, QStringLiteral("request is not UTF-8"));
        return;
    }
    const QStringList fields = text.split(QChar(controlwire::kSeparator));
    if (watch(id, fields))
        return;
    const ControlReply reply = requests.handle(fields);
    answer(id, QByteArray::fromStdString(controlwire::reply(reply.code, reply.message.toStdString(),
                                                            reply.output.toStdString())));
}

bool ControlServer::watch(int id, const QStringList& fields)
{
    const bool json = fields.size() == 2 && fields[1] == QLatin1String("--json");
    if (fields.value(0) != QLatin1String("watch") || (fields.size() != 1 && !json))
        return false;
    if (watchers->full()) {
        answer(id, QByteArray::fromStdString(controlwire::reply(
                       controlwire::Refused,
                       QStringLiteral("too many watchers: Quorvix Mixer serves at most %1 at a "
                                      "time")
                           .arg(ControlWatchers::kMaxWatchers)
                           .toStdString(),
                       {})));
        return true;
    }
    gone(id); // no longer a client with a request to come
    const QString first = watchers->add(id, json);
    endpoint->send(id, QByteArray::fromStdString(
                           controlwire::reply(controlwire::Done, {}, first.toStdString())));
    return true;
}

void ControlServer::refuse(int id, const QString& message)
{
    answer(id, QByteArray::fromStdString(
                   controlwire::reply(controlwire::BadInput, message.toStdString(), {})));
}

void ControlServer::answer(int id, const QByteArray& reply)
{
    gone(id);
    endpoint->reply(id, reply);
}

void ControlServer::gone(int id)
{
    auto it = clients.find(id);
    if (it == clients.end())
        return;
    // The timer may be the one whose timeout runs now.
    it->second.deadline->stop();
    it->second.deadline->deleteLater();
    clients.erase(it);
}
