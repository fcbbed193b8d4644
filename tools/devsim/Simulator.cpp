#include "Simulator.h"

#include "CommandInterpreter.h"
#include "UnixSocket.h"
#include "platform/PlatformTypes.h"

#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

int signalWriteEnd = -1;

void onTerminate(int)
{
    const char byte = 1;
    if (signalWriteEnd >= 0)
        (void)!write(signalWriteEnd, &byte, 1);
}

QByteArray replyFrame(std::uint32_t status, std::uint32_t error, const QByteArray& output)
{
    QByteArray frame(12, '\0');
    const std::uint32_t words[3] = {status, error, static_cast<std::uint32_t>(output.size())};
    for (int w = 0; w < 3; ++w)
        for (int b = 0; b < 4; ++b)
            frame[4 * w + b] = static_cast<char>((words[w] >> (8 * b)) & 0xFF);
    return frame + output;
}

} // namespace

Simulator::Simulator(const SimulatorOptions& options)
    : state(options.initial), briefMatrixJournal(options.briefMatrixJournal), options(options),
      driver(state, meters, clock),
      device(
          loop,
          QStringLiteral("%1/QuorvixAudioBus%2")
              .arg(QString::fromStdString(UnixSocket::endpointFolder()))
              .arg(options.bus)
              .toStdString(),
          [this](int connection, const RequestFrame& frame) { handleRequest(connection, frame); }),
      interpreter(std::make_unique<CommandInterpreter>(*this))
{
    clock.start();
}

Simulator::~Simulator()
{
    control.reset();
    device.shutdown();
    for (const int fd : signalPipe)
        if (fd >= 0)
            close(fd);
    signalWriteEnd = -1;
}

bool Simulator::start(QString& error)
{
    if (!UnixSocket::ensureFolder(UnixSocket::endpointFolder())) {
        error = QStringLiteral("cannot create the endpoint folder %1")
                    .arg(QString::fromStdString(UnixSocket::endpointFolder()));
        return false;
    }
    if (!meters.setMode(options.meters, error) || !journal.open(options.journalPath, error))
        return false;
    // The device socket comes first: once the control socket answers, a plugged device
    // is already listening.
    if (state.plugged && !device.listen(error))
        return false;
    control = std::make_unique<ControlEndpoint>(
        loop, options.controlPath.toStdString(),
        [this](const QString& line) { return interpreter->execute(line); });
    if (!control->listen(error))
        return false;

    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = QStringLiteral("cannot create the signal pipe");
        return false;
    }
    signalWriteEnd = signalPipe[1];
    struct sigaction action
    {
    };
    action.sa_handler = onTerminate;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    loop.watch(signalPipe[0], POLLIN, [this](short) { running = false; });
    if (isatty(STDIN_FILENO))
        watchStdin();
    return true;
}

int Simulator::run()
{
    report(QStringLiteral("quorvix-devsim: %1 (pid %2, firmware \"%3\") on %4%5, control %6")
               .arg(DeviceState::modelName(state.pid))
               .arg(state.pid)
               .arg(state.firmwareText(), QString::fromStdString(device.path()),
                    state.plugged ? QString() : QStringLiteral(" (unplugged)"),
                    options.controlPath));
    while (running)
        if (!loop.runOnce(-1))
            return 1;
    return 0;
}

bool Simulator::plug(QString& error)
{
    if (!device.listen(error))
        return false;
    state.plugged = true;
    return true;
}

void Simulator::unplug()
{
    device.shutdown();
    state.plugged = false;
}

QJsonObject Simulator::stateJson() const
{
    QJsonObject json = state.toJson();
    json.insert("bus", options.bus);
    json.insert("connections", device.openConnections());
    json.insert("connectionsAccepted", device.acceptedConnections());
    json.insert("requests", requests);
    json.insert("meters", meters.mode());
    json.insert("busy", device.isBusy());
    json.insert("maxHandles", device.maxHandles());
    json.insert("silent", faults.silent);
    json.insert("garbage", faults.garbage);
    json.insert("closeMidReply", faults.closeMidReply);
    json.insert("refusals", faults.refusalsJson());
    json.insert("journal", journal.path());
    json.insert("journalMatrix", briefMatrixJournal ? "brief" : "full");
    return json;
}

