// The simulator as a program: options, initial state, endpoint files and their modes,
// the one-shot control client, the readable request lines, and refusing a taken bus.
#include "RawLink.h"
#include "support/DeviceSimulator.h"

#include "driver/DriverTypes.h"

#include <QFileInfo>
#include <QProcess>
#include <QtTest>

namespace {

const QString program = QStringLiteral(QUORVIX_BIN_DIR "/quorvix-devsim");

QString folder()
{
    return qEnvironmentVariable("XDG_RUNTIME_DIR") + "/quorvix";
}

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
};

Run runProgram(const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    Run run;
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

} // namespace

class TestDevsimCli : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { sim.stop(); }

    void badOptionsAreRejected_data();
    void badOptionsAreRejected();
    void initialStateFromOptions();
    void endpointsAndModes();
    void startsUnplugged();
    void oneShotControlClient();
    void readableRequestLines();
    void busAlreadyTaken();

private:
    DeviceSimulator sim;
};

void TestDevsimCli::badOptionsAreRejected_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("bus 16") << QStringList{"--bus", "16"};
    QTest::newRow("model name") << QStringList{"--model", "tk7"};
    QTest::newRow("firmware too long") << QStringList{"--firmware", "01234567890"};
    QTest::newRow("firmware hex odd") << QStringList{"--firmware-hex", "123"};
    QTest::newRow("buffer size zero") << QStringList{"--buffer-size", "0"};
    QTest::newRow("slow mode word") << QStringList{"--slow-mode", "sometimes"};
    QTest::newRow("journal matrix") << QStringList{"--journal-matrix", "half"};
    QTest::newRow("stray argument") << QStringList{"extra"};
}

void TestDevsimCli::badOptionsAreRejected()
{
    QFETCH(QStringList, arguments);
    const Run run = runProgram(arguments);
    QCOMPARE(run.exitCode, 2);
    QVERIFY(run.err.contains("quorvix-devsim:"));
    QVERIFY(!QFileInfo::exists(folder() + "/QuorvixAudioBus0"));
}

void TestDevsimCli::initialStateFromOptions()
{
    QVERIFY(sim.start({"--bus", "3", "--sample-rate", "44100", "--buffer-size", "512", "--latency",
                       "32", "--slow-mode", "on", "--wdm-channels", "4", "--meters", "full"}));
    QCOMPARE(sim.socketPath(), folder() + "/QuorvixAudioBus3");
    RawLink link;
    QVERIFY(link.open(sim.socketPath()));
    QCOMPARE(RawLink::u32At(link.request(RequestCode::GetSampleRate, {}, 4).output, 0), 44100u);
    QCOMPARE(RawLink::u32At(link.request(RequestCode::GetBufferSize, {}, 4).output, 0), 512u);
    QCOMPARE(RawLink::u32At(link.request(RequestCode::GetUsbLatency, {}, 4).output, 0), 32u);
    QCOMPARE(RawLink::u32At(link.request(RequestCode::ReadMeters, {}, 768).output, 700),
             2147483647u);
    const QJsonObject state = sim.state();
    QCOMPARE(state.value("bus").toInt(), 3);
    QCOMPARE(state.value("slowMode").toBool(), true);
    QCOMPARE(state.value("wdmChannels").toInt(), 4);
    QCOMPARE(state.value("meters").toString(), QString("full"));
    QVERIFY(!QFileInfo::exists(folder() + "/QuorvixAudioBus0"));
}

