// The driver link's socket stand-in: open errors, request/reply framing, and what
// happens when the driver side breaks the rules, stalls or goes away.
#include "DriverPeer.h"
#include "FullListener.h"

#include "platform/DriverDevice.h"
#include "platform/PosixSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTest>

#include <atomic>
#include <cstring>
#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace platform;

Q_DECLARE_METATYPE(PeerReply)

namespace {

const std::wstring kBus0 = L"\\\\.\\QuorvixAudioBus0";
constexpr std::uint32_t kCode = 0xFFDC2048;

unsigned modeOf(const std::string& path)
{
    struct stat info
    {
    };
    return ::stat(path.c_str(), &info) == 0 ? unsigned(info.st_mode & 0777) : 0u;
}

QByteArray filled(int size, char c)
{
    return QByteArray(size, c);
}

// The outcome of an open made on a thread of its own, so an open that blocks fails the
// test instead of hanging it.
struct OpenOutcome
{
    std::atomic<bool> done{false};
    NativeHandle handle = kInvalidHandle;
    std::uint32_t error = 0;
};

std::shared_ptr<OpenOutcome> openOnThread(const std::wstring& name)
{
    auto outcome = std::make_shared<OpenOutcome>();
    std::thread([outcome, name] {
        outcome->handle = openDriverDevice(name);
        outcome->error = lastError();
        outcome->done = true;
    }).detach();
    return outcome;
}

} // namespace

class DriverLinkTest : public QObject
{
    Q_OBJECT

private slots:
    void endpointFolderAndNames();
    void openFailures();
    void invalidHandle();
    void requestFrameAndOutput();
    void refusedRequestKeepsLinkAlive();
    void slowReplyInPiecesSucceeds();
    void brokenRepliesKillTheLink_data();
    void brokenRepliesKillTheLink();
    void silentPeerTimesOut();
};

void DriverLinkTest::endpointFolderAndNames()
{
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    QVERIFY(!runtime.isEmpty());
    QCOMPARE(QString::fromStdString(endpointPath(L"\\\\.\\pipe\\QuorvixASIOToPannel")),
             QString(runtime + "/quorvix/QuorvixASIOToPannel"));
    QCOMPARE(QString::fromStdString(endpointPath(L"\\\\.\\QuorvixAudioBus15")),
             QString(runtime + "/quorvix/QuorvixAudioBus15"));

    QDir(QString::fromStdString(endpointFolder())).removeRecursively();
    QVERIFY(ensureEndpointFolder());
    QVERIFY(ensureEndpointFolder()); // an existing folder is fine
    QVERIFY(QFileInfo(QString::fromStdString(endpointFolder())).isDir());
    QCOMPARE(modeOf(endpointFolder()), 0700u);
}

void DriverLinkTest::openFailures()
{
    QVERIFY(ensureEndpointFolder());
    QCOMPARE(openDriverDevice(L"\\\\.\\QuorvixAudioBus7"), kInvalidHandle);
    QCOMPARE(lastError(), error::FileNotFound);

    // A socket file left behind by a driver side that is gone.
    const std::string stale = endpointPath(L"\\\\.\\QuorvixAudioBus8");
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, stale.c_str());
    QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
    QCOMPARE(openDriverDevice(L"\\\\.\\QuorvixAudioBus8"), kInvalidHandle);
    QCOMPARE(lastError(), error::FileNotFound);
    ::unlink(stale.c_str());

    // A driver side that no longer accepts: the open fails at once as busy.
    FullListener busy(endpointPath(L"\\\\.\\QuorvixAudioBus9"));
    QVERIFY(busy.isFull());
    const auto outcome = openOnThread(L"\\\\.\\QuorvixAudioBus9");
    QTRY_VERIFY_WITH_TIMEOUT(outcome->done, 3000);
    QCOMPARE(outcome->handle, kInvalidHandle);
    QCOMPARE(outcome->error, error::Busy);
}

