// The inbound pipe is open to every local process. Thousands of clients, frames that
// are too long, cut short or random, and clients that connect and say nothing must
// neither leak descriptors nor stop the pipe: well-formed requests are still served
// afterwards, and the GUI thread never waits for the pipe.
#include "LogCapture.h"
#include "SoakKit.h"
#include "listener/OpenWindowRequest.h"
#include "listener/PipeServer.h"
#include "platform/PosixSupport.h"
#include "settings/Settings.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QtTest>

#include <atomic>
#include <mutex>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const QString kAbusedPipe = QStringLiteral("\\\\.\\pipe\\QuorvixAbused");
const QString kInboundPipe = QStringLiteral("\\\\.\\pipe\\QuorvixASIOToPannel");

enum class Kind
{
    WellFormed, // a 20-byte request carrying the client's number
    Oversized,  // 1025 bytes, one more than a read takes
    HugeLength, // claims 2 GiB, sends a little, hangs up
    Truncated,  // claims 20 bytes, sends 10
    Silent,     // connects and hangs up without a byte
    Random,     // random bytes with a length field over the limit
    Count
};

int connectTo(const QString& pipe)
{
    const std::string path = platform::endpointPath(pipe.toStdWString());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void sendAll(int fd, const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t sent =
            ::send(fd, bytes.constData() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent <= 0)
            return;
        done += sent;
    }
}

QByteArray le32(quint32 v)
{
    QByteArray b(4, '\0');
    qToLittleEndian(v, b.data());
    return b;
}

QByteArray requestFrame(quint32 id, quint32 openWindow)
{
    return le32(20) + le32(id) + le32(0) + le32(0) + le32(0) + le32(openWindow);
}

QByteArray abuseBytes(Kind kind, quint32 id, QRandomGenerator& random)
{
    switch (kind) {
    case Kind::WellFormed:
        return requestFrame(id, 1);
    case Kind::Oversized:
        return le32(1025) + QByteArray(1025, 'x');
    case Kind::HugeLength:
        return le32(0x7FFFFFFF) + QByteArray(300, 'y');
    case Kind::Truncated:
        return le32(20) + QByteArray(10, 'z');
    case Kind::Silent:
        return {};
    default: {
        QByteArray bytes(int(random.bounded(4, 3000)), '\0');
        for (char& c : bytes)
            c = char(random.bounded(256));
        qToLittleEndian(quint32(1025 + random.bounded(1u << 30)), bytes.data());
        return bytes;
    }
    }
}

// One client of the given kind: connect, write, hang up.
bool runClient(const QString& pipe, Kind kind, quint32 id, QRandomGenerator& random)
{
    const int fd = connectTo(pipe);
    if (fd < 0)
        return false;
    sendAll(fd, abuseBytes(kind, id, random));
    ::close(fd);
    return true;
}

} // namespace

