// The reset notice on OK and the ASIO driver's request to show the dialog, end to end
// with the ASIO peer program on the pipes.
#include "FullListener.h"
#include "LogCapture.h"
#include "platform/PosixSupport.h"
#include "settings/Settings.h"

#include <QProcess>
#include <QPushButton>
#include <QtTest>

namespace {
QString peerProgram()
{
    return QStringLiteral(QUORVIX_BIN_DIR "/quorvix-asiopeer");
}
} // namespace

class NoticeTest : public QObject
{
    Q_OBJECT
private slots:
    void eachOkSendsOneByteNotice();
    void withoutPeerTheNoticeIsLostAndLogged();
    void asioRequestBringsTheDialogToTheFront();
};

void NoticeTest::eachOkSendsOneByteNotice()
{
    QProcess peer;
    peer.start(peerProgram(), {"serve", "--count", "2"});
    QVERIFY(peer.waitForReadyRead(5000));
    QVERIFY(peer.readLine().startsWith("listening "));

    LogCapture log;
    Settings dialog;
    dialog.show();
    QPushButton* ok = dialog.findChild<QPushButton*>();
    QVERIFY(ok);
    QCOMPARE(ok->text(), QStringLiteral("OK"));
    ok->click();
    QVERIFY(!dialog.isVisible());
    dialog.notifyAsioReset();
    QVERIFY(peer.waitForFinished(5000));
    const QList<QByteArray> lines = peer.readAllStandardOutput().trimmed().split('\n');
    QCOMPARE(lines, QList<QByteArray>(2, "notice 5 bytes: 01 00 00 00 31 text: \"1\""));

    const QStringList expected = {"Pipe opened successfully.",
                                  "ASIO reset signal sent successfully.", "设置通知ASIO逻辑"};
    QStringList seen;
    for (const QString& line : log.lines())
        if (expected.contains(line))
            seen << line;
    QCOMPARE(seen, expected + expected);
}

void NoticeTest::withoutPeerTheNoticeIsLostAndLogged()
{
    LogCapture log;
    Settings dialog;
    dialog.show();
    dialog.notifyAsioReset();
    QVERIFY(!dialog.isVisible());
    QCOMPARE(log.countLines("Error: Could not open pipe. Error code: 2"), 1);
    QVERIFY(!log.containsLine("Pipe opened successfully."));
    QVERIFY(!log.containsLine("设置通知ASIO逻辑"));

    // An ASIO side that does not accept is a busy pipe: no wait, no retry.
    FullListener busy(platform::endpointPath(L"\\\\.\\pipe\\QuorvixPannelToASIO"));
    QVERIFY(busy.isFull());
    dialog.notifyAsioReset();
    QCOMPARE(log.countLines("Error: Could not open pipe. Error code: 231"), 1);
    QVERIFY(!log.containsLine("Pipe opened successfully."));
}

void NoticeTest::asioRequestBringsTheDialogToTheFront()
{
    LogCapture log;
    Settings dialog;
    QVERIFY(!dialog.isVisible());
    QCOMPARE(QProcess::execute(peerProgram(), {"open"}), 0);
    QTRY_VERIFY_WITH_TIMEOUT(dialog.isVisible(), 5000);
    QVERIFY(dialog.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    QCOMPARE(log.countLines("Received signal from pipe thread to show settings window."), 1);

    // A request whose fifth word is zero leaves a hidden dialog hidden.
    dialog.hide();
    QCOMPARE(QProcess::execute(peerProgram(), {"open", "1", "2", "3", "4", "0"}), 0);
    QVERIFY(QTest::qWaitFor([&] { return log.containsLine("Received data from pipe: 1 2 3 4 0"); },
                            5000));
    QTest::qWait(100);
    QVERIFY(!dialog.isVisible());

    // A minimized dialog is restored.
    dialog.showMinimized();
    QCOMPARE(QProcess::execute(peerProgram(), {"open"}), 0);
    QTRY_COMPARE_WITH_TIMEOUT(
        log.countLines("Received signal from pipe thread to show settings window."), 2, 5000);
    QVERIFY(dialog.isVisible());
    QVERIFY(!dialog.isMinimized());
}

QTEST_MAIN(NoticeTest)
#include "NoticeTest.moc"
