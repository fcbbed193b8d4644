// The program killed with SIGKILL while it saves: it is started again and again against
// the simulated interface and killed in the middle of restoring (and so re-saving) its
// controls. Every ini file must afterwards hold its whole content, never a part, and
// the next start must not be slowed by what the kill left behind.
#include "DeviceSimulator.h"
#include "SoakKit.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSettings>
#include <QThread>
#include <QtTest>

#include <memory>

namespace {

const QString kProgram = QStringLiteral(QUORVIX_BIN_DIR "/QuorvixDriver");
constexpr int kKills = 12;
constexpr qint64 kPromptRestoreMs = 6000; // one detection tick plus generous headroom

using Values = QMap<QString, QVariant>;

// Two complete sets of saved controls; each start gets one of them.
Values panelValues(int variant)
{
    return {{"Button/MicInstrIsChecked", variant == 0},
            {"Button/Mic20dBIsChecked", variant == 1},
            {"Button/Mic48VIsChecked", true},
            {"Button/MonitorMicIsChecked", variant == 0},
            {"Dial/MicValue", variant == 0 ? 11 : 31},
            {"Dial/HeadphoneValue", variant == 0 ? -20 : -5},
            {"Button/HeadphoneMuteIsChecked", false},
            {"Button/HeadphoneDimIsChecked", variant == 1},
            {"Dial/OtgToHpValue", variant == 0 ? -3 : 2}};
}

Values settingValues(int variant)
{
    return {{"Audio/BufferSize", variant == 0 ? "128" : "512"},
            {"Audio/SampleRate", "44100"},
            {"USB/LatencySize", "16"},
            {"USB/SlowMode", variant == 0 ? "Disabled" : "Enabled"}};
}

// The program's data folder: no organisation, the program's own name.
QString programData()
{
    return qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/QuorvixDriver");
}

void writeIni(const QString& path, const Values& values)
{
    QFile::remove(path);
    QSettings ini(path, QSettings::IniFormat);
    for (auto it = values.begin(); it != values.end(); ++it)
        ini.setValue(it.key(), it.value());
    ini.sync();
}

// Empty when the file holds exactly these values; otherwise what differs.
QString compareIni(const QString& path, const Values& values)
{
    QSettings ini(path, QSettings::IniFormat);
    if (ini.status() != QSettings::NoError)
        return QStringLiteral("unreadable");
    for (auto it = values.begin(); it != values.end(); ++it)
        if (ini.value(it.key()).toString() != it.value().toString())
            return it.key() + QStringLiteral(" = ") + ini.value(it.key()).toString();
    return {};
}

class Program
{
public:
    explicit Program(const QString& tempDir)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_FORCE_STDERR_LOGGING", "1");
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("LC_ALL", "en_US.UTF-8");
        // Its single-instance keys live in the temp folder: keep them private.
        env.insert("TMPDIR", tempDir);
        process.setProcessEnvironment(env);
        process.start(kProgram, {});
        clock.start();
    }
    ~Program()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    // Waits for a log text; the time since start when it appeared, or -1.
    qint64 waitFor(const QByteArray& text, int timeoutMs)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired()) {
            err += process.readAllStandardError();
            if (err.contains(text))
                return clock.elapsed();
            if (process.state() == QProcess::NotRunning)
                return -1;
            process.waitForReadyRead(20);
        }
        return -1;
    }
    void killNow()
    {
        process.kill();
        process.waitForFinished(5000);
    }

    QProcess process;
    QByteArray err;
    QElapsedTimer clock;
};

} // namespace

class KillWhileSaving : public QObject
{
    Q_OBJECT

private slots:
    void everyIniFileIsWholeAfterAKill()
    {
        const QString temp = QDir::currentPath() + QStringLiteral("/tmp");
        QVERIFY(QDir().mkpath(temp));
        QVERIFY(QDir().mkpath(programData()));
        const QString tk1Ini = programData() + QStringLiteral("/tk1.ini");
        const QString settingIni = programData() + QStringLiteral("/setting.ini");
        DeviceSimulator sim;
        QVERIFY(sim.start({"--model", "tk1", "--quiet", "--journal-matrix", "brief"}));
        QRandomGenerator random(2024);

        int killedMidRestore = 0;
        for (int round = 0; round < kKills; ++round) {
            const int variant = round % 2;
            writeIni(tk1Ini, panelValues(variant));
            writeIni(settingIni, settingValues(variant));
            // The driver's values differ, so the dialog saves its choices again.
            sim.control(QStringLiteral("set bufferSize %1").arg(variant == 0 ? 512 : 128));
            sim.control(QStringLiteral("set slowMode %1").arg(variant == 0 ? "on" : "off"));

            Program program(temp);
            // From the first detection on, the dialog and then the panel restore their
            // controls, saving each one again: the kill lands somewhere in there.
            const bool detected = program.waitFor("Device PID: 1", 10000) >= 0;
            QThread::usleep(random.bounded(300000));
            program.killNow();
            program.err += program.process.readAllStandardError();
            // The dialog and then the panel each log this line when their restore is done.
            killedMidRestore += detected && program.err.count("已从配置文件加载控件状态") < 2;
            QVERIFY2(detected, qPrintable(QStringLiteral("start %1: ").arg(round) +
                                          QString::fromUtf8(program.err.right(1500))));

            const QString panelDiff = compareIni(tk1Ini, panelValues(variant));
            QVERIFY2(
                panelDiff.isEmpty(),
                qPrintable(QStringLiteral("tk1.ini after kill %1: %2").arg(round).arg(panelDiff)));
            const QString settingDiff = compareIni(settingIni, settingValues(variant));
            QVERIFY2(
                settingDiff.isEmpty(),
                qPrintable(
                    QStringLiteral("setting.ini after kill %1: %2").arg(round).arg(settingDiff)));
        }
        const QStringList left = QDir(programData()).entryList(QDir::Files);
        soak::figure(QStringLiteral("kill while saving: %1 kills, %2 in the middle of the "
                                    "restore, every ini file whole; files left: %3")
                         .arg(kKills)
                         .arg(killedMidRestore)
                         .arg(left.join(' ')));

        // One key missing, so the next start visibly writes this very file.
        Values expected = panelValues((kKills - 1) % 2);
        expected.remove("Dial/OtgToHpValue");
        writeIni(tk1Ini, expected);
        expected.insert("Dial/OtgToHpValue", 0);
        // The worst a kill can leave: an empty lock beside every ini file.
        for (const QString& name : {tk1Ini, settingIni})
            QFile(name + QStringLiteral(".lock")).open(QIODevice::WriteOnly);
        Program program(temp);
        const qint64 restored = program.waitFor("Adding tk1 widget to layout.", 40000);
        const qint64 initialised = program.waitFor("设置初始化完成", 40000);
        soak::figure(QStringLiteral("start after kills: controls restored %1 ms after start, "
                                    "settings re-applied after %2 ms")
                         .arg(restored)
                         .arg(initialised));
        QVERIFY2(restored >= 0 && restored < kPromptRestoreMs, "the start after a kill is slow");
        QVERIFY2(initialised >= 0 && initialised < kPromptRestoreMs + 2000,
                 "the settings after a kill are slow");
        QTRY_COMPARE_WITH_TIMEOUT(compareIni(tk1Ini, expected), QString(), 5000);
    }
};

QTEST_MAIN(KillWhileSaving)
#include "tst_kill_while_saving.moc"