void TestDevsimCli::endpointsAndModes()
{
    QVERIFY(sim.start());
    const QFileInfo socket(sim.socketPath());
    QVERIFY(socket.exists());
    QCOMPARE(socket.permissions() & 0x7077, QFile::ReadOwner | QFile::WriteOwner);
    QCOMPARE(QFileInfo(sim.controlPath()).permissions() & 0x7077,
             QFile::ReadOwner | QFile::WriteOwner);
    QCOMPARE(QFileInfo(folder()).permissions() & 0x7077,
             QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QCOMPARE(sim.journalPath(), folder() + "/devsim-0.journal");
    QVERIFY(QFileInfo::exists(sim.journalPath()));

    sim.stop();
    // A clean exit takes both sockets along.
    QVERIFY(!QFileInfo::exists(folder() + "/QuorvixAudioBus0"));
    QVERIFY(!QFileInfo::exists(folder() + "/devsim-0.ctl"));
}

void TestDevsimCli::startsUnplugged()
{
    QTemporaryDir elsewhere;
    const QString journal = elsewhere.filePath("j.log");
    const QString control = elsewhere.filePath("c.ctl");
    QVERIFY(sim.start({"--unplugged", "--journal", journal, "--control", control}));
    QCOMPARE(sim.journalPath(), journal);
    QVERIFY(!QFileInfo::exists(sim.socketPath()));
    QCOMPARE(sim.state().value("plugged").toBool(), false);
    QVERIFY(sim.control("plug").startsWith("ok"));
    RawLink link;
    QVERIFY(link.open(sim.socketPath()));
    QCOMPARE(link.request(RequestCode::ReadProductId, {}, 4).status, 1u);
    QCOMPARE(sim.journal().size(), 1);
}

void TestDevsimCli::oneShotControlClient()
{
    const Run none = runProgram({"--ctl", "state"});
    QCOMPARE(none.exitCode, 2);

    QVERIFY(sim.start({"--bus", "5"}));
    const Run changed = runProgram({"--ctl", "model zr", "--bus", "5"});
    QCOMPARE(changed.exitCode, 0);
    QVERIFY(changed.out.startsWith("ok"));
    QCOMPARE(sim.state().value("pid").toInt(), 15);
    const Run rejected = runProgram({"--ctl", "frobnicate", "--bus", "5"});
    QCOMPARE(rejected.exitCode, 1);
    QVERIFY(rejected.out.startsWith("error"));
    const Run quit = runProgram({"--ctl", "quit", "--bus", "5"});
    QCOMPARE(quit.exitCode, 0);
    QTRY_VERIFY(!sim.isRunning());
}

void TestDevsimCli::readableRequestLines()
{
    QProcess process;
    process.start(program, {"--bus", "2"});
    QVERIFY(process.waitForStarted());
    const QString socket = folder() + "/QuorvixAudioBus2";
    QTRY_VERIFY(QFileInfo::exists(folder() + "/devsim-2.ctl"));
    RawLink link;
    QVERIFY(link.open(socket));
    const DeviceCommand c = DeviceCommand::make(VendorOpcode::MicVolume, 2, 1, 84);
    QCOMPARE(
        link.request(RequestCode::SendCommand,
                     QByteArray(reinterpret_cast<const char*>(c.bytes.data()), DeviceCommand::Size))
            .status,
        1u);
    QCOMPARE(link.request(RequestCode::SetBufferSize, RawLink::u32(0)).error, 87u);
    process.terminate();
    QVERIFY(process.waitForFinished(5000));
    QCOMPARE(process.exitCode(), 0);
    const QStringList lines = QString::fromUtf8(process.readAllStandardOutput()).split('\n');
    QVERIFY(lines.contains("#1 c1 setMicVolume ch=1 level=84 ok"));
    QVERIFY(lines.contains("#2 c1 setBufferSize value=0 error 87"));
    QVERIFY(!QFileInfo::exists(socket));
}

void TestDevsimCli::busAlreadyTaken()
{
    QVERIFY(sim.start());
    const Run second = runProgram({"--quiet", "--control", folder() + "/other.ctl"});
    QCOMPARE(second.exitCode, 1);
    QVERIFY(second.err.contains("QuorvixAudioBus0"));
    // The live simulator keeps its socket.
    RawLink link;
    QVERIFY(link.open(sim.socketPath()));
    sim.stop();

    // A socket file left over by a crash is taken over.
    QProcess crashed;
    crashed.start(program, {"--quiet"});
    QTRY_VERIFY(QFileInfo::exists(folder() + "/devsim-0.ctl"));
    crashed.kill();
    QVERIFY(crashed.waitForFinished());
    QVERIFY(QFileInfo::exists(folder() + "/QuorvixAudioBus0"));
    QVERIFY(sim.start());
    QVERIFY(link.open(sim.socketPath()));
    QCOMPARE(link.request(RequestCode::ReadProductId, {}, 4).status, 1u);
}

QTEST_GUILESS_MAIN(TestDevsimCli)
#include "tst_devsim_cli.moc"
