// The main window's detection and connection watch against the device simulator, both
// run four times faster than in the program.
#include "DeviceSimulator.h"
#include "FastTimers.h"
#include "LogCapture.h"
#include "driver/DriverTypes.h"
#include "mainwindow/DetectionBackoff.h"
#include "mainwindow/MainWindow.h"
#include "panels/tk1.h"
#include "panels/tk2.h"
#include "panels/zr.h"
#include "settings/Settings.h"

#include <QLabel>
#include <QLayout>
#include <QtTest>

namespace {
constexpr int kSpeed = 4;
constexpr int kTickMs = 1000 / kSpeed;
constexpr int kWatchMs = 400 / kSpeed;
constexpr int kDetectWaitMs = 4000;

// The widgets the window's base layout holds, in order.
QList<QWidget*> layoutWidgets(MainWindow& window)
{
    QList<QWidget*> widgets;
    QLayout* layout = window.centralWidget()->layout();
    for (int i = 0; i < layout->count(); ++i) {
        if (QWidget* w = layout->itemAt(i)->widget()) {
            widgets << w;
        }
    }
    return widgets;
}

QString statusText(MainWindow& window)
{
    for (QWidget* w : layoutWidgets(window)) {
        if (auto* label = qobject_cast<QLabel*>(w)) {
            return label->text();
        }
    }
    return QString();
}

template <typename Panel> int panelCount(MainWindow& window)
{
    int n = 0;
    for (QWidget* w : layoutWidgets(window)) {
        n += qobject_cast<Panel*>(w) ? 1 : 0;
    }
    return n;
}
} // namespace

class TestDetection : public QObject
{
    Q_OBJECT

private slots:
    void noDeviceLogsZeroEverySecond()
    {
        LogCapture log;
        MainWindow window;
        speedUp(window, kSpeed);
        QCOMPARE(window.windowTitle(), QString("Quorvix Driver"));
        QCOMPARE(statusText(window), QString("声卡未连接！"));
        QCOMPARE(window.styleSheet(), QString("QMainWindow { background-color: #2c313c; }"));
        QTRY_VERIFY_WITH_TIMEOUT(log.count("Device PID: 0") >= 2, kDetectWaitMs);
        QCOMPARE(statusText(window), QString("声卡未连接！"));
        QVERIFY(!log.contains("Device found with PID:"));
    }

