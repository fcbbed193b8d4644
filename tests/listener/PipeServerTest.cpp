// The inbound pipe's server end on the POSIX stand-in: message sizes, clients that
// misbehave, creation and release of the socket file.
#include "listener/PipeServer.h"
#include "LogCapture.h"
#include "PipeTestKit.h"
#include "platform/NamedPipe.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QtTest>

#include <chrono>
#include <cstring>
#include <thread>

using namespace pipekit;

namespace {
const QString kPipe = QStringLiteral("QuorvixASIOToPannel");
const QString kPipePath = QStringLiteral("\\\\.\\pipe\\QuorvixASIOToPannel");

QByteArray pattern(int size)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + 3) & 0xFF);
    return bytes;
}
} // namespace

class PipeServerTest : public QObject
{
    Q_OBJECT
private slots:
    void messagesUpToTheBufferSizeArriveWhole();
    void oversizedMessageIsRefusedAndNextClientServed();
    void emptyMessageCopiesNothing();
    void clientConnectingDuringTheWaitIsServed();
    void brokenClientsFailWithBrokenPipe();
    void stalledClientIsDroppedAfterOneSecond();
    void liveServerMakesCreationFailAndEveryReadFails();
    void staleSocketIsReplaced();
    void socketFileIsPrivateAndRemovedOnRelease();
    void clientEndReportsWindowsCodes();
};

void PipeServerTest::messagesUpToTheBufferSizeArriveWhole()
{
    PipeServer server(kPipePath);
    QVERIFY(server.createPipe());
    for (int size : {1, 20, 1023, 1024}) {
        const QByteArray message = pattern(size);
        QVERIFY(sendMessage(kPipe, message));
        char buffer[PipeServer::BufferSize];
        std::memset(buffer, 0x5A, sizeof buffer);
        QVERIFY(server.readMessage(buffer));
        QCOMPARE(QByteArray(buffer, size), message);
        // Bytes past the message keep what the caller had there.
        if (size < PipeServer::BufferSize)
            QCOMPARE(buffer[size], char(0x5A));
    }
}

void PipeServerTest::oversizedMessageIsRefusedAndNextClientServed()
{
    LogCapture log;
    PipeServer server(kPipePath);
    QVERIFY(server.createPipe());
    QVERIFY(sendMessage(kPipe, pattern(1025)));
    QVERIFY(sendMessage(kPipe, QByteArray("next")));
    char buffer[PipeServer::BufferSize];
    std::memset(buffer, 0x11, sizeof buffer);
    QVERIFY(!server.readMessage(buffer));
    QCOMPARE(log.countLines("Error reading from pipe. Error code: 234"), 1);
    QCOMPARE(buffer[0], char(0x11)); // nothing copied
    QVERIFY(server.readMessage(buffer));
    QCOMPARE(QByteArray(buffer, 4), QByteArray("next"));

    // A length far beyond anything the client sends is refused the same way.
    QCOMPARE(runPeer({"raw-frame", "ffffffff0102"}), 0);
    QVERIFY(!server.readMessage(buffer));
    QCOMPARE(log.countLines("Error reading from pipe. Error code: 234"), 2);
    QVERIFY(sendMessage(kPipe, QByteArray("again")));
    QVERIFY(server.readMessage(buffer));
    QCOMPARE(QByteArray(buffer, 5), QByteArray("again"));
}

void PipeServerTest::emptyMessageCopiesNothing()
{
    LogCapture log;
    PipeServer server(kPipePath);
    QVERIFY(server.createPipe());
    QVERIFY(sendMessage(kPipe, QByteArray()));
    char buffer[PipeServer::BufferSize];
    std::memset(buffer, 0x33, sizeof buffer);
    QVERIFY(server.readMessage(buffer));
    QCOMPARE(QByteArray(buffer, 8), QByteArray(8, 0x33));
    QCOMPARE(log.count("Error"), 0);
}