void DriverLinkTest::invalidHandle()
{
    std::uint8_t out[4] = {9, 9, 9, 9};
    std::uint32_t returned = 77;
    QVERIFY(!deviceIoControl(kInvalidHandle, kCode, nullptr, 0, out, 4, &returned));
    QCOMPARE(lastError(), error::InvalidHandle);
    QCOMPARE(out[0], std::uint8_t(9));
    closeDriverDevice(kInvalidHandle); // ignored
}

void DriverLinkTest::requestFrameAndOutput()
{
    DriverPeer peer;
    QVERIFY(peer.start());
    peer.setHandler([](const PeerRequest&) { return PeerReply::ok("\x11\x22\x33"); });
    const NativeHandle device = openDriverDevice(kBus0);
    QVERIFY(device != kInvalidHandle);

    const QByteArray input = "abcdefg";
    QByteArray out = filled(8, 'z');
    std::uint32_t returned = 0;
    QVERIFY(deviceIoControl(device, 0xFFDC209C, input.constData(), input.size(), out.data(), 8,
                            &returned));
    QCOMPARE(returned, 3u);
    QCOMPARE(out, QByteArray("\x11\x22\x33zzzzz")); // only the front is written

    QVERIFY(peer.waitForRequests(1));
    const PeerRequest seen = peer.requests().at(0);
    QCOMPARE(seen.code, 0xFFDC209Cu);
    QCOMPARE(seen.input, input);
    QCOMPARE(seen.outputLength, 8u);

    // Several requests in a row, and a request without input or output.
    peer.setHandler([](const PeerRequest&) { return PeerReply::ok(); });
    for (int i = 0; i < 5; ++i)
        QVERIFY(deviceIoControl(device, 0xFFDC2078, nullptr, 0, nullptr, 0, &returned));
    QCOMPARE(returned, 0u);
    QVERIFY(peer.waitForRequests(6));
    QCOMPARE(peer.requests().last().input.size(), 0);
    QCOMPARE(peer.requests().last().outputLength, 0u);

    closeDriverDevice(device);
    QVERIFY(peer.waitForNoConnections()); // the driver side sees the close
    QCOMPARE(peer.connectionCount(), 1);
}

void DriverLinkTest::refusedRequestKeepsLinkAlive()
{
    DriverPeer peer;
    QVERIFY(peer.start());
    peer.setHandler([](const PeerRequest& r) {
        return r.code == kCode ? PeerReply::refuse(error::InvalidFunction)
                               : PeerReply::ok(DriverPeer::le32(512));
    });
    const NativeHandle device = openDriverDevice(kBus0);
    QVERIFY(device != kInvalidHandle);

    QByteArray out = filled(4, 'q');
    std::uint32_t returned = 5;
    QVERIFY(!deviceIoControl(device, kCode, nullptr, 0, out.data(), 4, &returned));
    QCOMPARE(lastError(), error::InvalidFunction);
    QCOMPARE(out, filled(4, 'q'));
    QCOMPARE(returned, 0u);

    QVERIFY(deviceIoControl(device, 0xFFDC204C, nullptr, 0, out.data(), 4, &returned));
    QCOMPARE(out, DriverPeer::le32(512));
    closeDriverDevice(device);
}

void DriverLinkTest::slowReplyInPiecesSucceeds()
{
    DriverPeer peer;
    QVERIFY(peer.start());
    peer.setHandler([](const PeerRequest&) {
        PeerReply reply = PeerReply::ok(QByteArray(768, '\x5a'));
        reply.chunkSize = 100;
        reply.chunkDelayMs = 20;
        return reply;
    });
    const NativeHandle device = openDriverDevice(kBus0);
    QByteArray out(768, '\0');
    std::uint32_t returned = 0;
    QVERIFY(deviceIoControl(device, 0xFFDC2074, nullptr, 0, out.data(), 768, &returned));
    QCOMPARE(returned, 768u);
    QCOMPARE(out, QByteArray(768, '\x5a'));
    closeDriverDevice(device);
}

