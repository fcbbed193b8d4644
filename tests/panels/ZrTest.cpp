// The ZR panel against the device simulator: one microphone, the headphones with
// a fixed phone route, a quiet headphone handler, one meter and its failures.
#include "panels/zr.h"
#include "PanelTestKit.h"
#include "widgets/Button.h"
#include "widgets/Knob.h"

#include <QFile>
#include <QLabel>
#include <QTest>

#include <memory>

using namespace paneltest;

class ZrTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<DeviceSimulator> sim;

    static Knob* knob(QWidget* p, const char* name) { return named<Knob>(p, name); }
    static Button* button(QWidget* p, const char* name) { return named<Button>(p, name); }
    static QString key(const QString& k) { return iniContents("/zr.ini").value(k).toString(); }
    static QVector<double> zrPreset()
    {
        QVector<double> m = commonPreset();
        m[cell(64, 2)] = 1.0;
        m[cell(65, 3)] = 1.0;
        return m;
    }

private slots:
    void init()
    {
        QFile::remove(iniPath("/zr.ini"));
        sim = std::make_unique<DeviceSimulator>();
        QVERIFY(sim->start({"--model", "zr"}));
        sim->clearJournal();
    }
    void cleanup() { sim.reset(); }

    void firstStartSendsEveryControlOnceInKeyOrder()
    {
        LogRecorder log;
        zr panel;
        saveScreenshot(panel, "zr.png");
        const QList<Sent> sent = controlRequests(*sim);
        const quint32 cmd = RequestCode::SendCommand, mix = RequestCode::WriteMixerMatrix;
        const QList<quint32> codes{cmd, cmd, mix, cmd, mix, mix, mix};
        QCOMPARE(sent.size(), codes.size());
        for (int i = 0; i < sent.size(); ++i)
            QCOMPARE(sent[i].code, codes[i]);
        QCOMPARE(sent[0].input, setOutVolume(1, 100));
        QCOMPARE(sent[1].input, setOutVolume(2, 100));
        QCOMPARE(sent[3].input, setMicVolume(1, 0));
        QCOMPARE(differences(matrixFrom(sent[2].input), zrPreset()), QList<int>{});
        QVector<double> expected = zrPreset();
        expected[outputGain(0)] = 0.0;
        expected[outputGain(1)] = 0.0;
        QCOMPARE(differences(sim->matrix(), expected), QList<int>{});

        QCOMPARE(log.lines(), QStringList({"Monitor Mic set to: 0", "Mic volume set to: 0",
                                           "Headphone Mute Button Clicked: Mute OFF",
                                           "Headphone Dim Button Clicked: Dim OFF",
                                           "已从配置文件加载控件状态"}));
        const QMap<QString, QVariant> ini = iniContents("/zr.ini");
        QCOMPARE(
            ini.keys(),
            QStringList({"Button/HeadphoneDimIsChecked", "Button/HeadphoneMuteIsChecked",
                         "Button/MonitorMicIsChecked", "Dial/HeadphoneValue", "Dial/MicValue"}));
        QCOMPARE(ini["Dial/HeadphoneValue"].toString(), QString("-80"));
        QCOMPARE(ini["Dial/MicValue"].toString(), QString("0"));
        QCOMPARE(panel.findChild<QLabel*>("inputLevelLabel")->text(), QString("-160 dB"));
    }

    void headphonesLogOnlyFailures()
    {
        zr panel;
        panel.show();
        QVERIFY(QTest::qWaitForWindowExposed(&panel));
        Knob* volume = knob(&panel, "HEADPHONE Volume");
        LogRecorder log;
        turn(volume, 120);
        turn(volume, 120);
        QVERIFY(log.lines().isEmpty());
        QCOMPARE(sim->matrix()[outputGain(0)], gainOf(-78));
        QCOMPARE(key("Dial/HeadphoneValue"), QString("-78"));

        QVERIFY(sim->control("refuse writeMixerMatrix").startsWith("ok"));
        turn(volume, 120);
        turn(volume, 120);
        QCOMPARE(log.lines(), QStringList({"Failed to set headphone volume.",
                                           "Failed to set headphone volume."}));
        QCOMPARE(key("Dial/HeadphoneValue"), QString("-76"));
    }

    void muteAndDimLeaveThePhoneRoute()
    {
        zr panel;
        panel.show();
        QVERIFY(QTest::qWaitForWindowExposed(&panel));
        knob(&panel, "HEADPHONE Volume")->setValue(6);
        LogRecorder log;
        QTest::mouseClick(button(&panel, "HEADPHONE DIM"), Qt::LeftButton);
        QCOMPARE(sim->matrix()[outputGain(1)], gainOf(-14));
        QCOMPARE(log.count("Headphone Dim Button Clicked: Dim ON"), 2);
        QTest::mouseClick(button(&panel, "HEADPHONE MUTE"), Qt::LeftButton);
        QVector<double> m = sim->matrix();
        QCOMPARE(m[outputGain(0)], 0.0);
        QCOMPARE(m[cell(64, 2)], 1.0);
        QCOMPARE(m[cell(65, 3)], 1.0);
        QCOMPARE(log.count("Headphone Mute Button Clicked: Mute ON"), 2);
        QCOMPARE(key("Button/HeadphoneMuteIsChecked"), QString("true"));

        QTest::mouseClick(button(&panel, "MIC DIRECT"), Qt::LeftButton);
        m = sim->matrix();
        QCOMPARE(m[cell(64, 0)], 1.0);
        QCOMPARE(m[cell(65, 1)], 1.0);
        QCOMPARE(key("Button/MonitorMicIsChecked"), QString("true"));
        QCOMPARE(key("Dial/HeadphoneValue"), QString("6"));
    }

    void onlyTheMicrophoneMeterIsShown()
    {
        zr panel;
        QVERIFY(sim->control("meters fixed 1073741824 2147483647 2147483647 2147483647")
                    .startsWith("ok"));
        QLabel* input = panel.findChild<QLabel*>("inputLevelLabel");
        QTRY_COMPARE(input->text(), QString("-6.0 dB"));
        int levelLabels = 0;
        for (QLabel* label : panel.findChildren<QLabel*>())
            levelLabels += label->text().endsWith(" dB");
        QCOMPARE(levelLabels, 1);

        LogRecorder log;
        QVERIFY(sim->control("refuse readMeters").startsWith("ok"));
        QVERIFY(sim->control("meters fixed 0").startsWith("ok"));
        QTRY_VERIFY(log.contains("Failed to read meter data from driver."));
        QCOMPARE(input->text(), QString("-6.0 dB"));
    }

    void unpluggedDeviceLeavesPanelEmpty()
    {
        QVERIFY(sim->control("unplug").startsWith("ok"));
        LogRecorder log;
        zr panel;
        QCOMPARE(log.lines(), QStringList{"Failed to create device in zr."});
        QVERIFY(panel.children().isEmpty());
        QVERIFY(!QFile::exists(iniPath("/zr.ini")));
    }

    void savedStateIsRestoredAndDamagedNumbersFallBack()
    {
        writeIniText("/zr.ini", "[Button]\nMonitorMicIsChecked=true\nHeadphoneDimIsChecked=true\n"
                                "[Dial]\nMicValue=17\nHeadphoneValue=--3\n");
        zr panel;
        const QList<Sent> sent = controlRequests(*sim);
        QCOMPARE(sent[3].input, setMicVolume(1, 34));
        QCOMPARE(matrixFrom(sent[2].input)[cell(64, 0)], 1.0);
        QCOMPARE(knob(&panel, "HEADPHONE Volume")->value, -80);
        QCOMPARE(sim->matrix()[outputGain(0)], 0.0);
        QCOMPARE(key("Dial/HeadphoneValue"), QString("-80"));
        QCOMPARE(key("Button/HeadphoneDimIsChecked"), QString("true"));
    }
};

QTEST_MAIN(ZrTest)
#include "ZrTest.moc"
