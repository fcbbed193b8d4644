// The TK2 panel against the device simulator: two microphone channels, speaker and
// headphones kept apart, direct monitoring on both outputs, meters and failures.
#include "panels/tk2.h"
#include "PanelTestKit.h"
#include "widgets/Button.h"
#include "widgets/Knob.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QTest>

#include <memory>

using namespace paneltest;

class Tk2Test : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<DeviceSimulator> sim;

    static Knob* knob(QWidget* p, const char* name) { return named<Knob>(p, name); }
    static Button* button(QWidget* p, const char* name) { return named<Button>(p, name); }
    static QString key(const QString& k) { return iniContents("/tk2.ini").value(k).toString(); }
    static QVector<double> tk2Preset()
    {
        QVector<double> m = commonPreset();
        for (auto [row, column] : {std::pair{100, 0}, {101, 1}, {132, 0}, {133, 1}})
            m[cell(row, column)] = 1.0;
        return m;
    }
    static const char* saved() { return "控件状态已保存到配置文件"; }

private slots:
    void init()
    {
        QFile::remove(iniPath("/tk2.ini"));
        QDir(iniPath("/tk2.ini")).removeRecursively(); // left by a failed save test
        sim = std::make_unique<DeviceSimulator>();
        QVERIFY(sim->start({"--model", "tk2"}));
        sim->clearJournal();
    }
    void cleanup() { sim.reset(); }

    void firstStartSendsEveryControlOnceInKeyOrder()
    {
        LogRecorder log;
        tk2 panel;
        saveScreenshot(panel, "tk2.png");
        const QList<Sent> sent = controlRequests(*sim);
        const quint32 cmd = RequestCode::SendCommand, mix = RequestCode::WriteMixerMatrix;
        const QList<quint32> codes{cmd, cmd, cmd, cmd, cmd, cmd, mix, cmd, cmd, cmd,
                                   cmd, mix, mix, mix, mix, mix, mix, mix, mix, mix};
        QCOMPARE(sent.size(), codes.size());
        for (int i = 0; i < sent.size(); ++i)
            QCOMPARE(sent[i].code, codes[i]);
        QCOMPARE(sent[0].input, setOutVolume(1, 100));
        QCOMPARE(sent[1].input, setOutVolume(2, 100));
        QCOMPARE(sent[2].input, setOutVolume(5, 100));
        QCOMPARE(sent[3].input, setOutVolume(6, 100));
        QCOMPARE(sent[4].input, setMic20dB(1, 0));
        QCOMPARE(sent[5].input, setMic48V(1, 0));
        QCOMPARE(sent[7].input, setMicVolume(1, 0));
        QCOMPARE(sent[8].input, setMicVolume(2, 0));
        QCOMPARE(sent[9].input, setMic20dB(2, 0));
        QCOMPARE(sent[10].input, setMic48V(2, 0));

        QCOMPARE(differences(matrixFrom(sent[6].input), tk2Preset()), QList<int>{});
        QVector<double> expected = tk2Preset();
        for (int k : {0, 1, 4, 5})
            expected[outputGain(k)] = 0.0;
        for (auto [row, column] : {std::pair{64, 2}, {65, 3}, {68, 2}, {69, 3}})
            expected[cell(row, column)] = 1.0;
        QCOMPARE(differences(sim->matrix(), expected), QList<int>{});
        // The headphone phone level goes out before the speaker's.
        QCOMPARE(matrixFrom(sent[18].input)[cell(68, 2)], 1.0);
        QCOMPARE(matrixFrom(sent[18].input)[cell(64, 2)], 0.0);

        // Sixteen handlers plus the volume run inside each mute and dim.
        QCOMPARE(log.count(saved()), 20);
        QCOMPARE(log.count("Speaker Knob value changed: -80"), 3);
        QCOMPARE(log.count("Speaker volume set to: -80"), 3);
        QCOMPARE(log.count("Headphone volume set to: -80"), 3);
        QCOMPARE(log.count("Mic 48V switched for channel 1."), 1);
        QCOMPARE(log.count("Mic 20dB switched for channel 1."), 1);
        QCOMPARE(log.count("Speaker Mute Button Clicked: Mute OFF"), 1);
        QVERIFY(log.contains("OTG to SP volume set to: 1"));
        QCOMPARE(log.lines().last(), QString("已从配置文件加载控件状态"));

        const QMap<QString, QVariant> ini = iniContents("/tk2.ini");
        QCOMPARE(ini.size(), 16);
        for (const QString& k : ini.keys()) {
            if (k.startsWith("Button/"))
                QCOMPARE(ini[k].toString(), QString("false"));
        }
        for (const char* k :
             {"Dial/Mic1Value", "Dial/Mic2Value", "Dial/OtgToHpValue", "Dial/OtgToSPValue"})
            QCOMPARE(ini.value(k).toString(), QString("0"));
        QCOMPARE(ini.value("Dial/SpeakerValue").toString(), QString("-80"));
        QCOMPARE(ini.value("Dial/HeadphoneValue").toString(), QString("-80"));
        for (const char* name : {"mic1LevelLabel", "mic2LevelLabel", "speakerPhoneLevelLabel",
                                 "headphonePhoneLevelLabel"})
            QCOMPARE(panel.findChild<QLabel*>(name)->text(), QString("-160 dB"));
    }

    void channelsKeepTheirOwnRequestsAndKeys()
    {
        writeIniText("/tk2.ini", "[Dial]\nMic1Value=20\nMic2Value=60\n"
                                 "[Button]\nMic248VIsChecked=true\n");
        LogRecorder log;
        tk2 panel;
        const QList<Sent> sent = controlRequests(*sim);
        QCOMPARE(sent[7].input, setMicVolume(1, 40));
        QCOMPARE(sent[8].input, setMicVolume(2, 112));
        QCOMPARE(sent[10].input, setMic48V(2, 1));
        QCOMPARE(key("Dial/Mic2Value"), QString("56"));
        QCOMPARE(key("Button/Mic248VIsChecked"), QString("true"));
        // Only channel 1 reports a successful switch.
        QCOMPARE(log.count("Mic 48V Button Clicked 1"), 1);
        QCOMPARE(log.count("Mic 48V switched for channel 1."), 1);

        sim->clearJournal();
        button(&panel, "MIC1 20dB")->setStatus(true);
        QCOMPARE(controlRequests(*sim).last().input, setMic20dB(1, 1));
        QCOMPARE(key("Button/Mic120dBIsChecked"), QString("true"));
        QCOMPARE(key("Button/Mic220dBIsChecked"), QString("false"));
        knob(&panel, "MIC2 Gain")->setValue(3);
        QCOMPARE(controlRequests(*sim).last().input, setMicVolume(2, 6));
        QCOMPARE(key("Dial/Mic1Value"), QString("20"));
        QCOMPARE(key("Dial/Mic2Value"), QString("3"));
    }

    void directMonitoringFeedsBothOutputs()
    {
        tk2 panel;
        panel.show();
        QVERIFY(QTest::qWaitForWindowExposed(&panel));
        QTest::mouseClick(button(&panel, "MIC1 DIRECT"), Qt::LeftButton);
        QVector<double> before = sim->matrix();
        for (int row : {64, 65, 68, 69}) {
            QCOMPARE(before[cell(row, 0)], 1.0);
            QCOMPARE(before[cell(row, 1)], 0.0);
        }
        QCOMPARE(key("Button/MonitorMic1IsChecked"), QString("true"));

        QTest::mouseClick(button(&panel, "MIC2 DIRECT"), Qt::LeftButton);
        const QList<int> changed{cell(64, 1), cell(65, 1), cell(68, 1), cell(69, 1)};
        QCOMPARE(differences(before, sim->matrix()), changed);
        QCOMPARE(key("Button/MonitorMic2IsChecked"), QString("true"));
    }

    void speakerAndHeadphonesAreIndependent()
    {
        tk2 panel;
        Knob* speakerKnob = knob(&panel, "SPEAKER Volume");
        Knob* headphoneKnob = knob(&panel, "HEADPHONE Volume");
        headphoneKnob->setValue(0);
        LogRecorder log;
        speakerKnob->setValue(0);
        button(&panel, "SPEAKER DIM")->setStatus(true);
        QVector<double> m = sim->matrix();
        QCOMPARE(m[outputGain(0)], gainOf(-20));
        QCOMPARE(m[outputGain(1)], gainOf(-20));
        QCOMPARE(m[outputGain(4)], 1.0);
        QVERIFY(log.contains("Speaker volume set to: -20"));
        QCOMPARE(key("Dial/SpeakerValue"), QString("0"));

        log.clear();
        button(&panel, "SPEAKER MUTE")->setStatus(true);
        m = sim->matrix();
        QCOMPARE(m[outputGain(0)], 0.0);
        QCOMPARE(m[outputGain(5)], 1.0);
        QCOMPARE(log.lines(),
                 QStringList({"Speaker Knob value changed: -80", "Speaker volume set to: -80",
                              saved(), "Speaker Mute Button Clicked: Mute ON", saved()}));

        log.clear();
        button(&panel, "HEADPHONE MUTE")->setStatus(true);
        m = sim->matrix();
        QCOMPARE(m[outputGain(4)], 0.0);
        QCOMPARE(m[outputGain(5)], 0.0);
        QCOMPARE(log.lines(), QStringList({"Headphone Knob value changed: 0",
                                           "Headphone volume set to: -80", saved(), saved()}));

        button(&panel, "SPEAKER MUTE")->setStatus(false);
        m = sim->matrix();
        QCOMPARE(m[outputGain(0)], gainOf(-20));
        QCOMPARE(m[outputGain(4)], 0.0);
        button(&panel, "HEADPHONE DIM")->setStatus(true);
        button(&panel, "HEADPHONE MUTE")->setStatus(false);
        headphoneKnob->setValue(6);
        m = sim->matrix();
        QCOMPARE(m[outputGain(4)], gainOf(-14));
        QCOMPARE(m[outputGain(0)], gainOf(-20));
        QCOMPARE(key("Button/SpeakerMuteIsChecked"), QString("false"));
        QCOMPARE(key("Button/HeadphoneDimIsChecked"), QString("true"));
    }

    void phoneLevelsPerOutput()
    {
        tk2 panel;
        LogRecorder log;
        knob(&panel, "SPEAKER Phone To SP Volume")->setValue(-1);
        QVector<double> m = sim->matrix();
        QCOMPARE(m[cell(64, 2)], gainOf(-1));
        QCOMPARE(m[cell(65, 3)], gainOf(-1));
        QCOMPARE(m[cell(68, 2)], 1.0);
        QVERIFY(log.contains("OTG to SP volume set to: 0.891251"));
        knob(&panel, "HEADPHONE Phone To HP Volume")->setValue(-80);
        m = sim->matrix();
        QCOMPARE(m[cell(68, 2)], 0.0);
        QCOMPARE(m[cell(69, 3)], 0.0);
        QCOMPARE(m[cell(64, 2)], gainOf(-1));

        // A refused phone-to-speaker change is saved without a failure line.
        QVERIFY(sim->control("refuse all").startsWith("ok"));
        log.clear();
        knob(&panel, "SPEAKER Phone To SP Volume")->setValue(-3);
        QCOMPARE(log.lines(), QStringList{saved()});
        QCOMPARE(key("Dial/OtgToSPValue"), QString("-3"));
        knob(&panel, "HEADPHONE Phone To HP Volume")->setValue(-4);
        QCOMPARE(log.lines(), QStringList({saved(), "Failed to set OTG to HP volume.", saved()}));
        QCOMPARE(key("Dial/OtgToHpValue"), QString("-4"));
        button(&panel, "MIC2 48V")->setStatus(true);
        QVERIFY(log.contains("Failed to switch mic 48V."));
        QCOMPARE(key("Button/Mic248VIsChecked"), QString("true"));
        knob(&panel, "SPEAKER Volume")->setValue(-5);
        QVERIFY(log.contains("Failed to set speaker volume."));
        QCOMPARE(key("Dial/SpeakerValue"), QString("-5"));
    }

    void metersShowEachChannelAndTheSharedPhoneLevel()
    {
        tk2 panel;
        QVERIFY(sim->control("meters fixed 2147483647 1073741824 -3 0").startsWith("ok"));
        QTRY_COMPARE(panel.findChild<QLabel*>("mic1LevelLabel")->text(), QString("0.0 dB"));
        QTRY_COMPARE(panel.findChild<QLabel*>("mic2LevelLabel")->text(), QString("-6.0 dB"));
        QCOMPARE(panel.findChild<QLabel*>("speakerPhoneLevelLabel")->text(), QString("-186.6 dB"));
        QCOMPARE(panel.findChild<QLabel*>("headphonePhoneLevelLabel")->text(),
                 QString("-186.6 dB"));
    }

    void onlyTheLastOutputDecides_data()
    {
        QTest::addColumn<int>("refusals");
        QTest::addColumn<bool>("live");
        QTest::newRow("first three refused") << 3 << true;
        QTest::newRow("all four refused") << 4 << false;
    }
    void onlyTheLastOutputDecides()
    {
        QFETCH(int, refusals);
        QFETCH(bool, live);
        QVERIFY(sim->control(QString("refuse setOutVolume %1").arg(refusals)).startsWith("ok"));
        LogRecorder log;
        tk2 panel;
        QCOMPARE(log.contains("Failed to set output volume."), !live);
        QCOMPARE(panel.children().isEmpty(), !live);
        QCOMPARE(QFile::exists(iniPath("/tk2.ini")), live);
        int outVolumes = 0;
        for (const JournalEntry& e : sim->journalWithCode(RequestCode::SendCommand))
            outVolumes += e.input.size() > 1 && e.input[1] == 0x03;
        QCOMPARE(outVolumes, 4);
    }

    void unpluggedDeviceLeavesPanelEmpty()
    {
        QVERIFY(sim->control("unplug").startsWith("ok"));
        LogRecorder log;
        tk2 panel;
        QCOMPARE(log.lines(), QStringList{"Failed to create device in tk2."});
        QVERIFY(panel.children().isEmpty());
        QVERIFY(!QFile::exists(iniPath("/tk2.ini")));
    }

    void damagedNumbersFallBackToDefaults()
    {
        // Numbers beyond 32 bits would wrap to 0 dB and +6 dB.
        writeIniText("/tk2.ini", "[Dial]\nSpeakerValue=-4294967290\nHeadphoneValue=4294967296\n"
                                 "Mic1Value=0x10\nMic2Value=7.5\nOtgToSPValue=max\n");
        tk2 panel;
        QCOMPARE(knob(&panel, "SPEAKER Volume")->value, -80);
        QCOMPARE(knob(&panel, "HEADPHONE Volume")->value, -80);
        QCOMPARE(knob(&panel, "MIC1 Gain")->value, 0);
        QCOMPARE(knob(&panel, "MIC2 Gain")->value, 0);
        QCOMPARE(knob(&panel, "SPEAKER Phone To SP Volume")->value, 0);
        const QVector<double> m = sim->matrix();
        for (int k : {0, 1, 4, 5})
            QCOMPARE(m[outputGain(k)], 0.0);
        QCOMPARE(key("Dial/SpeakerValue"), QString("-80"));
    }

    void switchWordsAndDamagedSwitches();
    // Last: a store that failed keeps its unsaved values for this process's later stores.
    void failedSaveIsNotReportedAsSaved();
};

