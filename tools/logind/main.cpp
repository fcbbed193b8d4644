// quorvix-logind: stands in for systemd-logind on the system bus that
// DBUS_SYSTEM_BUS_ADDRESS names (a private one in tests and demos). It owns the name
// org.freedesktop.login1 and, for each line on standard input, sends the Manager's
// PrepareForSleep signal from /org/freedesktop/login1:
//   sleep              PrepareForSleep(true), the computer goes to sleep
//   resume [N [MS]]    PrepareForSleep(false) N times (default 1), MS ms apart (default 0)
// It prints "ready" once it owns the name, one "ok ..." or "error ..." line per command,
// and ends at the end of its input.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusMessage>
#include <QSocketNotifier>
#include <QStringList>
#include <QThread>

#include <cstdio>
#include <unistd.h>

namespace {

const QString kName = QStringLiteral("org.freedesktop.login1");

void reply(const QString& line)
{
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

bool sendSleepSignal(QDBusConnection& bus, bool goingToSleep)
{
    QDBusMessage signal = QDBusMessage::createSignal(
        QStringLiteral("/org/freedesktop/login1"), QStringLiteral("org.freedesktop.login1.Manager"),
        QStringLiteral("PrepareForSleep"));
    signal << goingToSleep;
    return bus.send(signal);
}

QString execute(QDBusConnection& bus, const QString& line)
{
    const QStringList words = line.simplified().split(' ', Qt::SkipEmptyParts);
    if (words.isEmpty())
        return QStringLiteral("error empty command");
    if (words[0] == QLatin1String("sleep") && words.size() == 1)
        return sendSleepSignal(bus, true) ? QStringLiteral("ok sleep")
                                          : QStringLiteral("error not sent");
    if (words[0] != QLatin1String("resume") || words.size() > 3)
        return QStringLiteral("error commands: sleep, resume [count [ms apart]]");
    bool countOk = true;
    bool gapOk = true;
    const int count = words.size() > 1 ? words[1].toInt(&countOk) : 1;
    const int gapMs = words.size() > 2 ? words[2].toInt(&gapOk) : 0;
    if (!countOk || !gapOk || count < 1 || count > 100000 || gapMs < 0 || gapMs > 60000)
        return QStringLiteral("error resume takes a count of 1..100000 and 0..60000 ms");
    for (int i = 0; i < count; ++i) {
        if (i > 0 && gapMs > 0)
            QThread::msleep(gapMs);
        if (!sendSleepSignal(bus, false))
            return QStringLiteral("error not sent after %1").arg(i);
    }
    // One round trip through the bus: once it is answered, the signals have been routed.
    bus.call(QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping")));
    return QStringLiteral("ok resume %1").arg(count);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "quorvix-logind: no system bus: %s\n",
                     bus.lastError().message().toLocal8Bit().constData());
        return 1;
    }
    if (!bus.registerService(kName)) {
        std::fprintf(stderr, "quorvix-logind: cannot own %s: %s\n", qPrintable(kName),
                     bus.lastError().message().toLocal8Bit().constData());
        return 1;
    }
    reply(QStringLiteral("ready"));

    QByteArray pending;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buffer[1024];
        const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
        if (got <= 0) {
            input.setEnabled(false);
            QCoreApplication::quit();
            return;
        }
        pending.append(buffer, got);
        qsizetype end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(pending.left(end));
            pending.remove(0, end + 1);
            reply(execute(bus, line));
        }
    });
    return QCoreApplication::exec();
}