    void tk2WithFirmwareNamesTheTitle()
    {
        DeviceSimulator sim;
        QVERIFY(sim.start({"--model", "tk2", "--firmware", "1.0.3"}));
        LogCapture log;
        MainWindow window;
        speedUp(window, kSpeed);
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("Device found with PID: 2"), kDetectWaitMs);
        QString expected = QStringLiteral("Quorvix TK2 - FW: 1.0.3");
        expected += QString(5, QChar(0));
        QCOMPARE(window.windowTitle(), expected);
        QCOMPARE(panelCount<tk2>(window), 1);
        QCOMPARE(log.count("Adding tk2 widget to layout."), 1);
        // Detection stops once connected: no further "Device PID:" lines.
        const int before = log.count("Device PID: 2");
        QTest::qWait(3 * kTickMs);
        QCOMPARE(log.count("Device PID: 2"), before);
    }

    void eachKnownModelGetsItsPanel_data()
    {
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("logLine");
        QTest::newRow("tk1") << "tk1"
                             << "Adding tk1 widget to layout.";
        QTest::newRow("zr") << "zr"
                            << "Adding zr widget to layout.";
    }

    void eachKnownModelGetsItsPanel()
    {
        QFETCH(QString, model);
        QFETCH(QString, logLine);
        DeviceSimulator sim;
        QVERIFY(sim.start({"--model", model, "--firmware", "2.1.0"}));
        LogCapture log;
        MainWindow window;
        speedUp(window, kSpeed);
        QTRY_VERIFY_WITH_TIMEOUT(log.contains(logLine), kDetectWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(panelCount<tk1>(window) + panelCount<zr>(window), 1, 1000);
        QVERIFY(window.windowTitle().startsWith(model == "tk1" ? "Quorvix TK1 - FW: 2.1.0"
                                                               : "Quorvix ZR - FW: 2.1.0"));
    }

    void unknownModelIsReportedEverySecond()
    {
        DeviceSimulator sim;
        QVERIFY(sim.start({"--model", "7"}));
        LogCapture log;
        MainWindow window;
        speedUp(window, kSpeed);
        QTRY_VERIFY_WITH_TIMEOUT(log.count("Unknown device PID: 7") >= 2, kDetectWaitMs);
        QCOMPARE(statusText(window), QString("未知设备，请检查连接！"));
        QCOMPARE(layoutWidgets(window).size(), 1);
        QVERIFY(!log.contains("Adding"));
        QCOMPARE(window.windowTitle(), QString("Quorvix Driver"));
    }

    void unknownModelUnpluggedStopsBeingReported()
    {
        DeviceSimulator sim;
        QVERIFY(sim.start({"--model", "7"}));
        LogCapture log;
        MainWindow window;
        speedUp(window, kSpeed);
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("Unknown device PID: 7"), kDetectWaitMs);
        QVERIFY(sim.control("unplug").startsWith("ok"));
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("Device PID: 0"), kDetectWaitMs);
        const int unknownLines = log.count("Unknown device PID: 7");
        QTest::qWait(3 * kTickMs);
        QCOMPARE(log.count("Unknown device PID: 7"), unknownLines);
    }

    void unplugTearsDownAfterThirdFailedRead()
    {
        DeviceSimulator sim;
        QVERIFY(sim.start({"--model", "tk2", "--firmware", "1.0.3"}));
        LogCapture log;
        MainWindow window;
        speedUp(window, kSpeed);
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("Device found with PID: 2"), kDetectWaitMs);
        const QString title = window.windowTitle();

        QVERIFY(sim.control("unplug").startsWith("ok"));
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("Cleared all widgets from base layout."), 3000);
        const QStringList lines = log.lines();
        const int third = lines.indexOf("Error reading device PID from driver, error count: 3");
        QVERIFY(third > 0);
        QVERIFY(lines.indexOf("Error reading device PID from driver, error count: 2") < third);
        QCOMPARE(lines.value(third + 1), QString("Meter driver handle deleted."));
        QCOMPARE(lines.value(third + 2), QString("Cleared all widgets from base layout."));
        QVERIFY(!log.contains("Error reading device PID from driver, error count: 4"));

        QTRY_COMPARE_WITH_TIMEOUT(panelCount<tk2>(window), 0, 1000);
        QCOMPARE(statusText(window), QString("声卡未连接！"));
        QCOMPARE(window.windowTitle(), title);
        QTRY_VERIFY_WITH_TIMEOUT(log.count("Device PID: 0") >= 1, kDetectWaitMs);

        // Plugged back: a fresh panel, and the watch starts counting from zero again.
        log.clear();
        QVERIFY(sim.control("plug").startsWith("ok"));
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("Device found with PID: 2"), kDetectWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(panelCount<tk2>(window), 1, 1000);
        QVERIFY(sim.control("refuse 0xFFDC2084 1").startsWith("ok"));
        QTRY_VERIFY_WITH_TIMEOUT(
            log.contains("Error reading device PID from driver, error count: 1"), 2000);
        QTest::qWait(3 * kWatchMs);
        QCOMPARE(panelCount<tk2>(window), 1);
        QVERIFY(!log.contains("Error reading device PID from driver, error count: 2"));
    }

    void handOverThatKeepsFailingEndsAfterThreeFailedReads()
    {
        // One handle at a time: while the tick's own device holds it, the dialog's open
        // and the new watch's open fail, on every tick.
        DeviceSimulator sim;
        QVERIFY(sim.start({"--model", "tk2"}));
        QVERIFY(sim.control("max-handles 1").startsWith("ok"));
        LogCapture log;
        Settings settings;
        MainWindow window;
        speedUp(window, kSpeed);
        window.setSettingsWindow(&settings);
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("Cleared all widgets from base layout."), 8000);
        const QStringList lines = log.lines();
        QVERIFY(lines.count("Failed to connect to driver in settings window.") >= 2);
        const int third = lines.indexOf("Error reading device PID from driver, error count: 3");
        QVERIFY(third > 0);
        QCOMPARE(lines.value(third + 1), QString("Meter driver handle deleted."));
        QCOMPARE(lines.value(third + 2), QString("Cleared all widgets from base layout."));
        QVERIFY(!log.contains("Error reading device PID from driver, error count: 4"));
        QCOMPARE(panelCount<tk2>(window), 0);
        QVERIFY(!log.contains("Device found with PID:"));
    }

    void firmwareFailureRetriesEveryTick()
    {
        DeviceSimulator sim;
        QVERIFY(sim.start({"--model", "tk1"}));
        QVERIFY(sim.control("short-firmware on").startsWith("ok"));
        LogCapture log;
        MainWindow window;
        speedUp(window, kSpeed);
        QTRY_VERIFY_WITH_TIMEOUT(log.count("Failed to get firmware version.") >= 2, kDetectWaitMs);
        QList<QWidget*> widgets = layoutWidgets(window);
        QCOMPARE(widgets.size(), 2);
        QVERIFY(qobject_cast<tk1*>(widgets.at(0)));
        QCOMPARE(statusText(window), QString("获取固件版本失败，请检查连接！"));
        QVERIFY(!log.contains("Device found with PID:"));
        QCOMPARE(window.windowTitle(), QString("Quorvix Driver"));

        QVERIFY(sim.control("short-firmware off").startsWith("ok"));
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("Device found with PID: 1"), kDetectWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(layoutWidgets(window).size(), 1, 1000);
        QCOMPARE(panelCount<tk1>(window), 1);
    }

    // The ticks on which probes are made while every probe times out until tick 150 and
    // is answered from then on, with a request of ours held on ticks 60 to 62.
    void backoffDoublesUpToThirtyTicksAndEndsOnAnAnswer()
    {
        DetectionBackoff backoff;
        QList<int> probes;
        QList<int> changes;
        for (int tick = 1; tick <= 160; ++tick) {
            const std::size_t held = tick >= 60 && tick <= 62 ? 1 : 0;
            if (backoff.mayProbe(held)) {
                probes << tick;
                if (backoff.probed(tick < 150))
                    changes << backoff.waitTicks();
            }
        }
        // Gaps of 2, 4, 8, 16, then 30 at most; the probe due on tick 61 waits until no
        // request is held; one answer brings back a probe on every tick.
        QCOMPARE(probes, (QList<int>{1, 3, 7, 15, 31, 63, 93, 123, 153, 154, 155, 156, 157, 158,
                                     159, 160}));
        // Each change of the wait is reported once, so the log says it once.
        QCOMPARE(changes, (QList<int>{2, 4, 8, 16, 30, 1}));
    }

    // A driver that never answers: each probe costs one request bound, so the detection
    // waits longer after each, and finds the device once the driver answers again.
    void silentDriverSlowsDetectionDown()
    {
        DeviceSimulator sim;
        QVERIFY(sim.start({"--model", "tk2"}));
        QVERIFY(sim.control("silent on").startsWith("ok"));
        LogCapture log;
        MainWindow window;
        speedUp(window, kSpeed);
        const QString eight =
            QStringLiteral("The driver did not answer in time; next detection in 8 s.");
        QTRY_VERIFY_WITH_TIMEOUT(log.contains(eight), 12000);
        const QStringList lines = log.lines();
        const int two = lines.indexOf("The driver did not answer in time; next detection in 2 s.");
        const int four = lines.indexOf("The driver did not answer in time; next detection in 4 s.");
        QVERIFY(two >= 0 && two < four && four < lines.indexOf(eight));
        // One probe for each line, not one per tick.
        QCOMPARE(log.countLines("Device PID: 0"), 3);

        QVERIFY(sim.control("silent off").startsWith("ok"));
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("Device found with PID: 2"), 8 * kTickMs + 4000);
        QCOMPARE(log.count("next detection in 16 s"), 0);
    }
};

QTEST_MAIN(TestDetection)
#include "tst_detection.moc"
