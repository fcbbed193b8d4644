#include "PrivateSystemBus.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

namespace {

const char* const kVariable = "DBUS_SYSTEM_BUS_ADDRESS";
const QString kStrangerConnection = QStringLiteral("private-system-bus-stranger");

// Anyone may own any name and send anything: the test decides who speaks.
const char* const kConfig = R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=%1</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
)";

bool readLine(QProcess& process, QByteArray& line, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!process.canReadLine()) {
        if (deadline.hasExpired() || process.state() == QProcess::NotRunning)
            return false;
        process.waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
    }
    line = process.readLine().trimmed();
    return true;
}

void stopProcess(std::unique_ptr<QProcess>& process)
{
    if (!process)
        return;
    if (process->state() != QProcess::NotRunning) {
        process->closeWriteChannel();
        process->terminate();
        if (!process->waitForFinished(3000)) {
            process->kill();
            process->waitForFinished(3000);
        }
    }
    process.reset();
}

} // namespace

PrivateSystemBus::PrivateSystemBus() = default;

PrivateSystemBus::~PrivateSystemBus()
{
    QDBusConnection::disconnectFromBus(kStrangerConnection);
    stopProcess(logind);
    stopProcess(daemon);
    if (hadAddress)
        qputenv(kVariable, previousAddress);
    else
        qunsetenv(kVariable);
}

bool PrivateSystemBus::start()
{
    QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.isEmpty())
        runtime = QDir::tempPath();
    const QString folder = runtime + QStringLiteral("/system-bus");
    QDir().mkpath(folder);
    const QString socket = folder + QStringLiteral("/socket");
    QFile::remove(socket);
    QFile config(folder + QStringLiteral("/bus.conf"));
    if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        config.write(QString::fromLatin1(kConfig).arg(socket).toUtf8()) < 0) {
        qWarning("PrivateSystemBus: cannot write %s", qPrintable(config.fileName()));
        return false;
    }
    config.close();

    const QString program = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    if (program.isEmpty()) {
        qWarning("PrivateSystemBus: dbus-daemon is not installed (scripts/install-deps.sh)");
        return false;
    }
    daemon = std::make_unique<QProcess>();
    daemon->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    daemon->start(program, {"--nofork", "--nopidfile", "--print-address=1",
                            "--config-file=" + config.fileName()});
    QByteArray printed;
    if (!daemon->waitForStarted(5000) || !readLine(*daemon, printed, 30000)) {
        qWarning("PrivateSystemBus: dbus-daemon did not come up");
        return false;
    }
    // Without the daemon's guid: libdbus reads the variable once per process, so every
    // bus of a test program must answer to the same address.
    address = QStringLiteral("unix:path=") + socket;

    hadAddress = qEnvironmentVariableIsSet(kVariable);
    previousAddress = qgetenv(kVariable);
    qputenv(kVariable, address.toUtf8());

    logind = std::make_unique<QProcess>();
    logind->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    logind->start(QStringLiteral(QUORVIX_BIN_DIR "/quorvix-logind"), {});
    QByteArray ready;
    if (!logind->waitForStarted(5000) || !readLine(*logind, ready, 30000) || ready != "ready") {
        qWarning("PrivateSystemBus: quorvix-logind did not take logind's name");
        return false;
    }
    return true;
}

bool PrivateSystemBus::resumeFromLogind(int count, int gapMs)
{
    return logindCommand(QStringLiteral("resume %1 %2").arg(count).arg(gapMs).toUtf8());
}

bool PrivateSystemBus::sleepFromLogind()
{
    return logindCommand("sleep");
}

bool PrivateSystemBus::logindCommand(const QByteArray& line)
{
    if (!logind)
        return false;
    logind->write(line + '\n');
    // The event loop runs meanwhile, so the program hears each signal as it comes.
    if (!QTest::qWaitFor([this] { return logind->canReadLine(); }, 60000))
        return false;
    return logind->readLine().startsWith("ok");
}

bool PrivateSystemBus::resumeFromStranger()
{
    QDBusConnection stranger = QDBusConnection::connectToBus(address, kStrangerConnection);
    if (!stranger.isConnected())
        return false;
    QDBusMessage signal = QDBusMessage::createSignal(
        QStringLiteral("/org/freedesktop/login1"), QStringLiteral("org.freedesktop.login1.Manager"),
        QStringLiteral("PrepareForSleep"));
    signal << false;
    if (!stranger.send(signal))
        return false;
    // One round trip through the bus: once it is answered, the signal has been routed.
    const QDBusMessage pong = stranger.call(QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping")));
    return pong.type() == QDBusMessage::ReplyMessage;
}
