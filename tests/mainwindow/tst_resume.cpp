// After logind's resume signal on a private system bus, the program sends the interface
// its stored state again exactly as a reconnect does: once per burst of signals, only
// for logind's own resume signal, only with an interface connected, and without showing
// a window.
#include "DeviceSimulator.h"
#include "LogCapture.h"
#include "PrivateSystemBus.h"
#include "driver/DriverTypes.h"
#include "mainwindow/MainWindow.h"
#include "mainwindow/ResumeReapply.h"
#include "settings/Settings.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>
#include <QtTest>

#include <cstdio>

namespace {

constexpr int kDetectWaitMs = 6000;
constexpr int kResumeWaitMs = 4000; // the settling wait and the whole detection
const QString kResumed = QStringLiteral("Resumed from sleep.");
const QString kInitDone = QStringLiteral("设置初始化完成");

struct Model
{
    const char* name;
    DevicePid pid;
    const char* ini;
    const char* micKey;
    int micValue;
    const char* switchKey; // a switch stored as on
};

const Model kModels[] = {
    {"tk1", 1, "/tk1.ini", "Dial/MicValue", 17, "Button/Mic48VIsChecked"},
    {"tk2", 2, "/tk2.ini", "Dial/Mic1Value", 23, "Button/Mic148VIsChecked"},
    {"zr", 15, "/zr.ini", "Dial/MicValue", 9, "Button/MonitorMicIsChecked"},
};

QString dataPath(const QString& name)
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + name;
}

void storeState(const Model& m)
{
    QDir().mkpath(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation));
    QSettings panel(dataPath(m.ini), QSettings::IniFormat);
    panel.setValue(m.micKey, m.micValue);
    panel.setValue(m.switchKey, true);
    panel.setValue("Dial/HeadphoneValue", -12);
    QSettings dialog(dataPath("/setting.ini"), QSettings::IniFormat);
    dialog.setValue("Audio/SampleRate", "44100");
    dialog.setValue("Audio/BufferSize", "512");
    dialog.setValue("USB/LatencySize", "24");
}

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The requests that act on the interface, as "name input" in order; the timers' product
// id and meter reads are left out.
QStringList appliedRequests(const DeviceSimulator& sim)
{
    QStringList sent;
    for (const JournalEntry& e : sim.journal())
        if (e.code != RequestCode::ReadProductId && e.code != RequestCode::ReadMeters)
            sent << e.decoded.value("name").toString() + ' ' + QString::fromLatin1(e.input.toHex());
    return sent;
}

// The log of the last detection of `pid`, from its "Device PID:" line on.
QStringList detectionLines(const LogCapture& log, DevicePid pid)
{
    const QStringList lines = log.lines();
    return lines.mid(lines.lastIndexOf(QStringLiteral("Device PID: %1").arg(pid)));
}

// What the simulated interface holds, less the counters of its socket.
QJsonObject heldState(DeviceSimulator& sim)
{
    QJsonObject state = sim.state();
    for (const char* counter : {"requests", "connections", "connectionsAccepted"})
        state.remove(counter);
    return state;
}

bool detectionsDone(const LogCapture& log, DevicePid pid, int count)
{
    return log.countLines(QStringLiteral("Device found with PID: %1").arg(pid)) >= count &&
           log.countLines(kInitDone) >= count;
}

// The program's three parts that a resume involves, wired as start-up wires them.
struct Program
{
    Program()
    {
        window.setSettingsWindow(&settings);
        new ResumeReapply(&window);
    }
    Settings settings;
    MainWindow window;
};

qint64 residentKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

} // namespace