void Simulator::handleRequest(int connection, const RequestFrame& frame)
{
    ++requests;
    QJsonObject decoded = SimulatedDriver::decode(frame.code, frame.input);
    const QString name = SimulatedDriver::requestName(frame.code);
    QJsonObject entry{
        {"timeMs", clock.elapsed()},
        {"connection", connection},
        {"code", static_cast<qint64>(frame.code)},
        {"codeHex", "0x" + QString::number(frame.code, 16).toUpper().rightJustified(8, '0')},
        {"name", name},
        {"inputLength", static_cast<qint64>(frame.inputLength)},
        {"outputLength", static_cast<qint64>(frame.outputLength)},
    };
    if (!(briefMatrixJournal && frame.code == RequestCode::WriteMixerMatrix))
        entry.insert("inputHex", QString::fromLatin1(frame.input.toHex()));

    QString outcome;
    QByteArray bytes;
    bool closeAfter = false;
    bool answered = true;
    DriverReply reply;
    const FaultPlan::Mode mode = frame.oversized ? FaultPlan::Mode::Normal : faults.mode();
    if (frame.oversized) {
        reply = DriverReply{false, SimulatedDriver::InvalidParameter, {}};
        closeAfter = true;
        entry.insert("fault", "oversized");
    } else if (mode == FaultPlan::Mode::Silent) {
        answered = false;
        entry.insert("fault", "silent");
        outcome = QStringLiteral("(silent, no answer)");
    } else if (mode == FaultPlan::Mode::Garbage) {
        entry.insert("fault", "garbage");
        bytes = replyFrame(7, 0, {});
        outcome = QStringLiteral("(garbage status 7)");
    } else {
        const int opcode = decoded.contains("opcode") ? decoded.value("opcode").toInt() : -1;
        if (faults.takeRefusal(frame.code, opcode)) {
            reply = DriverReply{false, platform::error::GenFailure, {}};
            entry.insert("refused", true);
        } else
            reply = driver.execute(frame.code, frame.input, frame.outputLength, decoded);
    }
    if (bytes.isEmpty() && answered) {
        bytes = replyFrame(reply.ok ? 1 : 0, reply.error, reply.output);
        if (mode == FaultPlan::Mode::CloseMidReply) {
            bytes.truncate(bytes.size() / 2);
            closeAfter = true;
            entry.insert("fault", "closeMidReply");
        }
        outcome = reply.ok ? QStringLiteral("ok") : QStringLiteral("error %1").arg(reply.error);
        if (entry.contains("refused"))
            outcome += QStringLiteral(" (refused)");
        if (closeAfter)
            outcome += QStringLiteral(" (%1)").arg(entry.value("fault").toString());
    }
    entry.insert("answered", answered);
    entry.insert("ok", answered && reply.ok);
    entry.insert("error", static_cast<qint64>(reply.error));
    entry.insert("bytesReturned", reply.output.size());
    entry.insert("outputHex", QString::fromLatin1(reply.output.toHex()));
    entry.insert("decoded", decoded);
    journal.append(entry);
    report(QStringLiteral("#%1 c%2 %3 %4")
               .arg(requests)
               .arg(connection)
               .arg(SimulatedDriver::summary(decoded), outcome));
    if (answered)
        device.reply(connection, bytes, closeAfter);
}

void Simulator::watchStdin()
{
    // poll says a line is there, so one read does not block; the terminal's own flags
    // are left alone because the shell shares them.
    loop.watch(STDIN_FILENO, POLLIN, [this](short) {
        char buffer[1024];
        const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            return;
        if (got <= 0) {
            loop.unwatch(STDIN_FILENO);
            return;
        }
        stdinLine.append(buffer, got);
        qsizetype end;
        while ((end = stdinLine.indexOf('\n')) >= 0) {
            const QString command = QString::fromUtf8(stdinLine.left(end)).trimmed();
            stdinLine.remove(0, end + 1);
            if (!command.isEmpty())
                std::printf("%s\n", interpreter->execute(command).toUtf8().constData());
        }
        std::fflush(stdout);
    });
}

void Simulator::report(const QString& line) const
{
    if (options.quiet)
        return;
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}
