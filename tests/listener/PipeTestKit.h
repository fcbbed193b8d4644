#pragma once
// Small client-side helpers for the pipe tests on the POSIX stand-in.
#include "LogCapture.h"
#include "platform/NamedPipe.h"

#include <QByteArray>
#include <QDir>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTest>

namespace pipekit {

inline QString peerProgram()
{
    return QStringLiteral(QUORVIX_BIN_DIR "/quorvix-asiopeer");
}

// Where the contract puts a pipe's socket file.
inline QString socketFile(const QString& name)
{
    return qEnvironmentVariable("XDG_RUNTIME_DIR") + QStringLiteral("/quorvix/") + name;
}

inline std::wstring windowsName(const QString& name)
{
    return (QStringLiteral("\\\\.\\pipe\\") + name).toStdWString();
}

// Connects to the pipe and writes one framed message; false when either failed.
inline bool sendMessage(const QString& name, const QByteArray& message)
{
    const platform::NativeHandle client = platform::openPipeClient(windowsName(name));
    if (client == platform::kInvalidHandle)
        return false;
    std::uint32_t written = 0;
    const bool ok = platform::writePipeMessage(client, message.constData(),
                                               std::uint32_t(message.size()), &written);
    platform::closePipeClient(client);
    return ok && written == std::uint32_t(message.size());
}

// Runs the ASIO peer to completion with the given arguments; its exit code.
inline int runPeer(const QStringList& arguments, int timeoutMs = 10000)
{
    QProcess peer;
    peer.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    peer.start(peerProgram(), arguments);
    if (!peer.waitForFinished(timeoutMs)) {
        peer.kill();
        peer.waitForFinished();
        return -1;
    }
    return peer.exitStatus() == QProcess::NormalExit ? peer.exitCode() : -1;
}

// Starts the ASIO peer without waiting for it (for clients that stall).
inline void startPeer(QProcess& peer, const QStringList& arguments)
{
    peer.setProcessChannelMode(QProcess::ForwardedChannels);
    peer.start(peerProgram(), arguments);
    peer.waitForStarted();
}

// Waits, running the event loop, until `line` was logged `times` times.
inline bool waitForLine(const LogCapture& log, const QString& line, int times = 1)
{
    return QTest::qWaitFor([&] { return log.countLines(line) >= times; }, 5000);
}

} // namespace pipekit
