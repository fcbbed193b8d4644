// What the simulator records and holds when the program's own driver link talks to it:
// journal bytes and decoded fields, the mixer image, per-channel state and the meters.
#include "RawLink.h"
#include "support/DeviceSimulator.h"

#include "driver/AudioBusDevice.h"

#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <cstring>
#include <memory>

namespace {

QByteArray matrixBytes(const MixerMatrix& m)
{
    return QByteArray(reinterpret_cast<const char*>(&m), MixerMatrix::ByteSize);
}

std::unique_ptr<MixerMatrix> zeroMatrix()
{
    auto m = std::make_unique<MixerMatrix>();
    std::memset(m.get(), 0, sizeof(MixerMatrix));
    return m;
}

// A 16-bit stereo WAV of `frames` frames: channel 0 at `left`, channel 1 at `right`
// (fractions of full scale, as square waves so the peak is exact).
QByteArray wave(int frames, double left, double right)
{
    QByteArray data;
    for (int f = 0; f < frames; ++f)
        for (const double level : {left, right}) {
            const qint16 s = static_cast<qint16>(std::lround((f % 2 ? -1 : 1) * level * 32767));
            data.append(RawLink::u32(static_cast<quint16>(s)).left(2));
        }
    QByteArray fmt = RawLink::u32(16) + QByteArray::fromHex("01000200") + RawLink::u32(8000) +
                     RawLink::u32(8000 * 4) + QByteArray::fromHex("04001000");
    return "RIFF" + RawLink::u32(4 + 8 + 16 + 8 + data.size()) + "WAVEfmt " + fmt + "data" +
           RawLink::u32(data.size()) + data;
}

} // namespace

class TestDevsimJournal : public QObject
{
    Q_OBJECT

private slots:
    void init() { QVERIFY(sim.start()); }
    void cleanup() { sim.stop(); }

    void vendorCommandsAreDecoded();
    void valuesAndConnectionsAreJournalled();
    void matrixWritesListChangedCells();
    void briefMatrixJournalDropsTheBytes();
    void firmwareThroughTheDriverLink();
    void meterModes();

private:
    DeviceSimulator sim;
};

void TestDevsimJournal::vendorCommandsAreDecoded()
{
    AudioBusDevice device;
    QVERIFY(device.openDevice());
    QVERIFY(device.setMicVolume(1, 84));
    QVERIFY(device.setMic48V(2, 1));
    QVERIFY(device.setOutVolume(1, 100));
    QVERIFY(device.setMicInstrument(1, 1));
    QVERIFY(device.setMic20dB(1, 0));
    QVERIFY(device.setOtgOff());

    const QList<JournalEntry> entries = sim.journalWithCode(RequestCode::SendCommand);
    QCOMPARE(entries.size(), 6);
    QCOMPARE(entries[0].input, QByteArray::fromHex("01070002015400") + QByteArray(30, '\0'));
    QCOMPARE(entries[1].input, QByteArray::fromHex("015b000102") + QByteArray(32, '\0'));
    QCOMPARE(entries[5].input, QByteArray::fromHex("015e") + QByteArray(35, '\0'));
    QCOMPARE(entries[0].decoded.value("request").toString(), QString("setMicVolume"));
    QCOMPARE(entries[0].decoded.value("channel").toInt(), 1);
    QCOMPARE(entries[0].decoded.value("level").toInt(), 84);
    QCOMPARE(entries[1].decoded.value("param").toInt(), 1);
    QCOMPARE(entries[1].decoded.value("channel").toInt(), 2);
    QCOMPARE(entries[2].decoded.value("opcode").toInt(), 0x03);
    QCOMPARE(entries[2].decoded.value("level").toInt(), 100);
    QCOMPARE(entries[5].decoded.value("request").toString(), QString("setOtgOff"));
    for (const JournalEntry& e : entries) {
        QVERIFY(e.ok);
        QCOMPARE(e.decoded.value("name").toString(), QString("sendCommand"));
    }
    QCOMPARE(sim.journalWithRequest("setMic48V").size(), 1);

    const QJsonObject state = sim.state();
    QCOMPARE(state.value("micVolume").toObject().value("1").toInt(), 84);
    QCOMPARE(state.value("mic48V").toObject().value("2").toInt(), 1);
    QCOMPARE(state.value("outVolume").toObject().value("1").toInt(), 100);
    QCOMPARE(state.value("micInstrument").toObject().value("1").toInt(), 1);
    QCOMPARE(state.value("mic20dB").toObject().value("1").toInt(), 0);
    QCOMPARE(state.value("otg").toBool(), false);
    QCOMPARE(state.value("requests").toInt(), 6);
}

