// The listener thread: which requests open the settings window, how it loops without a
// pipe, and that destroying it never hangs.
#include "listener/ThreadSettingsPip.h"
#include "LogCapture.h"
#include "PipeTestKit.h"
#include "listener/PipeServer.h"
#include "platform/PosixSupport.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QtEndian>
#include <QtTest>

#include <memory>
#include <pwd.h>
#include <unistd.h>

using namespace pipekit;

namespace {
const QString kPipe = QStringLiteral("QuorvixASIOToPannel");
const QString kWaiting = QStringLiteral("ThreadSettingsPip is running waiting Asio Info...");
const QString kNoData = QStringLiteral("No data received from pipe.");
const QString kOpen = QStringLiteral("Open Window Signal from ASIO.");

QByteArray words(std::initializer_list<quint32> values)
{
    QByteArray bytes;
    for (quint32 v : values) {
        char le[4];
        qToLittleEndian(v, le);
        bytes.append(le, 4);
    }
    return bytes;
}

// Receives progressUpdated in this (the GUI) thread, queued, as the dialog does.
struct Emissions : QObject
{
    explicit Emissions(ThreadSettingsPip* thread)
    {
        connect(thread, &ThreadSettingsPip::progressUpdated, this,
                [this](int value) { values << value; });
    }
    qsizetype count() const { return values.size(); }
    QList<int> values;
};

std::unique_ptr<ThreadSettingsPip> startedListener(int retryMs = ThreadSettingsPip::kDefaultRetryMs)
{
    auto thread = std::make_unique<ThreadSettingsPip>(nullptr, retryMs);
    thread->start(QThread::InheritPriority);
    return thread;
}
} // namespace

class ThreadSettingsPipTest : public QObject
{
    Q_OBJECT
private slots:
    void openRequestEmitsOnceWithItsWords();
    void requestsWithoutTheOpenWordEmitNothing();
    void clientsInARowAreEachServed();
    void withoutAPipeTheLoopGoesOnWithoutEmitting();
    void refusedPipeIsTriedQuietlyUntilItIsMade();
    void destroyingWhileWaitingEndsPromptly();
    void destroyingWhileAClientStallsStillEnds();
};

void ThreadSettingsPipTest::openRequestEmitsOnceWithItsWords()
{
    LogCapture log;
    auto thread = startedListener();
    QCOMPARE(log.countLines("Pipe created successfully."), 1);
    QCOMPARE(log.countLines("ThreadSettingsPip initialized."), 1);
    Emissions spy(thread.get());

    // The peer program sends the default request 0 0 0 0 1.
    QCOMPARE(runPeer({"open"}), 0);
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, 5000);
    QCOMPARE(spy.values.at(0), 1);
    QCOMPARE(log.countLines("Received data from pipe: 0 0 0 0 1"), 1);
    QCOMPARE(log.countLines(kOpen), 1);

    // Words are little-endian and logged unsigned.
    QVERIFY(sendMessage(kPipe, words({1, 0x01020304, 4000000000u, 7, 2})));
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 2, 5000);
    QCOMPARE(log.countLines("Received data from pipe: 1 16909060 4000000000 7 2"), 1);
    // Bytes after the twentieth are ignored.
    QVERIFY(sendMessage(kPipe, words({9, 9, 9, 9, 1, 0xFFFFFFFF, 5})));
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 3, 5000);
    QCOMPARE(log.countLines("Received data from pipe: 9 9 9 9 1"), 1);
}

void ThreadSettingsPipTest::requestsWithoutTheOpenWordEmitNothing()
{
    LogCapture log;
    auto thread = startedListener();
    Emissions spy(thread.get());

    QVERIFY(sendMessage(kPipe, words({1, 2, 3, 4})));                  // 16 bytes
    QVERIFY(sendMessage(kPipe, words({5, 6, 7, 8, 0})));               // word 4 zero
    QVERIFY(sendMessage(kPipe, words({1, 2, 3, 4}) + "\x01\x00\x00")); // 19 bytes
    QVERIFY(waitForLine(log, "Received data from pipe: 1 2 3 4 0", 1));
    QVERIFY(waitForLine(log, "Received data from pipe: 5 6 7 8 0"));
    // The missing byte of word 4 reads as zero, the others as sent.
    QVERIFY(waitForLine(log, "Received data from pipe: 1 2 3 4 1"));
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, 5000);
    QCOMPARE(log.countLines(kOpen), 1);

    // A request after a refused one is served again.
    QCOMPARE(runPeer({"raw", QString(1200, QChar('0'))}), 0); // 600-byte message: fine
    QCOMPARE(runPeer({"raw", QString(2050, QChar('a'))}), 0); // 1025 bytes: refused
    QVERIFY(waitForLine(log, "Error reading from pipe. Error code: 234"));
    QVERIFY(waitForLine(log, kNoData));
    QCOMPARE(runPeer({"open", "0", "0", "0", "0", "3"}), 0);
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 2, 5000);
}

void ThreadSettingsPipTest::clientsInARowAreEachServed()
{
    LogCapture log;
    auto thread = startedListener();
    Emissions spy(thread.get());
    QVERIFY(sendMessage(kPipe, words({0, 0, 0, 0, 1})));
    QVERIFY(sendMessage(kPipe, words({0, 0, 0, 1, 1})));
    QVERIFY(QTest::qWaitFor([&] { return spy.count() == 2; }, 5000));
    QCOMPARE(log.countLines("Received data from pipe: 0 0 0 0 1"), 1);
    QCOMPARE(log.countLines("Received data from pipe: 0 0 0 1 1"), 1);
    QCOMPARE(log.countLines(kNoData), 0);
}