void Tk2Test::switchWordsAndDamagedSwitches()
{
    writeIniText("/tk2.ini", "[Button]\nMic148VIsChecked=off\nMic248VIsChecked=\" YES \"\n"
                             "Mic120dBIsChecked=no\nMic220dBIsChecked=maybe\n"
                             "SpeakerMuteIsChecked=On\nHeadphoneMuteIsChecked=0\n"
                             "MonitorMic1IsChecked=TRUE\nMonitorMic2IsChecked=1\n");
    tk2 panel;
    QCOMPARE(button(&panel, "MIC1 48V")->status, false);
    QCOMPARE(button(&panel, "MIC2 48V")->status, true);
    QCOMPARE(button(&panel, "MIC1 20dB")->status, false);
    QCOMPARE(button(&panel, "MIC2 20dB")->status, false);
    QCOMPARE(button(&panel, "SPEAKER MUTE")->status, true);
    QCOMPARE(button(&panel, "HEADPHONE MUTE")->status, false);
    QCOMPARE(button(&panel, "MIC1 DIRECT")->status, true);
    QCOMPARE(button(&panel, "MIC2 DIRECT")->status, true);
    // Phantom power reached only the channel whose key says on.
    QList<QByteArray> sent;
    for (const Sent& s : controlRequests(*sim))
        sent << s.input;
    QVERIFY(!sent.contains(setMic48V(1, 1)));
    QVERIFY(sent.contains(setMic48V(1, 0)));
    QVERIFY(sent.contains(setMic48V(2, 1)));
    QCOMPARE(key("Button/Mic148VIsChecked"), QString("false"));
    QCOMPARE(key("Button/Mic220dBIsChecked"), QString("false"));
}

void Tk2Test::failedSaveIsNotReportedAsSaved()
{
    // A folder where the file should be: every save fails, every request still goes out.
    QVERIFY(QDir().mkpath(iniPath("/tk2.ini")));
    const QString failed = QStringLiteral("保存配置文件失败： \"%1\"").arg(iniPath("/tk2.ini"));
    LogRecorder log;
    auto panel = std::make_unique<tk2>();
    QCOMPARE(log.count(saved()), 0);
    QCOMPARE(log.count(failed), 20);
    QCOMPARE(controlRequests(*sim).size(), 20);

    // Once the file can be written again, the next change is saved and says so.
    QVERIFY(QDir(iniPath("/tk2.ini")).removeRecursively());
    log.clear();
    turn(knob(panel.get(), "HEADPHONE Volume"), 120);
    QCOMPARE(log.count(saved()), 1);
    QCOMPARE(log.count(failed), 0);
    QCOMPARE(key("Dial/HeadphoneValue"), QString("-79"));
}

QTEST_MAIN(Tk2Test)
#include "Tk2Test.moc"