void DriverLinkTest::brokenRepliesKillTheLink_data()
{
    QTest::addColumn<PeerReply>("reply");
    QTest::addColumn<quint32>("expected");

    const QByteArray ok = DriverPeer::le32(1) + DriverPeer::le32(0);
    QTest::newRow("status 2") << PeerReply::rawBytes(DriverPeer::le32(2) + DriverPeer::le32(0) +
                                                         DriverPeer::le32(0),
                                                     false)
                              << quint32(error::InvalidData);
    QTest::newRow("garbage") << PeerReply::rawBytes("\xde\xad\xbe\xef garbage!!", false)
                             << quint32(error::InvalidData);
    QTest::newRow("more bytes than asked")
        << PeerReply::rawBytes(ok + DriverPeer::le32(5) + "12345", false)
        << quint32(error::InvalidData);
    QTest::newRow("close without reply")
        << PeerReply::of(PeerReply::Kind::Close) << quint32(error::DeviceNotConnected);
    QTest::newRow("close inside header")
        << PeerReply::rawBytes(ok, true) << quint32(error::DeviceNotConnected);
    QTest::newRow("close inside output")
        << PeerReply::rawBytes(ok + DriverPeer::le32(4) + "12", true)
        << quint32(error::DeviceNotConnected);
}

void DriverLinkTest::brokenRepliesKillTheLink()
{
    QFETCH(PeerReply, reply);
    QFETCH(quint32, expected);
    DriverPeer peer;
    QVERIFY(peer.start());
    peer.setHandler([reply](const PeerRequest&) { return reply; });
    const NativeHandle device = openDriverDevice(kBus0);
    QVERIFY(device != kInvalidHandle);

    QByteArray out = filled(4, 'q');
    std::uint32_t returned = 0;
    QVERIFY(!deviceIoControl(device, kCode, nullptr, 0, out.data(), 4, &returned));
    QCOMPARE(lastError(), expected);
    QCOMPARE(out, filled(4, 'q'));

    // Dead: the same failure again, and nothing more reaches the driver side, even once
    // it would answer properly.
    peer.setHandler([](const PeerRequest&) { return PeerReply::ok(DriverPeer::le32(1)); });
    QVERIFY(!deviceIoControl(device, kCode, nullptr, 0, out.data(), 4, &returned));
    QCOMPARE(lastError(), expected);
    QVERIFY(!deviceIoControl(device, 0xFFDC2078, nullptr, 0, nullptr, 0, &returned));
    QCOMPARE(lastError(), expected);
    QCOMPARE(out, filled(4, 'q'));
    QTest::qWait(50);
    QCOMPARE(peer.requests().size(), 1);

    closeDriverDevice(device);
    // A fresh handle to the same device works again.
    const NativeHandle again = openDriverDevice(kBus0);
    QVERIFY(deviceIoControl(again, kCode, nullptr, 0, out.data(), 4, &returned));
    QCOMPARE(out, DriverPeer::le32(1));
    closeDriverDevice(again);
}

void DriverLinkTest::silentPeerTimesOut()
{
    DriverPeer peer;
    QVERIFY(peer.start());
    peer.setHandler([](const PeerRequest&) { return PeerReply::of(PeerReply::Kind::Silent); });
    const NativeHandle device = openDriverDevice(kBus0);
    QVERIFY(device != kInvalidHandle);

    std::uint8_t out[4] = {};
    std::uint32_t returned = 0;
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!deviceIoControl(device, kCode, nullptr, 0, out, 4, &returned));
    const qint64 waited = clock.elapsed();
    qInfo("silent driver: request failed after %lld ms", waited);
    QCOMPARE(lastError(), error::Timeout);
    QVERIFY(waited < 5000);

    clock.restart();
    QVERIFY(!deviceIoControl(device, kCode, nullptr, 0, out, 4, &returned));
    QCOMPARE(lastError(), error::Timeout);
    QVERIFY(clock.elapsed() < 1000); // a dead link does not wait again
    QCOMPARE(peer.requests().size(), 1);
    closeDriverDevice(device);
}

QTEST_GUILESS_MAIN(DriverLinkTest)
#include "tst_driverlink.moc"
