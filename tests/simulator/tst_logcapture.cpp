// LogCapture: what it records, from which threads, how captures nest, and that the
// previous handler comes back.
#include "support/LogCapture.h"

#include <QThread>
#include <QtTest>

namespace {

QStringList outsideMessages;

void outsideHandler(QtMsgType, const QMessageLogContext&, const QString& message)
{
    outsideMessages.append(message);
}

} // namespace

class TestLogCapture : public QObject
{
    Q_OBJECT

private slots:
    void recordsMessagesAsPrinted();
    void recordsFromOtherThreads();
    void nestsAndRestores();
};

void TestLogCapture::recordsMessagesAsPrinted()
{
    LogCapture log(false);
    qDebug() << "Mic volume set to:" << 42;
    qDebug() << "Device PID:" << 15u;
    qWarning() << "Name:" << QString("tk1");
    QCOMPARE(log.lines(),
             (QStringList{"Mic volume set to: 42", "Device PID: 15", "Name: \"tk1\""}));
    QVERIFY(log.contains("set to"));
    QVERIFY(!log.contains("Set to"));
    QCOMPARE(log.count("Device PID: 1"), 1);
    QCOMPARE(log.countLines("Device PID: 1"), 0);
    QVERIFY(log.containsLine("Device PID: 15"));
    log.clear();
    QVERIFY(log.lines().isEmpty());
    qDebug("after clear");
    QCOMPARE(log.lines(), QStringList{"after clear"});
}

void TestLogCapture::recordsFromOtherThreads()
{
    LogCapture log(false);
    QList<QThread*> threads;
    for (int t = 0; t < 4; ++t)
        threads.append(QThread::create([t] {
            for (int i = 0; i < 250; ++i)
                qDebug() << "thread" << t << "message" << i;
        }));
    for (QThread* thread : threads)
        thread->start();
    for (QThread* thread : threads) {
        QVERIFY(thread->wait(10000));
        delete thread;
    }
    QCOMPARE(log.lines().size(), 1000);
    for (int t = 0; t < 4; ++t)
        QCOMPARE(log.count(QStringLiteral("thread %1 message").arg(t)), 250);
    QCOMPARE(log.countLines("thread 3 message 249"), 1);
}

void TestLogCapture::nestsAndRestores()
{
    outsideMessages.clear();
    const QtMessageHandler before = qInstallMessageHandler(outsideHandler);
    {
        LogCapture outer(true);
        {
            LogCapture inner(true);
            qDebug("both");
            {
                LogCapture quiet(false);
                qDebug("only the quiet one");
                QCOMPARE(quiet.lines(), QStringList{"only the quiet one"});
            }
            QCOMPARE(inner.lines(), QStringList{"both"});
        }
        qDebug("outer again");
        QCOMPARE(outer.lines(), (QStringList{"both", "outer again"}));
    }
    qDebug("outside");
    qInstallMessageHandler(before);
    QCOMPARE(outsideMessages, (QStringList{"both", "outer again", "outside"}));
}

QTEST_GUILESS_MAIN(TestLogCapture)
#include "tst_logcapture.moc"
