// The program as a whole process: one copy at a time, recovery from a killed copy (and
// of its control socket), translation chosen from the locale, the device-open lines, and
// the log file beside the debug stream.
#include "CtlRunner.h"
#include "DeviceSimulator.h"

#include <QDir>
#include <QProcess>
#include <QtTest>

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString kProgram = QStringLiteral(QUORVIX_BIN_DIR "/QuorvixDriver");

QString logFolder()
{
    return qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/QuorvixDriver/logs");
}

// The messages of the program's log file, each with its time stamp and level taken off.
QList<QByteArray> loggedMessages()
{
    QFile file(logFolder() + QStringLiteral("/QuorvixMixer.log"));
    QList<QByteArray> messages;
    if (!file.open(QIODevice::ReadOnly))
        return messages;
    static const QRegularExpression stamp(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3} [a-z]+ "));
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QRegularExpressionMatch match = stamp.match(QString::fromUtf8(line));
        if (match.hasMatch())
            messages.append(line.mid(match.capturedLength()));
    }
    return messages;
}

// A running copy of the program whose output is collected as it arrives.
class ProgramRun
{
public:
    explicit ProgramRun(const QString& locale = QStringLiteral("en_US.UTF-8"),
                        const QMap<QString, QString>& extra = {}, const QStringList& asUser = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("LANG", locale);
        env.insert("LC_ALL", locale);
        env.insert("QT_FORCE_STDERR_LOGGING", "1");
        env.insert("QT_QPA_PLATFORM", "offscreen");
        for (auto it = extra.begin(); it != extra.end(); ++it)
            env.insert(it.key(), it.value());
        process.setProcessEnvironment(env);
        if (asUser.isEmpty())
            process.start(kProgram, {});
        else
            process.start(asUser.first(), asUser.mid(1) << kProgram);
    }
    ~ProgramRun()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    bool waitForLog(const QString& text, int timeoutMs)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired()) {
            collect();
            if (err.contains(text.toUtf8())) {
                return true;
            }
            if (process.state() == QProcess::NotRunning) {
                collect();
                return err.contains(text.toUtf8());
            }
            process.waitForReadyRead(100);
        }
        return false;
    }
    void collect()
    {
        err += process.readAllStandardError();
        out += process.readAllStandardOutput();
    }
    QProcess process;
    QByteArray err;
    QByteArray out;
};
} // namespace

class TestProgram : public QObject
{
    Q_OBJECT

private slots:
    void secondCopyExitsWithZero()
    {
        ProgramRun first;
        QVERIFY(first.waitForLog("Device PID:", 5000));
        ProgramRun second;
        QVERIFY(second.process.waitForFinished(10000));
        second.collect();
        QCOMPARE(second.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.process.exitCode(), 0);
        QVERIFY(second.err.contains("Quorvix Mixer 已经在运行中。"));
        QVERIFY(!second.err.contains("Device PID:"));
        // The first copy is untouched and keeps detecting.
        QCOMPARE(first.process.state(), QProcess::Running);
        first.err.clear();
        QVERIFY(first.waitForLog("Device PID:", 3000));
    }

    void killedCopyDoesNotBlockTheNext()
    {
        {
            ProgramRun victim;
            QVERIFY(victim.waitForLog("Device PID:", 5000));
            ::kill(static_cast<pid_t>(victim.process.processId()), SIGKILL);
            QVERIFY(victim.process.waitForFinished(5000));
        }
        ProgramRun next;
        QVERIFY2(next.waitForLog("Device PID:", 5000), next.err.constData());
        QVERIFY(!next.err.contains("已经在运行中"));
        // The killed copy's control socket was replaced: the next one answers on it.
        const CtlResult status = runCtl({"status", "--json"});
        QCOMPARE(status.exitCode, 0);
        QVERIFY(status.out.contains("\"connected\": false"));
        next.collect();
        QVERIFY(!next.err.contains("Control endpoint not started"));
    }

    void copiesStartedTogetherExcludeEachOther()
    {
        ProgramRun a;
        ProgramRun b;
        QVERIFY(a.process.waitForStarted(5000));
        QVERIFY(b.process.waitForStarted(5000));
        QTest::qWait(2500);
        a.collect();
        b.collect();
        const int running = (a.process.state() == QProcess::Running ? 1 : 0) +
                            (b.process.state() == QProcess::Running ? 1 : 0);
        QCOMPARE(running, 1);
        ProgramRun& loser = a.process.state() == QProcess::Running ? b : a;
        QCOMPARE(loser.process.exitCode(), 0);
        QVERIFY(loser.err.contains("Quorvix Mixer 已经在运行中。"));
    }

