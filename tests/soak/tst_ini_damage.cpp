// Damaged ini files: cut short, binary, huge or negative numbers, values of the wrong
// type, a file that cannot be read and a data folder that cannot be written. The
// program must still find the interface, show a working panel and send only values
// that its controls can produce.
#include "DeviceSimulator.h"
#include "LogCapture.h"
#include "driver/DriverTypes.h"
#include "mainwindow/MainWindow.h"
#include "panels/tk2.h"
#include "settings/Settings.h"
#include "widgets/Knob.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QtTest>

#include <memory>

namespace {

constexpr double kMaxGain = 1.9952623149688795;
constexpr int kTk2MicMaximum = 56;

QString dataDir()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
}

void clearData()
{
    const QFileInfo info(dataDir());
    if (info.isDir())
        QDir(dataDir()).removeRecursively();
    else if (info.exists())
        QFile::remove(dataDir());
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

QByteArray randomBytes(int size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes(size, '\0');
    for (char& c : bytes)
        c = char(random.bounded(256));
    return bytes;
}

quint32 u32(const QByteArray& input)
{
    return input.size() == 4 ? qFromLittleEndian<quint32>(input.constData()) : 0xFFFFFFFF;
}

} // namespace

class IniDamage : public QObject
{
    Q_OBJECT

private slots:
    void init() { clearData(); }
    void cleanup() { clearData(); }

    void programStartsAndSendsOnlyValidValues_data()
    {
        QTest::addColumn<QByteArray>("panelIni");
        QTest::addColumn<QByteArray>("settingsIni");
        QTest::addColumn<QString>("damage");
        QTest::newRow("truncated") << QByteArray("[Button]\nMic148VIsChecked=tr\n[Dial]\nMic1Val")
                                   << QByteArray("[Audio]\nBufferS") << QString();
        QTest::newRow("binary") << randomBytes(4096, 1) << randomBytes(4096, 2) << QString();
        QTest::newRow("huge and negative numbers")
            << QByteArray("[Dial]\nMic1Value=99999999999\nMic2Value=-2147483648\n"
                          "SpeakerValue=2147483647\nHeadphoneValue=-99999\nOtgToHpValue=1e308\n"
                          "OtgToSPValue=-0\n")
            << QByteArray("[Audio]\nBufferSize=-1\nSampleRate=4294967296\n[USB]\n"
                          "LatencySize=99999999999999999999\n")
            << QString();
        QTest::newRow("wrong types")
            << QByteArray("[Button]\nMic148VIsChecked=42\nSpeakerMuteIsChecked=@Variant(\\0)\n"
                          "[Dial]\nMic1Value=true\nMic2Value=@ByteArray(12)\nHeadphoneValue=1, 2\n"
                          "SpeakerValue=@Rect(1 2 3 4)\nOtgToSPValue=\"6\"\n")
            << QByteArray("[Audio]\nBufferSize=@Size(1 2)\nSampleRate=44100, 48000\n[USB]\n"
                          "LatencySize=@ByteArray(16)\nSlowMode=1\n")
            << QString();
        // Running as root, permissions do not stop reading; a folder where the file
        // should be cannot be read or written by anyone.
        QTest::newRow("unreadable files") << QByteArray() << QByteArray() << "folders";
        QTest::newRow("folder cannot be written") << QByteArray() << QByteArray() << "no folder";
    }

    void programStartsAndSendsOnlyValidValues()
    {
        QFETCH(QByteArray, panelIni);
        QFETCH(QByteArray, settingsIni);
        QFETCH(QString, damage);
        if (damage == "folders") {
            QVERIFY(QDir().mkpath(dataDir() + "/tk2.ini"));
            QVERIFY(QDir().mkpath(dataDir() + "/setting.ini"));
        } else if (damage == "no folder") {
            // A plain file where the data folder should be: nothing can be created in it.
            writeFile(dataDir(), "not a folder");
        } else {
            writeFile(dataDir() + "/tk2.ini", panelIni);
            writeFile(dataDir() + "/setting.ini", settingsIni);
        }

        DeviceSimulator sim;
        QVERIFY(sim.start({"--model", "tk2", "--quiet", "--journal-matrix", "brief"}));
        LogCapture log(false);
        Settings settings;
        auto window = std::make_unique<MainWindow>();
        window->setSettingsWindow(&settings);
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("Device found with PID: 2"), 8000);
        tk2* panel = window->findChild<tk2*>();
        QVERIFY(panel);
        const QList<Knob*> knobs = panel->findChildren<Knob*>();
        QVERIFY(!knobs.isEmpty());
        for (const Knob* knob : knobs)
            QVERIFY(knob->value >= knob->minimum && knob->value <= knob->maximum);

        // The panel works: a turn of the first gain knob reaches the device.
        knobs.first()->setValue(10);
        QVERIFY(log.containsLine("Mic volume set to: 10"));
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("设置初始化完成"), 5000);

        for (const JournalEntry& e : sim.journal()) {
            if (e.code == RequestCode::SendCommand && quint8(e.input[1]) == 0x07) {
                const int level = quint8(e.input[5]) | quint8(e.input[6]) << 8;
                QVERIFY(level % 2 == 0 && level <= 2 * kTk2MicMaximum);
            }
        }
        for (const JournalEntry& e : sim.journalWithCode(RequestCode::SetBufferSize))
            QVERIFY(QList<quint32>({48, 64, 96, 128, 192, 256, 512, 1024}).contains(u32(e.input)));
        for (const JournalEntry& e : sim.journalWithCode(RequestCode::SetUsbLatency))
            QVERIFY(QList<quint32>({8, 16, 24, 32}).contains(u32(e.input)));
        for (const JournalEntry& e : sim.journalWithCode(RequestCode::SetSampleRate))
            QVERIFY(u32(e.input) == 44100 || u32(e.input) == 48000);
        const QVector<double> matrix = sim.matrix();
        QCOMPARE(matrix.size(), MixerMatrix::ElementCount);
        for (double v : matrix)
            QVERIFY(std::isfinite(v) && v >= 0.0 && v <= kMaxGain);
        window.reset();
    }
};

QTEST_MAIN(IniDamage)
#include "tst_ini_damage.moc"