void TestDevsimJournal::valuesAndConnectionsAreJournalled()
{
    AudioBusDevice first;
    AudioBusDevice second;
    QVERIFY(first.openDevice());
    QVERIFY(second.openDevice());
    QVERIFY(first.setBufferSize(512));
    std::uint32_t size = 0;
    QVERIFY(second.getBufferSize(size));
    QCOMPARE(size, 512u);
    QVERIFY(sim.control("refuse getSampleRate 1").startsWith("ok"));
    QCOMPARE(first.getSampleRate(), 0u);

    const QList<JournalEntry> entries = sim.journal();
    QCOMPARE(entries.size(), 3);
    QCOMPARE(entries[0].connection, 1);
    QCOMPARE(entries[0].code, RequestCode::SetBufferSize);
    QCOMPARE(entries[0].input, RawLink::u32(512));
    QCOMPARE(entries[0].decoded.value("value").toInt(), 512);
    QCOMPARE(entries[1].connection, 2);
    QCOMPARE(entries[1].outputLength, 4u);
    QCOMPARE(entries[1].output, RawLink::u32(512));
    QVERIFY(!entries[2].ok);
    QCOMPARE(entries[2].error, 31u);
    QCOMPARE(entries[2].decoded.value("refused").toBool(), true);
    QVERIFY(entries[0].timeMs <= entries[2].timeMs);

    sim.clearJournal();
    QVERIFY(sim.journal().isEmpty());
    QVERIFY(first.stopAudio());
    QCOMPARE(sim.journal().size(), 1);
}

void TestDevsimJournal::matrixWritesListChangedCells()
{
    AudioBusDevice device;
    QVERIFY(device.openDevice());
    auto m = zeroMatrix();
    m->cell(64, 0) = 1.0;
    m->outputGain[1] = 0.5;
    QVERIFY(device.writeMixerMatrix(*m));
    JournalEntry entry = sim.journal().last();
    QCOMPARE(entry.input, matrixBytes(*m));
    QCOMPARE(entry.decoded.value("changedCount").toInt(), 2);
    const QJsonArray cells = entry.decoded.value("changedCells").toArray();
    QCOMPARE(cells.size(), 2);
    QCOMPARE(cells[0].toArray(), (QJsonArray{64 * 32, 0.0, 1.0}));
    QCOMPARE(cells[1].toArray(), (QJsonArray{8192 + 1, 0.0, 0.5}));

    // Only differences from the image held count; the list is capped, the count is not.
    for (int i = 0; i < 100; ++i)
        m->grid[1000 + i] = 0.25;
    m->cell(64, 0) = 0.0;
    QVERIFY(device.writeMixerMatrix(*m));
    entry = sim.journal().last();
    QCOMPARE(entry.decoded.value("changedCount").toInt(), 101);
    QCOMPARE(entry.decoded.value("changedCells").toArray().size(), 64);
    QCOMPARE(entry.decoded.value("changedCells").toArray().first().toArray(),
             (QJsonArray{1000, 0.0, 0.25}));

    const QVector<double> held = sim.matrix();
    QCOMPARE(held.size(), MixerMatrix::ElementCount);
    QVERIFY(std::memcmp(held.constData(), m.get(), MixerMatrix::ByteSize) == 0);
}