class TestResume : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        for (const char* name : {"/tk1.ini", "/tk2.ini", "/zr.ini", "/setting.ini"})
            QFile::remove(dataPath(name));
    }

    void resumeSendsWhatAReconnectSends_data()
    {
        QTest::addColumn<int>("model");
        for (int i = 0; i < 3; ++i)
            QTest::newRow(kModels[i].name) << i;
    }

    void resumeSendsWhatAReconnectSends()
    {
        QFETCH(int, model);
        const Model& m = kModels[model];
        storeState(m);
        PrivateSystemBus bus;
        QVERIFY(bus.start());
        DeviceSimulator sim;
        QVERIFY(sim.start({"--model", m.name}));
        LogCapture log(false);
        Program program;
        // Shown once and closed to the tray, as a user leaves it.
        program.window.show();
        program.window.hide();
        QTRY_VERIFY_WITH_TIMEOUT(detectionsDone(log, m.pid, 1), kDetectWaitMs);

        // A reconnect after the interface lost its state, for comparison.
        QCOMPARE(sim.control("power-cycle"), QString("ok power-cycled"));
        QVERIFY(sim.control("unplug").startsWith("ok"));
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("Cleared all widgets from base layout."), 3000);
        sim.clearJournal();
        log.clear();
        QVERIFY(sim.control("plug").startsWith("ok"));
        QTRY_VERIFY_WITH_TIMEOUT(detectionsDone(log, m.pid, 1), kDetectWaitMs);
        QTest::qWait(300);
        const QStringList reconnectRequests = appliedRequests(sim);
        const QStringList reconnectLines = detectionLines(log, m.pid);
        const QJsonObject reconnectState = heldState(sim);
        const QVector<double> reconnectMatrix = sim.matrix();
        QVERIFY(reconnectRequests.size() > 5);

        // The same loss, but the driver rides through a sleep: only the resume tells.
        QCOMPARE(sim.control("power-cycle"), QString("ok power-cycled"));
        QCOMPARE(sim.state().value("sampleRate").toInt(), 48000);
        QVERIFY(sim.state().value("micVolume").toObject().isEmpty());
        const QByteArray panelIni = fileBytes(dataPath(m.ini));
        const QByteArray dialogIni = fileBytes(dataPath("/setting.ini"));
        const QWidget* activeBefore = QApplication::activeWindow();
        sim.clearJournal();
        log.clear();
        QVERIFY(bus.resumeFromLogind());
        QTRY_VERIFY_WITH_TIMEOUT(detectionsDone(log, m.pid, 1), kResumeWaitMs);
        QTest::qWait(300);

        QCOMPARE(log.countLines(kResumed), 1);
        QVERIFY(log.lines().indexOf(kResumed) <
                log.lines().indexOf(QStringLiteral("Device PID: %1").arg(m.pid)));
        QCOMPARE(appliedRequests(sim), reconnectRequests);
        QCOMPARE(detectionLines(log, m.pid), reconnectLines);
        QCOMPARE(heldState(sim), reconnectState);
        QCOMPARE(sim.matrix(), reconnectMatrix);
        // ...which is what the ini files hold.
        const QJsonObject state = sim.state();
        QCOMPARE(state.value("sampleRate").toInt(), 44100);
        QCOMPARE(state.value("micVolume").toObject().value("1").toInt(), 2 * m.micValue);
        if (m.pid != 15)
            QCOMPARE(state.value("mic48V").toObject().value("1").toInt(), 1);
        QCOMPARE(fileBytes(dataPath(m.ini)), panelIni);
        QCOMPARE(fileBytes(dataPath("/setting.ini")), dialogIni);

        QVERIFY(!program.window.isVisible());
        QVERIFY(!program.settings.isVisible());
        QCOMPARE(QApplication::activeWindow(), activeBefore);
    }

    void aBurstOfResumeSignalsGivesOneReapply()
    {
        PrivateSystemBus bus;
        QVERIFY(bus.start());
        DeviceSimulator sim;
        QVERIFY(sim.start({"--model", "tk2"}));
        LogCapture log(false);
        Program program;
        QTRY_VERIFY_WITH_TIMEOUT(detectionsDone(log, 2, 1), kDetectWaitMs);

        log.clear();
        QVERIFY(bus.resumeFromLogind());
        QTest::qWait(500);
        QVERIFY(bus.resumeFromLogind());
        QTRY_VERIFY_WITH_TIMEOUT(detectionsDone(log, 2, 1), kResumeWaitMs);

        // A flood: 100 signals within a second, while the event loop is watched.
        qint64 longestGapMs = 0;
        QElapsedTimer sinceTick;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout,
                         [&] { longestGapMs = qMax(longestGapMs, sinceTick.restart()); });
        const qint64 residentBefore = residentKb();
        sinceTick.start();
        ticker.start(5);
        QVERIFY(bus.resumeFromLogind(100, 10));
        QTRY_VERIFY_WITH_TIMEOUT(detectionsDone(log, 2, 2), kResumeWaitMs);
        ticker.stop();
        QTest::qWait(2500);
        std::printf("FIGURE resume flood: 100 signals in 1 s, longest event-loop gap %lld ms, "
                    "resident %lld -> %lld KiB\n",
                    longestGapMs, residentBefore, residentKb());

        QCOMPARE(log.countLines(kResumed), 2);
        QCOMPARE(log.countLines("Device found with PID: 2"), 2);
        QCOMPARE(log.countLines("Adding tk2 widget to layout."), 2);
        QCOMPARE(log.countLines(kInitDone), 2);
    }

    void onlyLogindsResumeCounts()
    {
        PrivateSystemBus bus;
        QVERIFY(bus.start());
        DeviceSimulator sim;
        QVERIFY(sim.start({"--model", "tk1"}));
        LogCapture log(false);
        Program program;
        QTRY_VERIFY_WITH_TIMEOUT(detectionsDone(log, 1, 1), kDetectWaitMs);

        QVERIFY(sim.control("power-cycle").startsWith("ok"));
        const QJsonObject powerOn = heldState(sim);
        sim.clearJournal();
        log.clear();
        // A process that does not own logind's name, then logind saying it goes to sleep.
        QVERIFY(bus.resumeFromStranger());
        QVERIFY(bus.sleepFromLogind());
        QTest::qWait(3000);
        QCOMPARE(log.countLines(kResumed), 0);
        QCOMPARE(appliedRequests(sim), QStringList());
        QCOMPARE(heldState(sim), powerOn);

        // The watch was listening all along: logind's own resume is heard.
        QVERIFY(bus.resumeFromLogind());
        QTRY_VERIFY_WITH_TIMEOUT(detectionsDone(log, 1, 1), kResumeWaitMs);
        QCOMPARE(log.countLines(kResumed), 1);
    }

    void resumeWithoutInterfaceChangesNothing()
    {
        PrivateSystemBus bus;
        QVERIFY(bus.start());
        DeviceSimulator sim;
        QVERIFY(sim.start({"--model", "tk2", "--unplugged"}));
        LogCapture log(false);
        Program program;
        QTRY_VERIFY_WITH_TIMEOUT(log.containsLine("Device PID: 0"), kDetectWaitMs);
        QVERIFY(bus.resumeFromLogind());
        QTRY_VERIFY_WITH_TIMEOUT(log.containsLine(kResumed), kResumeWaitMs);
        QTest::qWait(1500);
        for (const QString& line : log.lines().mid(log.lines().indexOf(kResumed) + 1))
            QCOMPARE(line, QString("Device PID: 0"));
        QVERIFY(!log.contains("Failed to create device"));
        QVERIFY(!program.window.isVisible());
        QVERIFY(!QFile::exists(dataPath("/setting.ini")));

        // Plugged in later, it is found by the detection as always.
        QVERIFY(sim.control("plug").startsWith("ok"));
        QTRY_VERIFY_WITH_TIMEOUT(detectionsDone(log, 2, 1), kDetectWaitMs);
        QCOMPARE(log.countLines(kResumed), 1);
    }

    void withoutSystemBusTheProgramRunsOn()
    {
        QString gone;
        {
            PrivateSystemBus bus;
            QVERIFY(bus.start());
            gone = bus.busAddress();
        }
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", gone.toUtf8());
        LogCapture log(false);
        {
            Program program;
            QCOMPARE(log.count("Resume from sleep is not watched: \"no system bus: "), 1);
            QTRY_VERIFY_WITH_TIMEOUT(log.countLines("Device PID: 0") >= 1, kDetectWaitMs);
        }
        qunsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        QCOMPARE(log.count("Resume from sleep"), 1);
    }
};

QTEST_MAIN(TestResume)
#include "tst_resume.moc"
