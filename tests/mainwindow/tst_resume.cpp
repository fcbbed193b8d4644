// After logind's resume signal on a private system bus, the program sends the interface
// its stored state again exactly as a reconnect does: once per burst of signals, only
// for logind's own resume signal, only with an interface connected, and without showing
// a window.
#include "DeviceSimulator.h"
#include "FastTimers.h"
#include "LogCapture.h"
#include "PrivateSystemBus.h"
#include "driver/DriverTypes.h"
#include "mainwindow/MainWindow.h"
#include "mainwindow/ResumeDecision.h"
#include "mainwindow/ResumeReapply.h"
#include "settings/Settings.h"
#include "soak/SoakKit.h"

#include <QFile>
#include <QSettings>
#include <QStandardPaths>
#include <QtTest>

namespace {

// Detection, watch and the resume's settling wait (2 s in the program) run this many
// times faster.
constexpr int kSpeed = 4;
constexpr int kSettleMs = 2000 / kSpeed;
constexpr int kDetectWaitMs = 6000;
constexpr int kResumeWaitMs = 4000; // the settling wait and the whole detection
// Long enough for a re-apply that must not come to show: the settling wait and a whole
// detection.
constexpr int kQuietMs = kSettleMs + 1000;
const QString kResumed = QStringLiteral("Resumed from sleep.");

QString dataPath(const QString& name)
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + name;
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

// What the simulated interface holds, less the counters of its socket.
QJsonObject heldState(DeviceSimulator& sim)
{
    QJsonObject state = sim.state();
    for (const char* counter : {"requests", "connections", "connectionsAccepted"})
        state.remove(counter);
    return state;
}

// A private system bus, the simulator, and the program's parts that a resume involves,
// wired as start-up wires them.
struct Rig
{
    bool start(const QStringList& simArguments)
    {
        if (!bus.start() || !sim.start(simArguments))
            return false;
        window = std::make_unique<MainWindow>();
        window->setSettingsWindow(&settings);
        new ResumeReapply(window.get());
        speedUp(*window, kSpeed);
        return true;
    }
    // Whether `count` detections of `pid` have run to their end since the log was cleared.
    bool detected(DevicePid pid, int count) const
    {
        return log.countLines(QStringLiteral("Device found with PID: %1").arg(pid)) >= count &&
               log.countLines(QStringLiteral("设置初始化完成")) >= count;
    }
    // The log of the last detection of `pid`, from its "Device PID:" line on.
    QStringList detectionLines(DevicePid pid) const
    {
        const QStringList lines = log.lines();
        return lines.mid(lines.lastIndexOf(QStringLiteral("Device PID: %1").arg(pid)));
    }