void PipeServerTest::clientConnectingDuringTheWaitIsServed()
{
    PipeServer server(kPipePath);
    QVERIFY(server.createPipe());
    std::thread client([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        sendMessage(kPipe, QByteArray("late"));
    });
    char buffer[PipeServer::BufferSize] = {};
    const bool ok = server.readMessage(buffer);
    client.join();
    QVERIFY(ok);
    QCOMPARE(QByteArray(buffer, 4), QByteArray("late"));
}

void PipeServerTest::brokenClientsFailWithBrokenPipe()
{
    LogCapture log;
    PipeServer server(kPipePath);
    QVERIFY(server.createPipe());
    char buffer[PipeServer::BufferSize];

    // Connects and closes without writing.
    platform::closePipeClient(platform::openPipeClient(windowsName(kPipe)));
    QVERIFY(!server.readMessage(buffer));
    // Closes in the middle of the length, then in the middle of the message.
    QCOMPARE(runPeer({"raw-frame", "0a00"}), 0);
    QVERIFY(!server.readMessage(buffer));
    QCOMPARE(runPeer({"raw-frame", "0a000000 010203"}), 0);
    std::memset(buffer, 0x44, sizeof buffer);
    QVERIFY(!server.readMessage(buffer));
    QCOMPARE(buffer[0], char(0x44));
    QCOMPARE(log.countLines("Error reading from pipe. Error code: 109"), 3);

    QVERIFY(sendMessage(kPipe, QByteArray("fine")));
    QVERIFY(server.readMessage(buffer));
    QCOMPARE(QByteArray(buffer, 4), QByteArray("fine"));
}

void PipeServerTest::stalledClientIsDroppedAfterOneSecond()
{
    LogCapture log;
    PipeServer server(kPipePath);
    QVERIFY(server.createPipe());
    char buffer[PipeServer::BufferSize];
    // A client that announces 5 bytes, delivers 1 and then holds the connection.
    QProcess stalled;
    startPeer(stalled, {"raw-frame", "05000000 01", "--hold", "4000"});
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!server.readMessage(buffer));
    const qint64 elapsed = clock.elapsed();
    qInfo("stalled client dropped after %lld ms", elapsed);
    QCOMPARE(log.countLines("Error reading from pipe. Error code: 1460"), 1);
    QVERIFY(elapsed >= 900);
    QVERIFY(elapsed < 3000);
    // The pipe serves the next client while the stalled one still runs.
    QVERIFY(sendMessage(kPipe, QByteArray("after")));
    QVERIFY(server.readMessage(buffer));
    QCOMPARE(QByteArray(buffer, 5), QByteArray("after"));
    QCOMPARE(stalled.state(), QProcess::Running);
    stalled.kill();
    stalled.waitForFinished();
}

void PipeServerTest::liveServerMakesCreationFailAndEveryReadFails()
{
    LogCapture log;
    PipeServer owner(kPipePath);
    QVERIFY(owner.createPipe());
    QCOMPARE(log.countLines("Pipe created successfully."), 1);
    {
        PipeServer second(kPipePath);
        QVERIFY(!second.createPipe());
        QCOMPARE(log.countLines("Error: Could not create pipe. Error code: 231"), 1);
        QVERIFY(!second.hasPipe());
        char buffer[PipeServer::BufferSize];
        QVERIFY(!second.readMessage(buffer));
        QVERIFY(!second.readMessage(buffer));
        QCOMPARE(log.countLines("Error connecting to pipe. Error code: 6"), 2);
    }
    // The endpoint that never had a pipe released nothing and logged nothing.
    QCOMPARE(log.countLines("Pipe closed."), 0);
    QVERIFY(QFileInfo::exists(socketFile(kPipe)));
    // The owner still works.
    QVERIFY(sendMessage(kPipe, QByteArray("owner")));
    char buffer[PipeServer::BufferSize];
    log.clear();
    // The failed creation's probe may have left one empty connection in the backlog.
    bool served = owner.readMessage(buffer);
    if (!served)
        served = owner.readMessage(buffer);
    QVERIFY(served);
    QCOMPARE(QByteArray(buffer, 5), QByteArray("owner"));
}

