#include "DeviceSimulator.h"

#include "driver/DriverTypes.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

QString endpointFolder()
{
    QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.isEmpty())
        runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return runtime + QStringLiteral("/quorvix");
}

// The value of `--name VALUE` or `--name=VALUE`, or an empty string.
QString optionValue(const QStringList& arguments, const QString& name)
{
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == name && i + 1 < arguments.size())
            return arguments[i + 1];
        if (arguments[i].startsWith(name + '='))
            return arguments[i].mid(name.size() + 1);
    }
    return {};
}

JournalEntry parseEntry(const QJsonObject& line)
{
    JournalEntry entry;
    entry.timeMs = line.value("timeMs").toInteger();
    entry.connection = line.value("connection").toInt();
    entry.code = static_cast<quint32>(line.value("code").toInteger());
    entry.input = QByteArray::fromHex(line.value("inputHex").toString().toLatin1());
    entry.outputLength = static_cast<quint32>(line.value("outputLength").toInteger());
    entry.ok = line.value("ok").toBool();
    entry.error = static_cast<quint32>(line.value("error").toInteger());
    entry.output = QByteArray::fromHex(line.value("outputHex").toString().toLatin1());
    entry.decoded = line.value("decoded").toObject();
    entry.decoded.insert("name", line.value("name"));
    for (const char* key : {"fault", "refused", "answered", "inputLength"})
        if (line.contains(key))
            entry.decoded.insert(key, line.value(key));
    return entry;
}

} // namespace

DeviceSimulator::DeviceSimulator() = default;

DeviceSimulator::~DeviceSimulator()
{
    stop();
}

bool DeviceSimulator::start(const QStringList& arguments)
{
    stop();
    const QString folder = endpointFolder();
    const QString busText = optionValue(arguments, "--bus");
    bus = busText.isEmpty() ? 0 : busText.toInt();
    journalFile = optionValue(arguments, "--journal");
    if (journalFile.isEmpty())
        journalFile = QStringLiteral("%1/devsim-%2.journal").arg(folder).arg(bus);
    controlSocket = optionValue(arguments, "--control");
    if (controlSocket.isEmpty())
        controlSocket = QStringLiteral("%1/devsim-%2.ctl").arg(folder).arg(bus);

    process = std::make_unique<QProcess>();
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->start(QStringLiteral(QUORVIX_BIN_DIR "/quorvix-devsim"),
                   QStringList{"--quiet"} + arguments);
    if (!process->waitForStarted(5000)) {
        qWarning("DeviceSimulator: cannot start %s: %s", QUORVIX_BIN_DIR "/quorvix-devsim",
                 qPrintable(process->errorString()));
        process.reset();
        return false;
    }
    // The simulator listens on its device socket before its control socket, so an answer
    // on the control socket means it is ready.
    // Long enough for a loaded machine's first start of the program.
    const QDeadlineTimer deadline(30000);
    while (!deadline.hasExpired()) {
        if (process->waitForFinished(10)) {
            qWarning("DeviceSimulator: quorvix-devsim exited with %d", process->exitCode());
            process.reset();
            return false;
        }
        if (control(QStringLiteral("help")).startsWith("ok"))
            return true;
    }
    qWarning("DeviceSimulator: quorvix-devsim did not answer within 30 s");
    stop();
    return false;
}

void DeviceSimulator::stop()
{
    if (!process)
        return;
    if (process->state() != QProcess::NotRunning) {
        control(QStringLiteral("quit"));
        if (!process->waitForFinished(3000)) {
            process->kill();
            process->waitForFinished(3000);
        }
    }
    process.reset();
}

bool DeviceSimulator::isRunning() const
{
    return process && process->state() != QProcess::NotRunning;
}

QString DeviceSimulator::control(const QString& command)
{
    // A plain Unix socket keeps the harness free of a Qt Network dependency.
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(controlSocket);
    if (path.isEmpty() || path.size() >= static_cast<qsizetype>(sizeof address.sun_path))
        return {};
    std::memcpy(address.sun_path, path.constData(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return {};
    QByteArray reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const QByteArray line = command.toUtf8() + '\n';
        if (send(fd, line.constData(), line.size(), MSG_NOSIGNAL) == line.size()) {
            const QDeadlineTimer deadline(5000);
            while (!reply.contains('\n') && !deadline.hasExpired()) {
                pollfd p{fd, POLLIN, 0};
                const int ready = poll(&p, 1, static_cast<int>(deadline.remainingTime()));
                if (ready < 0 && errno == EINTR)
                    continue;
                char buffer[4096];
                const ssize_t got = ready > 0 ? recv(fd, buffer, sizeof buffer, 0) : -1;
                if (got <= 0)
                    break;
                reply.append(buffer, got);
            }
        }
    }
    close(fd);
    if (!reply.contains('\n'))
        return {};
    return QString::fromUtf8(reply.left(reply.indexOf('\n')));
}

QList<JournalEntry> DeviceSimulator::journal() const
{
    QList<JournalEntry> entries;
    QFile file(journalFile);
    if (!file.open(QIODevice::ReadOnly))
        return entries;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray& line : lines) {
        if (line.trimmed().isEmpty())
            continue;
        const QJsonDocument document = QJsonDocument::fromJson(line);
        if (document.isObject())
            entries.append(parseEntry(document.object()));
    }
    return entries;
}

QList<JournalEntry> DeviceSimulator::journalWithCode(quint32 code) const
{
    QList<JournalEntry> matching;
    for (const JournalEntry& entry : journal())
        if (entry.code == code)
            matching.append(entry);
    return matching;
}

QList<JournalEntry> DeviceSimulator::journalWithRequest(const QString& request) const
{
    QList<JournalEntry> matching;
    for (const JournalEntry& entry : journal())
        if (entry.decoded.value("request").toString() == request)
            matching.append(entry);
    return matching;
}

void DeviceSimulator::clearJournal()
{
    control(QStringLiteral("journal-clear"));
}

QVector<double> DeviceSimulator::matrix()
{
    const QString dump = journalFile + QStringLiteral(".matrix");
    if (!control(QStringLiteral("dump-matrix ") + dump).startsWith("ok"))
        return {};
    QFile file(dump);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    file.remove();
    if (bytes.size() != MixerMatrix::ByteSize)
        return {};
    QVector<double> values(MixerMatrix::ElementCount);
    for (int i = 0; i < MixerMatrix::ElementCount; ++i) {
        quint64 bits = 0;
        for (int b = 7; b >= 0; --b)
            bits = (bits << 8) | static_cast<unsigned char>(bytes[8 * i + b]);
        std::memcpy(&values[i], &bits, sizeof bits);
    }
    return values;
}

QJsonObject DeviceSimulator::state()
{
    const QString reply = control(QStringLiteral("state"));
    if (!reply.startsWith(QStringLiteral("ok ")))
        return {};
    return QJsonDocument::fromJson(reply.mid(3).toUtf8()).object();
}

QString DeviceSimulator::journalPath() const
{
    return journalFile;
}

QString DeviceSimulator::socketPath() const
{
    return QStringLiteral("%1/QuorvixAudioBus%2").arg(endpointFolder()).arg(bus);
}
