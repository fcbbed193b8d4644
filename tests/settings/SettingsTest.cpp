// The settings dialog against the device simulator: the request sequences of each
// list, what is saved when, and the reload on every detection.
#include "LogCapture.h"
#include "SettingsTestKit.h"

#include <QDir>
#include <QTimer>
#include <QtTest>

using namespace settingskit;

namespace {
const QString kInitDone = QStringLiteral("设置初始化完成");
const QString kRateDone = QStringLiteral("设置采样频率完成");

bool waitForLine(const LogCapture& log, const QString& line, int times = 1)
{
    return QTest::qWaitFor([&] { return log.countLines(line) >= times; }, 5000);
}
} // namespace

class SettingsTest : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void constructionBuildsListsWithoutRequests();
    void firstStartAppliesDefaultsAgainstTheDriver();
    void bufferSizeTheDriverHasSendsNothing();
    void largerBufferKeepsASmallerLatency();
    void latencyTheDriverHasSendsNothing();
    void failedLatencySetLeavesListNewAndStoreOld();
    void failedLatencyReadCountsAsZero();
    void storedSafeModeIsAppliedOnlyWhenKnown();
    void twoQuickRateChangesRunTwoOtgCycles();
    void savedRateIsResentOnEveryReload();
    void withoutADriverEverySequenceFailsQuietly();
    void failedSaveIsNotReportedAsSaved();

private:
    std::unique_ptr<DeviceSimulator> simulator;
    std::unique_ptr<Settings> dialog;
    bool startWith(const QStringList& options);
};

void SettingsTest::init()
{
    QDir(iniPath()).removeRecursively(); // left by a failed save test
    resetStore();
    simulator = std::make_unique<DeviceSimulator>();
}

void SettingsTest::cleanup()
{
    dialog.reset();
    simulator.reset();
}

bool SettingsTest::startWith(const QStringList& options)
{
    if (!simulator->start(options))
        return false;
    dialog = std::make_unique<Settings>();
    if (!dialog->createDevice())
        return false;
    simulator->clearJournal();
    return true;
}

void SettingsTest::constructionBuildsListsWithoutRequests()
{
    LogCapture log;
    QVERIFY(simulator->start({"--model", "tk1"}));
    dialog = std::make_unique<Settings>();
    QCOMPARE(dialog->windowTitle(), QStringLiteral("Settings"));
    QVERIFY(!dialog->isVisible());
    QCOMPARE(list(*dialog, BufferSize)->count(), 8);
    QCOMPARE(list(*dialog, BufferSize)->currentText(), QStringLiteral("48"));
    QCOMPARE(list(*dialog, Latency)->currentText(), QStringLiteral("8"));
    QCOMPARE(list(*dialog, SampleRate)->currentText(), QStringLiteral("44100"));
    QCOMPARE(list(*dialog, SafeMode)->itemText(1), QStringLiteral("Enabled"));
    QVERIFY(log.containsLine("Settings dialog created."));
    QVERIFY(log.containsLine("ThreadSettingsPip initialized."));
    // Building the lists ran no handler, and nothing was sent or saved.
    QVERIFY(!log.contains("设置"));
    QVERIFY(simulator->journal().isEmpty());
    QVERIFY(!QFile::exists(iniPath()) || stored("Audio/BufferSize").isNull());

    dialog.reset();
    QCOMPARE(log.countLines("Settings dialog closed and resources cleaned up."), 1);
    QCOMPARE(log.countLines("Pipe closed."), 1);
}