void ThreadSettingsPipTest::withoutAPipeTheLoopGoesOnWithoutEmitting()
{
    LogCapture log;
    // Another live server owns the name, so the thread's pipe cannot be created.
    PipeServer owner(QStringLiteral("\\\\.\\pipe\\QuorvixASIOToPannel"));
    QVERIFY(owner.createPipe());
    auto thread = startedListener();
    QCOMPARE(log.countLines("Error: Could not create pipe. Error code: 231"), 1);
    QCOMPARE(log.countLines("Failed to create named pipe in ThreadSettingsPip."), 1);
    QCOMPARE(log.countLines("ThreadSettingsPip initialized."), 1);
    Emissions spy(thread.get());

    QVERIFY(waitForLine(log, kNoData, 3));
    QCOMPARE(spy.count(), 0);
    // Each pass: the waiting line, the connect error with the invalid-handle code, and
    // the no-data line.
    const QStringList lines = log.lines();
    const int first = lines.indexOf(kWaiting);
    QVERIFY(first >= 0);
    QCOMPARE(lines.at(first + 1), QStringLiteral("Error connecting to pipe. Error code: 6"));
    QCOMPARE(lines.at(first + 2), kNoData);
    QCOMPARE(lines.at(first + 3), kWaiting);

    QElapsedTimer clock;
    clock.start();
    thread.reset();
    qInfo("listener without a pipe stopped in %lld ms", clock.elapsed());
    QCOMPARE(log.countLines("Pipe closed."), 0);
    // The other server's socket is untouched.
    QVERIFY(QFileInfo::exists(socketFile(kPipe)));
}

// Refused with 5 (here: the endpoint folder belongs to another user; on Windows another
// session's copy holds the name): one line, no pass every 100 ms, a quiet retry every
// period (5 s in the program, shortened here), and one line once the pipe is made, which
// then serves the ASIO driver.
void ThreadSettingsPipTest::refusedPipeIsTriedQuietlyUntilItIsMade()
{
    if (::geteuid() != 0)
        QSKIP("handing the endpoint folder to another user needs root");
    const passwd* nobody = ::getpwnam("nobody");
    if (!nobody)
        QSKIP("there is no user nobody");
    const QString refused = QStringLiteral("Error: Could not create pipe. Error code: 5");
    const QString held = QStringLiteral("The pipe is held by another session, which serves the "
                                        "ASIO driver; trying again every 5 s.");
    const QString made = QStringLiteral("Pipe created: this session now serves the ASIO driver.");
    LogCapture log;
    const std::string folder = platform::endpointFolder();
    QVERIFY(::chown(folder.c_str(), nobody->pw_uid, nobody->pw_gid) == 0);
    // Handed back also when a check below fails, so later cases get their pipe.
    const auto handBack = qScopeGuard([&] { (void)::chown(folder.c_str(), 0, 0); });
    constexpr int retryMs = 400;
    auto thread = startedListener(retryMs);
    Emissions spy(thread.get());
    QVERIFY(waitForLine(log, held));
    QTest::qWait(retryMs * 3); // past two retries, still refused
    QVERIFY(::chown(folder.c_str(), 0, 0) == 0);
    QCOMPARE(log.countLines(refused), 1);
    QCOMPARE(log.countLines(held), 1);
    QCOMPARE(log.countLines(kWaiting), 0);
    QCOMPARE(log.countLines(kNoData), 0);

    QVERIFY(QTest::qWaitFor([&] { return log.countLines(made) > 0; }, 8000));
    QCOMPARE(log.countLines(made), 1);
    QCOMPARE(log.countLines(refused), 1);
    QCOMPARE(runPeer({"open"}), 0);
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, 5000);
    QElapsedTimer clock;
    clock.start();
    thread.reset();
    QVERIFY(clock.elapsed() < 1000);
    QCOMPARE(log.countLines("Pipe closed."), 1);
}

void ThreadSettingsPipTest::destroyingWhileWaitingEndsPromptly()
{
    LogCapture log;
    auto thread = startedListener();
    QVERIFY(waitForLine(log, kWaiting));
    QTest::qWait(50); // let it block in the wait for a client
    QElapsedTimer clock;
    clock.start();
    thread.reset();
    const qint64 elapsed = clock.elapsed();
    qInfo("listener stopped in %lld ms while waiting for a client", elapsed);
    QVERIFY(elapsed < 1000); // a stall time-out or a hang would take longer
    QCOMPARE(log.countLines("Pipe closed."), 1);
    QVERIFY(!QFileInfo::exists(socketFile(kPipe)));
}

void ThreadSettingsPipTest::destroyingWhileAClientStallsStillEnds()
{
    LogCapture log;
    auto thread = startedListener();
    QVERIFY(waitForLine(log, kWaiting));
    QProcess stalled;
    startPeer(stalled, {"raw-frame", "14000000", "--hold", "5000"});
    QTest::qWait(200);
    QElapsedTimer clock;
    clock.start();
    thread.reset();
    const qint64 elapsed = clock.elapsed();
    qInfo("listener stopped in %lld ms while a client stalled", elapsed);
    QVERIFY(elapsed < 3000);
    QCOMPARE(log.countLines("Pipe closed."), 1);
    stalled.kill();
    stalled.waitForFinished();
}

QTEST_GUILESS_MAIN(ThreadSettingsPipTest)
#include "ThreadSettingsPipTest.moc"