void TestDevsimJournal::briefMatrixJournalDropsTheBytes()
{
    QVERIFY(sim.start({"--journal-matrix", "brief"}));
    AudioBusDevice device;
    QVERIFY(device.openDevice());
    auto m = zeroMatrix();
    m->thirdTail[31] = 1.0;
    QVERIFY(device.writeMixerMatrix(*m));
    QVERIFY(device.setMicVolume(1, 2));
    const QList<JournalEntry> entries = sim.journal();
    QCOMPARE(entries.size(), 2);
    QVERIFY(entries[0].input.isEmpty());
    QCOMPARE(entries[0].decoded.value("inputLength").toInt(), MixerMatrix::ByteSize);
    QCOMPARE(entries[0].decoded.value("changedCells").toArray().first().toArray().first().toInt(),
             8287);
    QCOMPARE(entries[1].input.size(), DeviceCommand::Size);
    QCOMPARE(sim.matrix().last(), 1.0);
}

void TestDevsimJournal::firmwareThroughTheDriverLink()
{
    QVERIFY(sim.start({"--model", "zr", "--firmware", "3.1"}));
    AudioBusDevice device;
    QVERIFY(device.openDevice());
    DevicePid pid = 0;
    QVERIFY(device.readProductId(pid));
    QCOMPARE(pid, 15u);
    std::uint8_t bytes[10] = {};
    QVERIFY(device.readFirmwareVersion(bytes, 10));
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(bytes), 10),
             QByteArray("3.1") + QByteArray(7, '\0'));
    QVERIFY(sim.control("short-firmware on").startsWith("ok"));
    QVERIFY(!device.readFirmwareVersion(bytes, 10));
    const JournalEntry entry = sim.journal().last();
    QVERIFY(entry.ok);
    QCOMPARE(entry.output.size(), 9);
    QCOMPARE(entry.decoded.value("request").toString(), QString("readFirmwareVersion"));
}

void TestDevsimJournal::meterModes()
{
    AudioBusDevice device;
    QVERIFY(device.openDevice());
    MeterData meters{};
    QVERIFY(sim.control("meters fixed 2147483647 0 -1073741824 5").startsWith("ok"));
    QVERIFY(device.readMeters(meters));
    QCOMPARE(meters.words[0], 2147483647);
    QCOMPARE(meters.words[1], 0);
    QCOMPARE(meters.words[2], -1073741824);
    QCOMPARE(meters.words[3], 5);
    QCOMPARE(meters.words[191], 0);

    QVERIFY(sim.control("meters full").startsWith("ok"));
    QVERIFY(device.readMeters(meters));
    QVERIFY(std::all_of(std::begin(meters.words), std::end(meters.words),
                        [](std::int32_t w) { return w == 2147483647; }));
    QVERIFY(sim.control("meters silent").startsWith("ok"));
    QVERIFY(device.readMeters(meters));
    QVERIFY(std::all_of(std::begin(meters.words), std::end(meters.words),
                        [](std::int32_t w) { return w == 0; }));

    // The default levels move over time, and stay between -48 and -3 dBFS.
    QVERIFY(sim.control("meters sine").startsWith("ok"));
    MeterData later{};
    QVERIFY(device.readMeters(meters));
    QTest::qWait(400);
    QVERIFY(device.readMeters(later));
    int moved = 0;
    for (int k = 0; k < 4; ++k) {
        moved += meters.words[k] != later.words[k] ? 1 : 0;
        const double db = AudioBusDevice::levelToDb(later.words[k]);
        QVERIFY2(db >= -48.01 && db <= -2.99, qPrintable(QString::number(db)));
    }
    QVERIFY(moved >= 3);

    QTemporaryDir folder;
    const QString path = folder.filePath("levels.wav");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(wave(8000, 0.5, 0.0));
    file.close();
    QVERIFY(sim.control("meters " + path).startsWith("ok"));
    QVERIFY(device.readMeters(meters));
    QVERIFY(std::abs(meters.words[0] - 1073741823) < 70000);
    QCOMPARE(meters.words[1], 0);
    QCOMPARE(meters.words[2], meters.words[0]); // channels repeat over the sources
    QVERIFY(sim.control("meters " + folder.filePath("missing.wav")).startsWith("error"));
}

QTEST_GUILESS_MAIN(TestDevsimJournal)
#include "tst_devsim_journal.moc"