void SettingsTest::firstStartAppliesDefaultsAgainstTheDriver()
{
    LogCapture log;
    QVERIFY(startWith({"--buffer-size", "512", "--latency", "32", "--sample-rate", "48000"}));
    dialog->loadControlState();
    QVERIFY(waitForLine(log, kInitDone));

    QCOMPARE(requests(*simulator),
             QStringList({"getBufferSize", "getUsbLatency",
                          // the latency list moves to 24 and its handler runs first
                          "getUsbLatency", "stopAudio", "setUsbLatency=24", "startAudio",
                          "stopAudio", "setBufferSize=192", "startAudio",
                          // then the rate sequence and the phone-chip cycle
                          "getSampleRate", "stopAudio", "setSampleRate=44100", "setWdmChannels=4",
                          "setOtgOff", "setOtgOn", "initAudio"}));
    QCOMPARE(stored("USB/LatencySize").toString(), QStringLiteral("24"));
    QCOMPARE(stored("Audio/BufferSize").toString(), QStringLiteral("192"));
    QVERIFY(stored("Audio/SampleRate").isNull());
    QVERIFY(stored("USB/SlowMode").isNull());
    QCOMPARE(list(*dialog, Latency)->currentText(), QStringLiteral("24"));

    const QStringList expectedLines = {
        "设置音频缓冲区大小为： 192 samples",
        "当前音频缓冲区大小： 512",
        "设置USB延迟大小为： 24 Frame",
        "当前USB延迟大小： 32",
        "USB延迟大小设置已保存： \"24\"",
        "音频缓冲区大小设置成功： 192 samples",
        "音频缓冲区大小设置已保存： \"192\"",
        "已从配置文件加载控件状态",
        "加载控件状态完成",
        "当前音频采样率为： 48000",
        "停止音频成功，开始加载控件状态",
        kInitDone,
    };
    for (const QString& line : expectedLines)
        QVERIFY2(log.containsLine(line), qPrintable(line));

    // A blocking 100 ms pause before the rate, 200 ms steps in the phone-chip cycle.
    QVERIFY(timeOf(*simulator, "setSampleRate") - timeOf(*simulator, "stopAudio", 2) >= 90);
    // Never early: each phone-chip step waits its whole 200 ms.
    QVERIFY(timeOf(*simulator, "setOtgOff") - timeOf(*simulator, "setWdmChannels") >= 200);
    QVERIFY(timeOf(*simulator, "setOtgOn") - timeOf(*simulator, "setOtgOff") >= 200);
    const QJsonObject state = simulator->state();
    QCOMPARE(state.value("bufferSize").toInt(), 192);
    QCOMPARE(state.value("usbLatency").toInt(), 24);
    QCOMPARE(state.value("sampleRate").toInt(), 44100);
}

void SettingsTest::bufferSizeTheDriverHasSendsNothing()
{
    QVERIFY(startWith({"--buffer-size", "256"}));
    list(*dialog, BufferSize)->setCurrentText("256");
    QCOMPARE(requests(*simulator), QStringList({"getBufferSize"}));
    QVERIFY(stored("Audio/BufferSize").isNull());
}

void SettingsTest::largerBufferKeepsASmallerLatency()
{
    QVERIFY(startWith({"--buffer-size", "256", "--latency", "8"}));
    list(*dialog, BufferSize)->setCurrentText("1024");
    QCOMPARE(requests(*simulator), QStringList({"getBufferSize", "getUsbLatency", "stopAudio",
                                                "setBufferSize=1024", "startAudio"}));
    QCOMPARE(list(*dialog, Latency)->currentText(), QStringLiteral("8"));
    QVERIFY(stored("USB/LatencySize").isNull());
    QCOMPARE(stored("Audio/BufferSize").toString(), QStringLiteral("1024"));
}

void SettingsTest::latencyTheDriverHasSendsNothing()
{
    QVERIFY(startWith({"--latency", "16"}));
    list(*dialog, Latency)->setCurrentText("16");
    QCOMPARE(requests(*simulator), QStringList({"getUsbLatency"}));
    QVERIFY(stored("USB/LatencySize").isNull());
}

void SettingsTest::failedLatencySetLeavesListNewAndStoreOld()
{
    LogCapture log;
    QVERIFY(startWith({"--latency", "16"}));
    list(*dialog, Latency)->setCurrentText("24");
    QCOMPARE(stored("USB/LatencySize").toString(), QStringLiteral("24"));
    QCOMPARE(streaming(*simulator), QVariant(true));

    QVERIFY(simulator->control("refuse setUsbLatency").startsWith("ok"));
    simulator->clearJournal();
    list(*dialog, Latency)->setCurrentText("32");
    QCOMPARE(requests(*simulator),
             QStringList({"getUsbLatency", "stopAudio", "setUsbLatency=32!refused"}));
    QVERIFY(log.containsLine("设置USB延迟大小失败，可能是驱动未正确加载或设备未连接。"));
    QCOMPARE(list(*dialog, Latency)->currentText(), QStringLiteral("32"));
    QCOMPARE(stored("USB/LatencySize").toString(), QStringLiteral("24"));
    // Streaming stays stopped until a later sequence restarts it.
    QCOMPARE(streaming(*simulator), QVariant(false));
}