void PipeServerTest::staleSocketIsReplaced()
{
    // A peer killed without cleanup leaves its socket file behind, nobody listening.
    const QString name = QStringLiteral("QuorvixPannelToASIO");
    QProcess crashed;
    crashed.setProcessChannelMode(QProcess::SeparateChannels);
    crashed.start(peerProgram(), {"serve"});
    QVERIFY(crashed.waitForReadyRead(5000));
    QVERIFY(QFileInfo::exists(socketFile(name)));
    crashed.kill();
    crashed.waitForFinished();
    QVERIFY(QFileInfo::exists(socketFile(name)));
    QCOMPARE(platform::openPipeClient(windowsName(name)), platform::kInvalidHandle);

    PipeServer server(QStringLiteral("\\\\.\\pipe\\") + name);
    QVERIFY(server.createPipe());
    QVERIFY(sendMessage(name, QByteArray("revived")));
    char buffer[PipeServer::BufferSize];
    QVERIFY(server.readMessage(buffer));
    QCOMPARE(QByteArray(buffer, 7), QByteArray("revived"));
}

void PipeServerTest::socketFileIsPrivateAndRemovedOnRelease()
{
    const QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR") + QStringLiteral("/quorvix");
    QDir(folder).removeRecursively();
    LogCapture log;
    {
        PipeServer server(kPipePath);
        QVERIFY(server.createPipe());
        const QFileInfo socket(socketFile(kPipe));
        QVERIFY(socket.exists());
        QCOMPARE(socket.permissions() & 0x7777, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                    QFileDevice::ReadUser | QFileDevice::WriteUser);
        QCOMPARE(QFileInfo(folder).permissions() & 0x7777,
                 QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                     QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser);
    }
    QCOMPARE(log.countLines("Pipe closed."), 1);
    QVERIFY(!QFileInfo::exists(socketFile(kPipe)));
    // Released means nobody answers any more.
    QCOMPARE(platform::openPipeClient(windowsName(kPipe)), platform::kInvalidHandle);
    QCOMPARE(platform::lastError(), platform::error::FileNotFound);
}

void PipeServerTest::clientEndReportsWindowsCodes()
{
    QCOMPARE(platform::openPipeClient(windowsName("NobodyHere")), platform::kInvalidHandle);
    QCOMPARE(platform::lastError(), platform::error::FileNotFound);
    std::uint32_t written = 99;
    QVERIFY(!platform::writePipeMessage(platform::kInvalidHandle, "x", 1, &written));
    QCOMPARE(platform::lastError(), platform::error::InvalidHandle);
    QCOMPARE(written, 99u);

    // A server handle is not a client handle, and the reverse.
    const platform::NativeHandle server = platform::createPipeServer(windowsName(kPipe));
    QVERIFY(server != platform::kInvalidHandle);
    QVERIFY(!platform::writePipeMessage(server, "x", 1, &written));
    QCOMPARE(platform::lastError(), platform::error::InvalidHandle);
    const platform::NativeHandle client = platform::openPipeClient(windowsName(kPipe));
    QVERIFY(client != platform::kInvalidHandle);
    QVERIFY(!platform::connectPipeClient(client));
    QCOMPARE(platform::lastError(), platform::error::InvalidHandle);

    // The client was waiting before the connect call: reported as already connected.
    QVERIFY(!platform::connectPipeClient(server));
    QCOMPARE(platform::lastError(), platform::error::PipeConnected);
    // Writing to a server that dropped the client raises no signal and reports the break.
    QVERIFY(platform::disconnectPipeClient(server));
    QByteArray big(256 * 1024, 'z');
    bool failed = false;
    for (int i = 0; i < 8 && !failed; ++i)
        failed = !platform::writePipeMessage(client, big.constData(), big.size(), &written);
    QVERIFY(failed);
    QCOMPARE(platform::lastError(), platform::error::BrokenPipe);
    platform::closePipeClient(client);
    platform::closePipeServer(server);
}

QTEST_GUILESS_MAIN(PipeServerTest)
#include "PipeServerTest.moc"