    void otherUsersCopiesAreNotSeen()
    {
        const passwd* nobody = ::getpwnam("nobody");
        if (::geteuid() != 0 || !nobody || QStandardPaths::findExecutable("setpriv").isEmpty())
            QSKIP("needs root, the user nobody and setpriv");
        const QStringList asNobody = {"setpriv", "--reuid=nobody", "--regid=nogroup",
                                      "--clear-groups", "--"};
        if (QProcess::execute(asNobody.first(), asNobody.mid(1) << "test"
                                                                << "-x" << kProgram))
            QSKIP("the program is out of reach of the user nobody");

        // One temporary folder for everyone, as /tmp is; nobody's own private folders.
        const QString shared = QDir::tempPath() + "/shared";
        const QString theirs = QDir::tempPath() + "/nobody";
        QVERIFY(QDir().mkpath(shared) && QDir().mkpath(theirs));
        QVERIFY(::chmod(shared.toLocal8Bit(), 01777) == 0);
        QVERIFY(::chmod(theirs.toLocal8Bit(), 0700) == 0);
        QVERIFY(::chown(theirs.toLocal8Bit(), nobody->pw_uid, nobody->pw_gid) == 0);
        const QMap<QString, QString> mine = {{"TMPDIR", shared}};
        const QMap<QString, QString> nobodys = {{"TMPDIR", shared},
                                                {"XDG_RUNTIME_DIR", theirs},
                                                {"HOME", theirs},
                                                {"XDG_DATA_HOME", theirs + "/data"},
                                                {"XDG_CONFIG_HOME", theirs + "/config"}};

        ProgramRun other("en_US.UTF-8", nobodys, asNobody);
        QVERIFY2(other.waitForLog("Device PID:", 5000), other.err.constData());
        ProgramRun own("en_US.UTF-8", mine);
        QVERIFY2(own.waitForLog("Device PID:", 5000), own.err.constData());
        QVERIFY(!own.err.contains("已经在运行中"));

        // Each user's second copy still finds that user's first one.
        for (const bool theirSecond : {false, true}) {
            ProgramRun second("en_US.UTF-8", theirSecond ? nobodys : mine,
                              theirSecond ? asNobody : QStringList());
            QVERIFY(second.process.waitForFinished(10000));
            second.collect();
            QCOMPARE(second.process.exitCode(), 0);
            QVERIFY(second.err.contains("Quorvix Mixer 已经在运行中。"));
        }
        QCOMPARE(other.process.state(), QProcess::Running);
        QCOMPARE(own.process.state(), QProcess::Running);
    }

    void chineseTaiwanLoadsTheChineseFile()
    {
        ProgramRun run(QStringLiteral("zh_TW.UTF-8"));
        QVERIFY(run.waitForLog("成功加载翻译文件：", 5000));
        QVERIFY(run.err.contains("系统返回的语言代码： \"zh_TW\""));
        QVERIFY(run.err.contains("QuorvixDriver_zh_CN.qm"));
    }

    void busyAndMissingBusesAreSkippedUntilBusThree()
    {
        // Bus 0 belongs to a driver side that has stopped accepting: busy, skipped at once.
        DeviceSimulator stuck;
        QVERIFY(stuck.start({"--bus", "0", "--model", "tk2"}));
        QVERIFY(stuck.control("busy on").startsWith("ok"));
        DeviceSimulator sim;
        QVERIFY(sim.start({"--bus", "3", "--model", "tk1"}));
        ProgramRun run;
        QVERIFY(run.waitForLog("Device found with PID: 1", 6000));
        run.collect();
        const QList<QByteArray> lines = run.out.split('\n');
        // The first detection tick: bus 0 is busy, 1 and 2 fail with code 2, bus 3 opens.
        QCOMPARE(lines.value(0),
                 QByteArray("Open device \\\\.\\QuorvixAudioBus0 failed, error: 170"));
        QCOMPARE(lines.value(1),
                 QByteArray("Open device \\\\.\\QuorvixAudioBus1 failed, error: 2"));
        QCOMPARE(lines.value(2),
                 QByteArray("Open device \\\\.\\QuorvixAudioBus2 failed, error: 2"));
        QCOMPARE(lines.value(3), QByteArray("Open device \\\\.\\QuorvixAudioBus3 success!"));
        QVERIFY(!run.out.contains("QuorvixAudioBus4"));
    }

    void debugStreamIsUnchangedAndCopiedToTheLogFile()
    {
        QDir(logFolder()).removeRecursively();
        ProgramRun run;
        QVERIFY(run.waitForLog("Device PID:", 5000));
        QDeadlineTimer deadline(5000);
        while (!deadline.hasExpired() && !loggedMessages().contains("Device PID: 0"))
            QTest::qWait(50);
        run.collect();
        // The stream's lines carry no stamp: the first is the locale line, byte for byte.
        const QList<QByteArray> stream = run.err.split('\n');
        QCOMPARE(stream.value(0), QByteArray("系统返回的语言代码： \"en_US\""));
        const qsizetype detected = stream.indexOf("Device PID: 0");
        QVERIFY(detected > 0);
        // The file holds the same lines from the start, each stamped.
        const QList<QByteArray> logged = loggedMessages();
        QCOMPARE(logged.mid(0, detected + 1), stream.mid(0, detected + 1));
    }

    void unwritableLogFolderDoesNotStopTheProgram()
    {
        // A file where the log folder would be: the folder can never be made, not even by
        // root, who writes into a folder whatever its mode.
        QDir(logFolder()).removeRecursively();
        QVERIFY(QDir().mkpath(QFileInfo(logFolder()).path()));
        QFile blocker(logFolder());
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        ProgramRun run;
        QVERIFY(run.waitForLog("Device PID:", 5000));
        const QByteArray stream = run.err;
        run.err.clear();
        QVERIFY(run.waitForLog("Device PID:", 3000));
        QCOMPARE(run.process.state(), QProcess::Running);
        // The stream is the one without a log file: no complaint names the folder.
        QVERIFY(stream.startsWith("系统返回的语言代码： \"en_US\"\n"));
        QVERIFY(!(stream + run.err).contains(QFile::encodeName(logFolder())));
        // The file in the way is left as it was, not written nor replaced.
        QVERIFY(QFileInfo(logFolder()).isFile() && QFileInfo(logFolder()).size() == 0);
        QVERIFY(QFile::remove(logFolder()));
    }
};

QTEST_GUILESS_MAIN(TestProgram)
#include "tst_program.moc"
