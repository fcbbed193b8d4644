// The TK1 panel against the device simulator: what it sends at start, what it
// restores, how mute and dim set the headphones, its meters and its failures.
#include "panels/tk1.h"
#include "PanelTestKit.h"
#include "widgets/Button.h"
#include "widgets/Knob.h"

#include <QFile>
#include <QLabel>
#include <QTest>

#include <memory>

using namespace paneltest;

class Tk1Test : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<DeviceSimulator> sim;

    static Knob* knob(QWidget* p, const char* name) { return named<Knob>(p, name); }
    static Button* button(QWidget* p, const char* name) { return named<Button>(p, name); }
    double simGain(int index) { return sim->matrix().value(index, -1.0); }
    static QString key(const QString& k) { return iniContents("/tk1.ini").value(k).toString(); }

private slots:
    void init()
    {
        QFile::remove(iniPath("/tk1.ini"));
        sim = std::make_unique<DeviceSimulator>();
        QVERIFY(sim->start({"--model", "tk1"}));
        sim->clearJournal();
    }
    void cleanup() { sim.reset(); }

    void firstStartSendsEveryControlOnceInKeyOrder()
    {
        LogRecorder log;
        tk1 panel;
        saveScreenshot(panel, "tk1.png");
        const QList<Sent> sent = controlRequests(*sim);
        const quint32 cmd = RequestCode::SendCommand, mix = RequestCode::WriteMixerMatrix;
        const QList<quint32> codes{cmd, cmd, cmd, cmd, cmd, mix, cmd, mix, mix, mix, mix};
        QCOMPARE(sent.size(), codes.size());
        for (int i = 0; i < sent.size(); ++i)
            QCOMPARE(sent[i].code, codes[i]);
        QCOMPARE(sent[0].input, setOutVolume(1, 100));
        QCOMPARE(sent[1].input, setOutVolume(2, 100));
        QCOMPARE(sent[2].input, setMicInstrument(1, 0));
        QCOMPARE(sent[3].input, setMic20dB(1, 0));
        QCOMPARE(sent[4].input, setMic48V(1, 0));
        QCOMPARE(sent[6].input, setMicVolume(1, 0));

        // The first image is the bare preset; the last has the headphones silent and
        // the phone at unity.
        QCOMPARE(differences(matrixFrom(sent[5].input), commonPreset()), QList<int>{});
        QVector<double> expected = commonPreset();
        expected[outputGain(0)] = 0.0;
        expected[outputGain(1)] = 0.0;
        expected[cell(64, 2)] = 1.0;
        expected[cell(65, 3)] = 1.0;
        QCOMPARE(differences(matrixFrom(sent.last().input), expected), QList<int>{});
        QCOMPARE(differences(sim->matrix(), expected), QList<int>{});

        const QStringList expectedLog{"Mic Instr Button Clicked 0",
                                      "Mic instruction switched for channel 1.",
                                      "Mic 20dB Button Clicked 0",
                                      "Mic 20dB switched for channel 1.",
                                      "Mic 48V Button Clicked 0",
                                      "Mic 48V switched for channel 1.",
                                      "Monitor Mic set to: 0",
                                      "Mic volume set to: 0",
                                      "Headphone volume set to: 0",
                                      "Headphone volume set to: 0",
                                      "Headphone Mute Button Clicked: Mute OFF",
                                      "Headphone volume set to: 0",
                                      "Headphone Dim Button Clicked: Dim OFF",
                                      "OTG to HP volume set to: 1",
                                      "已从配置文件加载控件状态"};
        QCOMPARE(log.lines(), expectedLog);

        const QMap<QString, QVariant> ini = iniContents("/tk1.ini");
        QCOMPARE(ini.keys(),
                 QStringList({"Button/HeadphoneDimIsChecked", "Button/HeadphoneMuteIsChecked",
                              "Button/Mic20dBIsChecked", "Button/Mic48VIsChecked",
                              "Button/MicInstrIsChecked", "Button/MonitorMicIsChecked",
                              "Dial/HeadphoneValue", "Dial/MicValue", "Dial/OtgToHpValue"}));
        for (const QString& k : ini.keys())
            if (k.startsWith("Button/"))
                QCOMPARE(ini[k].toString(), QString("false"));
        QCOMPARE(ini["Dial/MicValue"].toString(), QString("0"));
        QCOMPARE(ini["Dial/HeadphoneValue"].toString(), QString("-80"));
        QCOMPARE(ini["Dial/OtgToHpValue"].toString(), QString("0"));

        QCOMPARE(panel.findChild<QLabel*>("inputLevelLabel")->text(), QString("-160 dB"));
        QCOMPARE(panel.findChild<QLabel*>("phoneLevelLabel")->text(), QString("-160 dB"));
        QCOMPARE(button(&panel, "INPUT MIC/INST")->text(), QString("MIC"));
    }

    void restoresSavedControlsThroughTheirHandlers()
    {
        writeIniText("/tk1.ini", "[Button]\nHeadphoneMuteIsChecked=true\nMic48VIsChecked=true\n"
                                 "[Dial]\nMicValue=50\nHeadphoneValue=-10\nOtgToHpValue=-6\n");
        LogRecorder log;
        tk1 panel;
        const QList<Sent> sent = controlRequests(*sim);
        QCOMPARE(sent.size(), 11);
        QCOMPARE(sent[4].input, setMic48V(1, 1));
        // The gain is clamped by the knob before it is sent and written back.
        QCOMPARE(sent[6].input, setMicVolume(1, 84));
        QVERIFY(log.contains("Mic volume set to: 42"));
        QCOMPARE(key("Dial/MicValue"), QString("42"));

        // The saved volume is applied first, then MUTE silences it; the knob keeps it.
        QCOMPARE(matrixFrom(sent[7].input)[outputGain(0)], gainOf(-10));
        QCOMPARE(matrixFrom(sent[8].input)[outputGain(0)], 0.0);
        QCOMPARE(matrixFrom(sent[8].input)[outputGain(1)], 0.0);
        QVERIFY(log.contains("Headphone Mute Button Clicked: Mute ON"));
        QCOMPARE(knob(&panel, "HEADPHONE Volume")->value, -10);
        QCOMPARE(key("Dial/HeadphoneValue"), QString("-10"));
        QCOMPARE(key("Button/HeadphoneMuteIsChecked"), QString("true"));
        QCOMPARE(simGain(cell(64, 2)), gainOf(-6));
        QCOMPARE(simGain(cell(65, 3)), gainOf(-6));

        // Unmuting by hand brings the saved volume back.
        button(&panel, "HEADPHONE MUTE")->setStatus(false);
        QCOMPARE(simGain(outputGain(0)), gainOf(-10));
        QCOMPARE(key("Button/HeadphoneMuteIsChecked"), QString("false"));
    }

    void instrumentCaptionFollowsTheDevice_data()
    {
        QTest::addColumn<bool>("refused");
        QTest::addColumn<QString>("caption");
        QTest::newRow("accepted") << false << "INST";
        QTest::newRow("refused") << true << "MIC";
    }
    void instrumentCaptionFollowsTheDevice()
    {
        QFETCH(bool, refused);
        QFETCH(QString, caption);
        writeIniText("/tk1.ini", "[Button]\nMicInstrIsChecked=true\n");
        if (refused)
            QVERIFY(sim->control("refuse setMicInstrument").startsWith("ok"));
        LogRecorder log;
        tk1 panel;
        Button* instr = button(&panel, "INPUT MIC/INST");
        QCOMPARE(instr->text(), caption);
        QVERIFY(instr->status);
        QCOMPARE(controlRequests(*sim)[2].input, setMicInstrument(1, 1));
        QCOMPARE(log.contains("Failed to switch mic instruction."), refused);
        QCOMPARE(log.contains("Mic instruction switched for channel 1."), !refused);
        QCOMPARE(key("Button/MicInstrIsChecked"), QString("true"));
    }

    void muteOverridesDimAndDimLowersBy20dB()
    {
        tk1 panel;
        panel.show();
        QVERIFY(QTest::qWaitForWindowExposed(&panel));
        Knob* volume = knob(&panel, "HEADPHONE Volume");
        Button* mute = button(&panel, "HEADPHONE MUTE");
        Button* dim = button(&panel, "HEADPHONE DIM");
        auto expectHeadphones = [&](double gain) {
            const QVector<double> m = sim->matrix();
            QCOMPARE(m[outputGain(0)], gain);
            QCOMPARE(m[outputGain(1)], gain);
            QCOMPARE(m[outputGain(2)], 1.0);
        };

        volume->setValue(6);
        expectHeadphones(gainOf(6));
        LogRecorder log;
        QTest::mouseClick(dim, Qt::LeftButton);
        expectHeadphones(gainOf(-14));
        QCOMPARE(log.count("Headphone Dim Button Clicked: Dim ON"), 2);
        QVERIFY(log.contains("Headphone volume set to: 0.199526"));
        QCOMPARE(volume->value, 6);
        QCOMPARE(key("Dial/HeadphoneValue"), QString("6"));

        volume->setValue(-70);
        expectHeadphones(0.0);
        volume->setValue(0);
        expectHeadphones(gainOf(-20));

        QTest::mouseClick(mute, Qt::LeftButton);
        expectHeadphones(0.0);
        volume->setValue(3);
        expectHeadphones(0.0);
        QCOMPARE(key("Dial/HeadphoneValue"), QString("3"));
        QCOMPARE(key("Button/HeadphoneMuteIsChecked"), QString("true"));

        QTest::mouseClick(mute, Qt::LeftButton);
        expectHeadphones(gainOf(-17));
        QTest::mouseClick(dim, Qt::LeftButton);
        expectHeadphones(gainOf(3));
        QCOMPARE(key("Button/HeadphoneDimIsChecked"), QString("false"));
    }

    void userInputReachesDeviceAndFile()
    {
        tk1 panel;
        panel.show();
        QVERIFY(QTest::qWaitForWindowExposed(&panel));
        sim->clearJournal();
        LogRecorder log;

        // A click emits twice, so the request goes out twice with the same state.
        QTest::mouseClick(button(&panel, "INPUT 48V"), Qt::LeftButton);
        QList<Sent> sent = controlRequests(*sim);
        QCOMPARE(sent.size(), 2);
        QCOMPARE(sent[0].input, setMic48V(1, 1));
        QCOMPARE(sent[1].input, setMic48V(1, 1));
        QCOMPARE(log.count("Mic 48V Button Clicked 1"), 2);
        QCOMPARE(key("Button/Mic48VIsChecked"), QString("true"));

        QTest::mouseClick(button(&panel, "INPUT DIRECT"), Qt::LeftButton);
        QCOMPARE(simGain(cell(64, 0)), 1.0);
        QCOMPARE(simGain(cell(65, 1)), 1.0);
        QVERIFY(log.contains("Monitor Mic set to: 1"));

        sim->clearJournal();
        Knob* gain = knob(&panel, "INPUT Gain");
        turn(gain, 120);
        turn(gain, 240);
        sent = controlRequests(*sim);
        QCOMPARE(sent.size(), 2);
        QCOMPARE(sent[0].input, setMicVolume(1, 2));
        QCOMPARE(sent[1].input, setMicVolume(1, 4));
        QCOMPARE(key("Dial/MicValue"), QString("2"));

        turn(knob(&panel, "HEADPHONE Phone To HP Volume"), -120);
        QCOMPARE(simGain(cell(64, 2)), gainOf(-1));
        QCOMPARE(simGain(cell(65, 3)), gainOf(-1));
        QCOMPARE(key("Dial/OtgToHpValue"), QString("-1"));
    }

    void metersShowTheLatestReading()
    {
        tk1 panel;
        QLabel* input = panel.findChild<QLabel*>("inputLevelLabel");
        QLabel* phone = panel.findChild<QLabel*>("phoneLevelLabel");
        QVERIFY(sim->control("meters fixed 2147483647 5 1073741824 1073741824").startsWith("ok"));
        QCOMPARE(input->text(), QString("-160 dB"));
        QTRY_COMPARE(input->text(), QString("0.0 dB"));
        QTRY_COMPARE(phone->text(), QString("-6.0 dB"));

        // The mean truncates toward zero (-3 / 2 is -1, not -2) and cannot overflow.
        QVERIFY(sim->control("meters fixed 0 0 -3 0").startsWith("ok"));
        QTRY_COMPARE(input->text(), QString("-inf dB"));
        QTRY_COMPARE(phone->text(), QString("-186.6 dB"));
        QVERIFY(sim->control("meters fixed 1 0 2147483647 2147483647").startsWith("ok"));
        QTRY_COMPARE(phone->text(), QString("0.0 dB"));
        QCOMPARE(input->text(), QString("-186.6 dB"));

        LogRecorder log;
        QVERIFY(sim->control("refuse readMeters").startsWith("ok"));
        QVERIFY(sim->control("meters fixed 0 0 0 0").startsWith("ok"));
        QTRY_VERIFY(log.count("Failed to read meter data from driver.") >= 2);
        QCOMPARE(input->text(), QString("-186.6 dB"));
        QCOMPARE(phone->text(), QString("0.0 dB"));
    }

    void unreachableDeviceLeavesPanelEmpty_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("outVolumeRequests");
        QTest::newRow("unplugged") << "unplug"
                                   << "Failed to create device in tk1." << 0;
        QTest::newRow("output refused") << "refuse setOutVolume"
                                        << "Failed to set output volume." << 2;
    }
    void unreachableDeviceLeavesPanelEmpty()
    {
        QFETCH(QString, fault);
        QFETCH(QString, line);
        QFETCH(int, outVolumeRequests);
        QVERIFY(sim->control(fault).startsWith("ok"));
        LogRecorder log;
        {
            tk1 panel;
            QCOMPARE(log.lines(), QStringList{line});
            QVERIFY(panel.children().isEmpty());
            QVERIFY(panel.layout() == nullptr);
        }
        QCOMPARE(sim->journalWithCode(RequestCode::SendCommand).size(), outVolumeRequests);
        QVERIFY(!QFile::exists(iniPath("/tk1.ini")));
    }

    void onlyTheSecondOutputDecides()
    {
        QVERIFY(sim->control("refuse setOutVolume 1").startsWith("ok"));
        LogRecorder log;
        tk1 panel;
        QVERIFY(!log.contains("Failed to set output volume."));
        QVERIFY(knob(&panel, "HEADPHONE Volume") != nullptr);
        QVERIFY(QFile::exists(iniPath("/tk1.ini")));
    }

    void failedRequestsAreLoggedAndStillSaved()
    {
        tk1 panel;
        panel.show();
        QVERIFY(QTest::qWaitForWindowExposed(&panel));
        QVERIFY(sim->control("refuse all").startsWith("ok"));
        LogRecorder log;

        turn(knob(&panel, "HEADPHONE Volume"), 120);
        QCOMPARE(log.lines(), QStringList{"Failed to set headphone volume."});
        QCOMPARE(key("Dial/HeadphoneValue"), QString("-79"));
        turn(knob(&panel, "INPUT Gain"), 120);
        QVERIFY(log.contains("Failed to set mic volume."));
        QCOMPARE(key("Dial/MicValue"), QString("1"));
        turn(knob(&panel, "HEADPHONE Phone To HP Volume"), -120);
        QVERIFY(log.contains("Failed to set OTG to HP volume."));
        QCOMPARE(key("Dial/OtgToHpValue"), QString("-1"));

        QTest::mouseClick(button(&panel, "INPUT 48V"), Qt::LeftButton);
        QCOMPARE(log.count("Failed to switch mic 48V."), 2);
        QCOMPARE(key("Button/Mic48VIsChecked"), QString("true"));
        QTest::mouseClick(button(&panel, "INPUT 20dB"), Qt::LeftButton);
        QVERIFY(log.contains("Failed to switch mic 20dB."));
        QCOMPARE(key("Button/Mic20dBIsChecked"), QString("true"));
        QTest::mouseClick(button(&panel, "INPUT DIRECT"), Qt::LeftButton);
        QVERIFY(log.contains("Failed to set Monitor Mic."));
        QCOMPARE(key("Button/MonitorMicIsChecked"), QString("true"));
        Button* instr = button(&panel, "INPUT MIC/INST");
        QTest::mouseClick(instr, Qt::LeftButton);
        QVERIFY(log.contains("Failed to switch mic instruction."));
        QCOMPARE(instr->text(), QString("MIC"));
        QCOMPARE(key("Button/MicInstrIsChecked"), QString("true"));

        // Nothing is retried: the next change sends the whole current state.
        QVERIFY(sim->control("refuse off").startsWith("ok"));
        turn(knob(&panel, "HEADPHONE Volume"), 120);
        const QVector<double> m = sim->matrix();
        QCOMPARE(m[outputGain(0)], gainOf(-78));
        QCOMPARE(m[cell(64, 0)], 1.0);
        QCOMPARE(m[cell(64, 2)], gainOf(-1));
    }

    void damagedNumbersFallBackToDefaults()
    {
        writeIniText("/tk1.ini", "[Dial]\nHeadphoneValue=loud\nMicValue=12abc\nOtgToHpValue=\n");
        tk1 panel;
        QCOMPARE(knob(&panel, "HEADPHONE Volume")->value, -80);
        QCOMPARE(knob(&panel, "INPUT Gain")->value, 0);
        QCOMPARE(knob(&panel, "HEADPHONE Phone To HP Volume")->value, 0);
        QCOMPARE(simGain(outputGain(0)), 0.0);
        QCOMPARE(simGain(outputGain(1)), 0.0);
        QCOMPARE(simGain(cell(64, 2)), 1.0);
        QCOMPARE(key("Dial/HeadphoneValue"), QString("-80"));
        QCOMPARE(key("Dial/MicValue"), QString("0"));
        QCOMPARE(key("Dial/OtgToHpValue"), QString("0"));
    }
};

QTEST_MAIN(Tk1Test)
#include "Tk1Test.moc"
