// Months of use compressed: the interface is unplugged and plugged again 60 times,
// changing model between TK1, TK2 and ZR, with the main window and the settings dialog
// running in this process (detection and watch at ten times their speed). Every
// reconnect must send the saved controls again, nothing may be lost, and open
// descriptors and heap must stay flat after warm-up.
#include "DeviceSimulator.h"
#include "FastTimers.h"
#include "LogCapture.h"
#include "SoakKit.h"
#include "driver/DriverTypes.h"
#include "mainwindow/MainWindow.h"
#include "settings/Settings.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>
#include <QtTest>

namespace {

// The 45 reconnects after warm-up are enough: a descriptor leaked by every reconnect, or
// by every third (one model's), passes the slack, and a reconnect that leaks as little as
// one status label (about 15 KiB) passes the heap budget, which grows with the cycles;
// otherwise the heap grows by under 1 KiB a reconnect.
constexpr int kCycles = 60;
constexpr int kWarmUp = 15;
constexpr int kFdSlack = 4;
constexpr qint64 kHeapPerCycleKb = 8;
static_assert((kCycles - kWarmUp) / 3 > kFdSlack);
constexpr int kStepMs = 8000;

struct Model
{
    const char* name;
    DevicePid pid;
    const char* ini;
    const char* micKey;
    int micValue;
};

const Model kModels[] = {
    {"tk1", 1, "/tk1.ini", "Dial/MicValue", 17},
    {"tk2", 2, "/tk2.ini", "Dial/Mic1Value", 23},
    {"zr", 15, "/zr.ini", "Dial/MicValue", 9},
};

QString dataPath(const char* name)
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QLatin1String(name);
}

void saveControls()
{
    QDir().mkpath(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation));
    for (const Model& m : kModels) {
        QSettings ini(dataPath(m.ini), QSettings::IniFormat);
        ini.setValue(QLatin1String(m.micKey), m.micValue);
        ini.setValue(QStringLiteral("Dial/HeadphoneValue"), -12);
    }
    QSettings settings(dataPath("/setting.ini"), QSettings::IniFormat);
    settings.setValue(QStringLiteral("Audio/SampleRate"), QStringLiteral("44100"));
    settings.setValue(QStringLiteral("Audio/BufferSize"), QStringLiteral("256"));
    settings.setValue(QStringLiteral("USB/LatencySize"), QStringLiteral("24"));
}

// The mic gain levels that setMicVolume requests carried on channel 1.
QList<int> micLevelsSent(DeviceSimulator& sim)
{
    QList<int> levels;
    for (const JournalEntry& e : sim.journalWithCode(RequestCode::SendCommand))
        if (e.input.size() == DeviceCommand::Size && quint8(e.input[1]) == 0x07 && e.input[4] == 1)
            levels << (quint8(e.input[5]) | quint8(e.input[6]) << 8);
    return levels;
}

QList<quint32> valuesSent(DeviceSimulator& sim, quint32 code)
{
    QList<quint32> values;
    for (const JournalEntry& e : sim.journalWithCode(code))
        if (e.input.size() == 4)
            values << qFromLittleEndian<quint32>(e.input.constData());
    return values;
}

} // namespace

class ReplugSoak : public QObject
{
    Q_OBJECT

private slots:
    void replugsAndModelChangesKeepEverythingFlat()
    {
        saveControls();
        DeviceSimulator sim;
        QVERIFY(sim.start({"--model", "tk1", "--unplugged", "--quiet", "--journal-matrix", "brief",
                           "--buffer-size", "256", "--latency", "24"}));
        LogCapture log(false);
        Settings settings;
        MainWindow window;
        window.setSettingsWindow(&settings);
        speedUp(window, 10);

        int fdWarm = 0;
        qint64 heapWarm = 0;
        qint64 rssWarm = 0;
        QElapsedTimer clock;
        clock.start();
        for (int cycle = 0; cycle < kCycles; ++cycle) {
            const Model& m = kModels[cycle % 3];
            sim.clearJournal();
            log.clear();
            QCOMPARE(sim.control(QStringLiteral("model %1").arg(m.name)).left(2), QString("ok"));
            QCOMPARE(sim.control("plug").left(2), QString("ok"));
            QTRY_COMPARE_WITH_TIMEOUT(log.count("Device found with PID:"), 1, kStepMs);
            QVERIFY2(log.containsLine(QStringLiteral("Device found with PID: %1").arg(m.pid)),
                     m.name);

            // The panel and the dialog sent the saved controls again.
            QVERIFY2(micLevelsSent(sim).contains(2 * m.micValue),
                     qPrintable(QStringLiteral("cycle %1 %2").arg(cycle).arg(m.name)));
            QVERIFY(valuesSent(sim, RequestCode::SetSampleRate).contains(44100));

            QCOMPARE(sim.control("unplug").left(2), QString("ok"));
            QTRY_COMPARE_WITH_TIMEOUT(log.count("Cleared all widgets from base layout."), 1,
                                      kStepMs);

            if ((cycle + 1) % kWarmUp == 0) {
                const int fds = soak::openFdCount();
                const qint64 heap = soak::heapInUseKb();
                const qint64 rss = soak::residentKb();
                soak::figure(QStringLiteral("replug cycle %1: %2 open fds, %3 KiB heap, %4 KiB "
                                            "resident, %5 s elapsed")
                                 .arg(cycle + 1)
                                 .arg(fds)
                                 .arg(heap)
                                 .arg(rss)
                                 .arg(clock.elapsed() / 1000.0, 0, 'f', 1));
                if (cycle + 1 == kWarmUp) {
                    fdWarm = fds;
                    heapWarm = heap;
                    rssWarm = rss;
                }
            }
        }
        const int fdEnd = soak::openFdCount();
        const qint64 heapEnd = soak::heapInUseKb();
        const qint64 rssEnd = soak::residentKb();
        soak::figure(QStringLiteral("replug: %1 cycles survived; fds %2 -> %3, heap %4 -> %5 KiB, "
                                    "resident %6 -> %7 KiB after warm-up; settings dialog holds "
                                    "%8 timers")
                         .arg(kCycles)
                         .arg(fdWarm)
                         .arg(fdEnd)
                         .arg(heapWarm)
                         .arg(heapEnd)
                         .arg(rssWarm)
                         .arg(rssEnd)
                         .arg(settings.findChildren<QTimer*>().size()));
        QVERIFY2(fdEnd <= fdWarm + kFdSlack, "open descriptors grow with reconnects");
        // The live heap, which the sanitizer's quarantine of freed memory does not inflate.
        QVERIFY2(heapEnd - heapWarm < kHeapPerCycleKb * (kCycles - kWarmUp),
                 "memory grows with reconnects");

        // Nothing saved was lost on the way.
        for (const Model& m : kModels) {
            QSettings ini(dataPath(m.ini), QSettings::IniFormat);
            QCOMPARE(ini.value(QLatin1String(m.micKey)).toInt(), m.micValue);
            QCOMPARE(ini.value(QStringLiteral("Dial/HeadphoneValue")).toInt(), -12);
        }
        QSettings settingsIni(dataPath("/setting.ini"), QSettings::IniFormat);
        QCOMPARE(settingsIni.value(QStringLiteral("Audio/BufferSize")).toString(), QString("256"));
        QCOMPARE(settingsIni.value(QStringLiteral("USB/LatencySize")).toString(), QString("24"));
    }
};

QTEST_MAIN(ReplugSoak)
#include "tst_replug_soak.moc"