void SettingsTest::failedLatencyReadCountsAsZero()
{
    LogCapture log;
    QVERIFY(startWith({"--latency", "8"}));
    list(*dialog, Latency)->setCurrentText("16");
    QVERIFY(simulator->control("refuse getUsbLatency").startsWith("ok"));
    simulator->clearJournal();
    // The driver is at 16 and the list goes back to 8: sent although the read failed.
    list(*dialog, Latency)->setCurrentText("8");
    QCOMPARE(requests(*simulator),
             QStringList({"getUsbLatency!refused", "stopAudio", "setUsbLatency=8", "startAudio"}));
    QVERIFY(log.containsLine("当前USB延迟大小： 0"));
    QCOMPARE(stored("USB/LatencySize").toString(), QStringLiteral("8"));

    // During a buffer change the same failed read ends the sequence.
    simulator->clearJournal();
    list(*dialog, BufferSize)->setCurrentText("512");
    QCOMPARE(requests(*simulator), QStringList({"getBufferSize", "getUsbLatency!refused"}));
    QVERIFY(log.containsLine("获取USB延迟大小失败，可能是驱动未正确加载或设备未连接。"));
    QVERIFY(stored("Audio/BufferSize").isNull());
}

void SettingsTest::storedSafeModeIsAppliedOnlyWhenKnown()
{
    // Stored values that match the driver, so only the safe mode can cause requests.
    resetStore({{"USB/SlowMode", "Maybe"}, {"Audio/BufferSize", "256"}, {"USB/LatencySize", "16"}});
    QVERIFY(startWith({"--buffer-size", "256", "--latency", "16"}));
    LogCapture log;
    dialog->loadControlState();
    QVERIFY(waitForLine(log, kInitDone));
    QCOMPARE(list(*dialog, SafeMode)->currentText(), QStringLiteral("Disabled"));
    QStringList sent = requests(*simulator);
    QVERIFY(!sent.contains("enableSlowMode") && !sent.contains("disableSlowMode"));
    QCOMPARE(sent.first(), QStringLiteral("getUsbLatency"));
    QCOMPARE(stored("USB/SlowMode").toString(), QStringLiteral("Maybe"));

    // A stored "Enabled" runs the safe-mode handler.
    resetStore(
        {{"USB/SlowMode", "Enabled"}, {"Audio/BufferSize", "256"}, {"USB/LatencySize", "16"}});
    dialog.reset();
    dialog = std::make_unique<Settings>();
    QVERIFY(dialog->createDevice());
    simulator->clearJournal();
    dialog->loadControlState();
    QVERIFY(waitForLine(log, kInitDone, 2));
    sent = requests(*simulator);
    const qsizetype enable = sent.indexOf("enableSlowMode");
    QVERIFY(enable > 0);
    QCOMPARE(sent.at(enable - 1), QStringLiteral("stopAudio"));
    QCOMPARE(sent.at(enable + 1), QStringLiteral("startAudio"));
    QVERIFY(log.containsLine("USB慢速模式设置已保存： \"Enabled\""));
    QCOMPARE(simulator->state().value("slowMode").toBool(), true);
}

void SettingsTest::twoQuickRateChangesRunTwoOtgCycles()
{
    LogCapture log;
    QVERIFY(startWith({"--sample-rate", "44100"}));
    const int timersBefore = dialog->findChildren<QTimer*>().size();
    list(*dialog, SampleRate)->setCurrentText("48000");
    list(*dialog, SampleRate)->setCurrentText("44100");
    QVERIFY(waitForLine(log, kRateDone, 2));
    QCOMPARE(requests(*simulator),
             QStringList({"stopAudio", "setSampleRate=48000", "setWdmChannels=4", "initAudio",
                          "stopAudio", "setSampleRate=44100", "setWdmChannels=4", "initAudio",
                          "setOtgOff", "setOtgOff", "setOtgOn", "setOtgOn"}));
    // Each cycle had its own two timers, kept stopped by the dialog.
    const QList<QTimer*> timers = dialog->findChildren<QTimer*>();
    QCOMPARE(timers.size() - timersBefore, 4);
    for (QTimer* timer : timers) {
        QVERIFY(!timer->isActive());
        QCOMPARE(timer->timerType(), Qt::PreciseTimer);
    }
    QCOMPARE(stored("Audio/SampleRate").toString(), QStringLiteral("44100"));
    QVERIFY(log.containsLine("设置音频采样率为： 48000 Hz"));
    QVERIFY(log.containsLine("音频采样率设置已保存： \"44100\""));
}

