#include "control/ControlServer.h"

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
    events.gone = [this](int id) { gone(id); };
    endpoint = std::make_unique<platform::ControlEndpoint>(std::move(events));
}

ControlServer::~ControlServer()
{
    // The endpoint goes first, so no event reaches a half-destroyed server.
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
    const ControlReply reply = requests.handle(text.split(QChar(controlwire::kSeparator)));
    answer(id, QByteArray::fromStdString(controlwire::reply(reply.code, reply.message.toStdString(),
                                                            reply.output.toStdString())));
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