class PipeAbuse : public QObject
{
    Q_OBJECT

private slots:
    // The endpoint itself, read as fast as it goes: 2000 clients of every kind, a burst
    // of simultaneous connections and clients that stall.
    void endpointSurvivesTwoThousandAbusiveClients()
    {
        LogCapture log(false); // thousands of failure lines, none of them wanted on screen
        PipeServer server(kAbusedPipe);
        QVERIFY(server.createPipe());
        const int fdsBefore = soak::openFdCount();

        std::atomic<bool> stop{false};
        std::atomic<int> reads{0};
        std::mutex servedLock;
        std::vector<quint32> served;
        const auto lastServed = [&] {
            std::lock_guard<std::mutex> hold(servedLock);
            return served.empty() ? quint32(0) : served.back();
        };
        std::thread reader([&] {
            char buffer[PipeServer::BufferSize];
            while (!stop) {
                std::memset(buffer, 0, sizeof buffer);
                const bool ok = server.readMessage(buffer);
                ++reads;
                if (ok) {
                    const OpenWindowRequest request = OpenWindowRequest::decode(buffer, 20);
                    std::lock_guard<std::mutex> hold(servedLock);
                    if (request.opensWindow())
                        served.push_back(request.words[0]);
                }
            }
        });

        constexpr int kClients = 2000;
        constexpr int kThreads = 8;
        constexpr int kBurst = 300;
        constexpr int kStalled = 3;
        QElapsedTimer clock;
        clock.start();
        std::atomic<int> connected{0};
        std::vector<std::thread> clients;
        for (int t = 0; t < kThreads; ++t) {
            clients.emplace_back([&, t] {
                QRandomGenerator random(quint32(t + 1));
                for (int i = t; i < kClients; i += kThreads)
                    connected +=
                        runClient(kAbusedPipe, Kind(i % int(Kind::Count)), quint32(i), random) ? 1
                                                                                               : 0;
            });
        }
        for (std::thread& c : clients)
            c.join();
        // A burst: many connections at once, served one after the other.
        std::vector<int> burst;
        for (int i = 0; i < kBurst; ++i)
            burst.push_back(connectTo(kAbusedPipe));
        for (int i = 0; i < kBurst; ++i) {
            sendAll(burst[i], requestFrame(quint32(kClients + i), 1));
            ::close(burst[i]);
        }
        // Clients that connect and never write hold the pipe for at most a second each.
        std::vector<int> stalled;
        for (int i = 0; i < kStalled; ++i)
            stalled.push_back(connectTo(kAbusedPipe));
        QElapsedTimer stallClock;
        stallClock.start();
        const int probe = connectTo(kAbusedPipe);
        sendAll(probe, requestFrame(999999, 1));
        ::close(probe);
        QTRY_COMPARE_WITH_TIMEOUT(lastServed(), quint32(999999), 15000);
        const qint64 stallWait = stallClock.elapsed();
        for (int fd : stalled)
            ::close(fd);
        const qint64 total = clock.elapsed();

        stop = true;
        ::close(connectTo(kAbusedPipe)); // releases the reader's wait
        reader.join();

        const int wellFormed = (kClients + int(Kind::Count) - 1) / int(Kind::Count);
        soak::figure(QStringLiteral("pipe endpoint: %1 clients and a burst of %2 in %3 ms, %4 "
                                    "reads, %5 requests served, %6 stalled clients cost %7 ms")
                         .arg(kClients)
                         .arg(kBurst)
                         .arg(total)
                         .arg(reads.load())
                         .arg(served.size())
                         .arg(kStalled)
                         .arg(stallWait));
        QCOMPARE(connected.load(), kClients);
        // Every well-formed request and nothing else came through, each exactly once.
        std::vector<quint32> expected;
        for (int i = 0; i < kClients; i += int(Kind::Count))
            expected.push_back(quint32(i));
        for (int i = 0; i < kBurst; ++i)
            expected.push_back(quint32(kClients + i));
        expected.push_back(999999);
        std::sort(served.begin(), served.end());
        std::sort(expected.begin(), expected.end());
        QCOMPARE(int(expected.size()), wellFormed + kBurst + 1);
        QVERIFY(served == expected);
        QVERIFY2(log.count("Error reading from pipe. Error code: 1460") >= 1,
                 "a stalled client was not cut off");
        QVERIFY2(stallWait < 1000 * (kStalled + 2), "stalled clients held the pipe too long");
        QVERIFY2(soak::openFdCount() <= fdsBefore + 1, "descriptors leaked");
    }

    // The real listener of the settings dialog under the same abuse, at its own pace of
    // ten clients a second: the GUI thread never waits, and the dialog still comes up.
    void listenerKeepsServingAndGuiStaysResponsive()
    {
        LogCapture log(false);
        soak::StallMeter meter;
        Settings settings;
        QVERIFY(!settings.isVisible());
        const int fdsBefore = soak::openFdCount();

        constexpr int kClients = 48;
        std::thread abuser([] {
            QRandomGenerator random(7);
            for (int i = 0; i < kClients; ++i) {
                // Requests that do not ask for the window are abuse here too.
                const Kind kind =
                    i % int(Kind::Count) == 0 ? Kind::Silent : Kind(i % int(Kind::Count));
                runClient(kInboundPipe, kind, quint32(i), random);
            }
            const int stalled = connectTo(kInboundPipe);
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            ::close(stalled);
        });
        meter.reset();
        QTRY_VERIFY_WITH_TIMEOUT(log.count("No data received from pipe.") >= kClients, 30000);
        abuser.join();
        QVERIFY(!settings.isVisible());
        QVERIFY(!log.contains("Open Window Signal from ASIO."));

        const int client = connectTo(kInboundPipe);
        QVERIFY(client >= 0);
        sendAll(client, requestFrame(1, 1));
        ::close(client);
        QTRY_VERIFY_WITH_TIMEOUT(settings.isVisible(), 10000);
        QVERIFY(log.contains("Received signal from pipe thread to show settings window."));
        const qint64 stall = meter.longestStallMs();
        soak::figure(QStringLiteral("listener: %1 abusive clients and a stalled one, then served; "
                                    "longest GUI stall %2 ms")
                         .arg(kClients)
                         .arg(stall));
        QVERIFY2(stall < 1000, "the GUI thread waited on the pipe");
        QVERIFY2(soak::openFdCount() <= fdsBefore + 1, "descriptors leaked");
    }
};

QTEST_MAIN(PipeAbuse)
#include "tst_pipe_abuse.moc"