void SettingsTest::savedRateIsResentOnEveryReload()
{
    LogCapture log;
    resetStore(
        {{"Audio/SampleRate", "48000"}, {"Audio/BufferSize", "256"}, {"USB/LatencySize", "16"}});
    QVERIFY(startWith({"--sample-rate", "44100", "--buffer-size", "256", "--latency", "16"}));
    dialog->loadControlState();
    QVERIFY(waitForLine(log, kInitDone));
    QCOMPARE(simulator->state().value("sampleRate").toInt(), 48000);

    // The interface comes back with another rate; the list already shows 48000.
    QVERIFY(simulator->control("set sampleRate 44100").startsWith("ok"));
    QVERIFY(dialog->createDevice());
    simulator->clearJournal();
    dialog->loadControlState();
    QVERIFY(waitForLine(log, kInitDone, 2));
    // The lists already show the stored values, so no handler runs before the rate.
    QCOMPARE(requests(*simulator),
             QStringList({"getSampleRate", "stopAudio", "setSampleRate=48000", "setWdmChannels=4",
                          "setOtgOff", "setOtgOn", "initAudio"}));
    QCOMPARE(simulator->state().value("sampleRate").toInt(), 48000);
    QCOMPARE(streaming(*simulator), QVariant(true));
}

void SettingsTest::withoutADriverEverySequenceFailsQuietly()
{
    LogCapture log;
    QVERIFY(simulator->start({"--unplugged"}));
    dialog = std::make_unique<Settings>();
    // No link yet: every request fails without reaching anything.
    list(*dialog, BufferSize)->setCurrentText("512");
    QVERIFY(log.containsLine("当前音频缓冲区大小： 0"));
    QVERIFY(log.containsLine("获取音频缓冲区大小失败，可能是驱动未正确加载或设备未连接。"));
    list(*dialog, SafeMode)->setCurrentText("Enabled");
    QVERIFY(log.containsLine("停止音频失败，可能是驱动未正确加载或设备未连接。"));

    QVERIFY(!dialog->createDevice());
    QCOMPARE(log.countLines("Failed to create device in tk1."), 1);
    dialog->loadControlState();
    QCOMPARE(log.countLines("当前音频采样率为： 0"), 1);
    QTest::qWait(500); // no phone-chip cycle may start after the failed stop
    QVERIFY(!log.contains("OTG"));
    QVERIFY(simulator->journal().isEmpty());
    QVERIFY(!QFile::exists(iniPath()) ||
            QSettings(iniPath(), QSettings::IniFormat).allKeys().isEmpty());
}

void SettingsTest::failedSaveIsNotReportedAsSaved()
{
    // A folder where the file should be: the driver is set, the file cannot take it.
    QFile::remove(iniPath());
    QVERIFY(QDir().mkpath(iniPath()));
    LogCapture log;
    QVERIFY(startWith({"--buffer-size", "512", "--latency", "8"}));
    list(*dialog, BufferSize)->setCurrentText("256");
    const QString failed = QStringLiteral("保存配置文件失败： \"%1\"").arg(iniPath());
    QVERIFY(log.containsLine("音频缓冲区大小设置成功： 256 samples"));
    QVERIFY(!log.contains("音频缓冲区大小设置已保存："));
    QCOMPARE(log.countLines(failed), 1);
    QCOMPARE(simulator->state().value("bufferSize").toInt(), 256);

    // Writable again: the next choice is saved and says so.
    QVERIFY(QDir(iniPath()).removeRecursively());
    list(*dialog, SafeMode)->setCurrentText("Enabled");
    QVERIFY(log.containsLine("USB慢速模式设置已保存： \"Enabled\""));
    QCOMPARE(log.countLines(failed), 1);
    QCOMPARE(stored("USB/SlowMode").toString(), QStringLiteral("Enabled"));
}

QTEST_MAIN(SettingsTest)
#include "SettingsTest.moc"