    PrivateSystemBus bus;
    DeviceSimulator sim;
    LogCapture log{false};
    Settings settings;
    std::unique_ptr<MainWindow> window;
};

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
        QTest::addColumn<QString>("model");
        QTest::addColumn<DevicePid>("pid");
        QTest::addColumn<QString>("micKey");
        QTest::addColumn<QString>("switchKey"); // a switch stored as on
        QTest::newRow("tk1") << "tk1" << 1u << "Dial/MicValue"
                             << "Button/Mic48VIsChecked";
        QTest::newRow("tk2") << "tk2" << 2u << "Dial/Mic1Value"
                             << "Button/Mic148VIsChecked";
        QTest::newRow("zr") << "zr" << 15u << "Dial/MicValue"
                            << "Button/MonitorMicIsChecked";
    }

    void resumeSendsWhatAReconnectSends()
    {
        QFETCH(QString, model);
        QFETCH(DevicePid, pid);
        QFETCH(QString, micKey);
        QFETCH(QString, switchKey);
        const QString panelIni = dataPath('/' + model + ".ini");
        const QString dialogIni = dataPath("/setting.ini");
        {
            QSettings panel(panelIni, QSettings::IniFormat);
            panel.setValue(micKey, 17);
            panel.setValue(switchKey, true);
            panel.setValue("Dial/HeadphoneValue", -12);
            QSettings(dialogIni, QSettings::IniFormat).setValue("Audio/SampleRate", "44100");
        }
        Rig rig;
        QVERIFY(rig.start({"--model", model}));
        // Shown once and closed to the tray, as a user leaves it.
        rig.window->show();
        rig.window->hide();
        QTRY_VERIFY_WITH_TIMEOUT(rig.detected(pid, 1), kDetectWaitMs);

        // A reconnect after the interface lost its state, for comparison.
        QCOMPARE(rig.sim.control("power-cycle"), QString("ok power-cycled"));
        QVERIFY(rig.sim.control("unplug").startsWith("ok"));
        QTRY_VERIFY_WITH_TIMEOUT(rig.log.contains("Cleared all widgets from base layout."), 3000);
        rig.sim.clearJournal();
        rig.log.clear();
        QVERIFY(rig.sim.control("plug").startsWith("ok"));
        QTRY_VERIFY_WITH_TIMEOUT(rig.detected(pid, 1), kDetectWaitMs);
        QTest::qWait(300);
        const QStringList reconnectRequests = appliedRequests(rig.sim);
        const QStringList reconnectLines = rig.detectionLines(pid);
        const QJsonObject reconnectState = heldState(rig.sim);
        const QVector<double> reconnectMatrix = rig.sim.matrix();
        QVERIFY(reconnectRequests.size() > 5);

        // The same loss, but the driver rides through a sleep: only the resume tells.
        QVERIFY(rig.sim.control("power-cycle").startsWith("ok"));
        QCOMPARE(rig.sim.state().value("sampleRate").toInt(), 48000);
        const QByteArray panelBytes = fileBytes(panelIni);
        const QByteArray dialogBytes = fileBytes(dialogIni);
        const QWidget* activeBefore = QApplication::activeWindow();
        rig.sim.clearJournal();
        rig.log.clear();
        QVERIFY(rig.bus.resumeFromLogind());
        QTRY_VERIFY_WITH_TIMEOUT(rig.detected(pid, 1), kResumeWaitMs);
        QTest::qWait(300);

        QCOMPARE(rig.log.lines().value(0),
                 QString("Resume noticed by: the system's resume notice"));
        QCOMPARE(rig.log.lines().value(1), kResumed);
        QCOMPARE(rig.log.countLines(kResumed), 1);
        QCOMPARE(appliedRequests(rig.sim), reconnectRequests);
        QCOMPARE(rig.detectionLines(pid), reconnectLines);
        QCOMPARE(heldState(rig.sim), reconnectState);
        QCOMPARE(rig.sim.matrix(), reconnectMatrix);
        // ...which is what the ini files hold.
        const QJsonObject state = rig.sim.state();
        QCOMPARE(state.value("sampleRate").toInt(), 44100);
        QCOMPARE(state.value("micVolume").toObject().value("1").toInt(), 2 * 17);
        if (pid != 15)
            QCOMPARE(state.value("mic48V").toObject().value("1").toInt(), 1);
        QCOMPARE(fileBytes(panelIni), panelBytes);
        QCOMPARE(fileBytes(dialogIni), dialogBytes);

        QVERIFY(!rig.window->isVisible());
        QVERIFY(!rig.settings.isVisible());
        QCOMPARE(QApplication::activeWindow(), activeBefore);
    }

    void aBurstOfResumeSignalsGivesOneReapply()
    {
        Rig rig;
        QVERIFY(rig.start({"--model", "tk2"}));
        QTRY_VERIFY_WITH_TIMEOUT(rig.detected(2, 1), kDetectWaitMs);

        rig.log.clear();
        QVERIFY(rig.bus.resumeFromLogind(2, kSettleMs / 4));
        QTRY_VERIFY_WITH_TIMEOUT(rig.detected(2, 1), kResumeWaitMs);

        // A flood: 100 signals within a second, longer than the settling wait, which each
        // signal must start again.
        soak::StallMeter stalls;
        const qint64 residentBefore = soak::residentKb();
        QVERIFY(rig.bus.resumeFromLogind(100, 10));
        QTRY_VERIFY_WITH_TIMEOUT(rig.detected(2, 2), kResumeWaitMs);
        QTest::qWait(kQuietMs);
        const qint64 stall = stalls.longestStallMs();
        soak::figure(QStringLiteral("resume flood: 100 signals in 1 s, longest event-loop stall "
                                    "%1 ms, resident %2 -> %3 KiB")
                         .arg(stall)
                         .arg(residentBefore)
                         .arg(soak::residentKb()));
        // One detection stalls it well under 1 s; a re-apply per signal or blocking wait, seconds.
        QVERIFY2(stall < 1500, "the resume flood held the event loop");

        QCOMPARE(rig.log.countLines(kResumed), 2);
        QCOMPARE(rig.log.countLines("Adding tk2 widget to layout."), 2);
        QVERIFY(!rig.detected(2, 3));
    }

    void onlyLogindsResumeCounts()
    {
        Rig rig;
        QVERIFY(rig.start({"--model", "tk1"}));
        QTRY_VERIFY_WITH_TIMEOUT(rig.detected(1, 1), kDetectWaitMs);

        QVERIFY(rig.sim.control("power-cycle").startsWith("ok"));
        const QJsonObject powerOn = heldState(rig.sim);
        rig.sim.clearJournal();
        rig.log.clear();
        // A process that does not own logind's name, then logind saying it goes to sleep.
        QVERIFY(rig.bus.resumeFromStranger());
        QVERIFY(rig.bus.sleepFromLogind());
        QTest::qWait(kQuietMs);
        QCOMPARE(rig.log.countLines(kResumed), 0);
        QCOMPARE(appliedRequests(rig.sim), QStringList());
        QCOMPARE(heldState(rig.sim), powerOn);

        // The watch was listening all along: logind's own resume is heard.
        QVERIFY(rig.bus.resumeFromLogind());
        QTRY_VERIFY_WITH_TIMEOUT(rig.detected(1, 1), kResumeWaitMs);
    }

    // Modern Standby's display notices: a display that only idled off and on again is no
    // resume; one that comes on after a suspend notice, or after more than a minute off,
    // is. The system's resume notice always is.
    void displayCountsOnlyAfterSuspendOrALongOff()
    {
        using platform::PowerNotice;
        const std::string none;
        const std::string resume = "the system's resume notice";
        const std::string afterSuspend = "the display coming on after a suspend notice";
        const std::int64_t minute = ResumeDecision::kStandbyEntryMs;
        QCOMPARE(minute, 60000);
        ResumeDecision d;
        // The registration's first report, the display already on.
        QCOMPARE(d.take(PowerNotice::DisplayOn, 0), none);
        // Idle: off for half a minute, and exactly the entry time.
        QCOMPARE(d.take(PowerNotice::DisplayOff, 1000), none);
        QCOMPARE(d.take(PowerNotice::DisplayOn, 31000), none);
        QCOMPARE(d.take(PowerNotice::DisplayOff, 40000), none);
        QCOMPARE(d.take(PowerNotice::DisplayOn, 40000 + minute), none);
        // Off longer than the entry takes; a repeated off report keeps the first time.
        QCOMPARE(d.take(PowerNotice::DisplayOff, 200000), none);
        QCOMPARE(d.take(PowerNotice::DisplayOff, 250000), none);
        QCOMPARE(d.take(PowerNotice::DisplayOn, 275000),
                 std::string("the display coming on after 75 s off"));
        QCOMPARE(d.take(PowerNotice::DisplayOn, 276000), none);
        // After a suspend notice a short off counts, once.
        QCOMPARE(d.take(PowerNotice::Suspend, 300000), none);
        QCOMPARE(d.take(PowerNotice::DisplayOff, 300500), none);
        QCOMPARE(d.take(PowerNotice::DisplayOn, 305000), afterSuspend);
        QCOMPARE(d.take(PowerNotice::DisplayOff, 306000), none);
        QCOMPARE(d.take(PowerNotice::DisplayOn, 307000), none);
        // The resume notice ends the suspend: the display that follows is the same wake.
        QCOMPARE(d.take(PowerNotice::Suspend, 400000), none);
        QCOMPARE(d.take(PowerNotice::DisplayOff, 400100), none);
        QCOMPARE(d.take(PowerNotice::Resume, 410000), resume);
        QCOMPARE(d.take(PowerNotice::DisplayOn, 410500), none);
        QCOMPARE(d.take(PowerNotice::Resume, 500000), resume);
    }

    void resumeWithoutInterfaceChangesNothing()
    {
        Rig rig;
        QVERIFY(rig.start({"--model", "tk2", "--unplugged"}));
        QTRY_VERIFY_WITH_TIMEOUT(rig.log.containsLine("Device PID: 0"), kDetectWaitMs);
        QVERIFY(rig.bus.resumeFromLogind());
        QTRY_VERIFY_WITH_TIMEOUT(rig.log.containsLine(kResumed), kResumeWaitMs);
        QTest::qWait(kQuietMs);
        const QStringList lines = rig.log.lines();
        for (const QString& line : lines.mid(lines.indexOf(kResumed) + 1))
            QCOMPARE(line, QString("Device PID: 0"));
        QVERIFY(!rig.window->isVisible());
        QVERIFY(!QFile::exists(dataPath("/setting.ini")));

        // Plugged in later, it is found by the detection as always.
        QVERIFY(rig.sim.control("plug").startsWith("ok"));
        QTRY_VERIFY_WITH_TIMEOUT(rig.detected(2, 1), kDetectWaitMs);
        QCOMPARE(rig.log.countLines(kResumed), 1);
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
            MainWindow window;
            new ResumeReapply(&window);
            speedUp(window, kSpeed);
            QCOMPARE(log.count("Resume from sleep is not watched: \"no system bus: "), 1);
            QTRY_VERIFY_WITH_TIMEOUT(log.countLines("Device PID: 0") >= 1, kDetectWaitMs);
        }
        qunsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        QCOMPARE(log.count("Resume from sleep"), 1);
    }
};

QTEST_MAIN(TestResume)
#include "tst_resume.moc"
