// The simulated driver as a raw client sees it: identity per model, refusals, unplugging,
// the broken answering modes and the answers to malformed requests.
#include "RawLink.h"
#include "support/DeviceSimulator.h"

#include "driver/DriverTypes.h"

#include <QFile>
#include <QJsonArray>
#include <QtTest>

#include <cerrno>

namespace {

QByteArray record(quint8 opcode, quint8 param = 0, quint8 channel = 0, quint16 level = 0)
{
    const DeviceCommand c = DeviceCommand::make(opcode, param, channel, level);
    return QByteArray(reinterpret_cast<const char*>(c.bytes.data()), DeviceCommand::Size);
}

const QByteArray firmwareQuery = record(VendorOpcode::FirmwareVersion);

} // namespace

class TestDevsim : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { sim.stop(); }

    void identityPerModel_data();
    void identityPerModel();
    void identityChangesAtRunTime();
    void refusalsCountAndTarget();
    void unplugAndPlug();
    void busyAndHandleLimit();
    void silentNeverAnswers();
    void garbageAndCloseMidReply();
    void malformedRequests();
    void streamingState();
    void powerCycleForgetsSettingsAndKeepsHandles();

private:
    RawReply ask(quint32 code, const QByteArray& input = {}, quint32 outputLength = 0)
    {
        return link.request(code, input, outputLength);
    }
    void startAndConnect(const QStringList& arguments = {})
    {
        QVERIFY(sim.start(arguments));
        QVERIFY2(link.open(sim.socketPath()), qPrintable(sim.socketPath()));
    }

    DeviceSimulator sim;
    RawLink link;
};

void TestDevsim::identityPerModel_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<quint32>("pid");
    QTest::addColumn<QByteArray>("firmware");
    const QByteArray defaultFirmware = QByteArray("1.0.3") + QByteArray(5, '\0');
    QTest::newRow("tk1") << QStringList{"--model", "tk1"} << 1u << defaultFirmware;
    QTest::newRow("tk2 default") << QStringList{} << 2u << defaultFirmware;
    QTest::newRow("zr with firmware") << QStringList{"--model", "zr", "--firmware", "2.4.10-rc1"}
                                      << 15u << QByteArray("2.4.10-rc1");
    QTest::newRow("unknown pid 7 with hex firmware")
        << QStringList{"--model", "7", "--firmware-hex", "00ff41"} << 7u
        << QByteArray::fromHex("00ff4100000000000000");
}

void TestDevsim::identityPerModel()
{
    QFETCH(QStringList, arguments);
    QFETCH(quint32, pid);
    QFETCH(QByteArray, firmware);
    startAndConnect(arguments);

    const RawReply id = ask(RequestCode::ReadProductId, {}, 4);
    QVERIFY(id.answered);
    QCOMPARE(id.status, 1u);
    QCOMPARE(id.count, 4u);
    QCOMPARE(RawLink::u32At(id.output, 0), pid);

    const RawReply fw = ask(RequestCode::QueryCommand, firmwareQuery, 32);
    QCOMPARE(fw.status, 1u);
    QCOMPARE(fw.output, firmware);
    QCOMPARE(sim.state().value("pid").toInteger(), qint64(pid));
}

void TestDevsim::identityChangesAtRunTime()
{
    startAndConnect();
    QVERIFY(sim.control("model zr").startsWith("ok"));
    QCOMPARE(RawLink::u32At(ask(RequestCode::ReadProductId, {}, 4).output, 0), 15u);
    QCOMPARE(sim.state().value("model").toString(), QString("zr"));
    QVERIFY(sim.control("model 0").startsWith("ok"));
    QCOMPARE(RawLink::u32At(ask(RequestCode::ReadProductId, {}, 4).output, 0), 0u);

    QVERIFY(sim.control("firmware 9.9 b").startsWith("ok"));
    QCOMPARE(ask(RequestCode::QueryCommand, firmwareQuery, 32).output,
             QByteArray("9.9 b") + QByteArray(5, '\0'));
    QVERIFY(sim.control("firmware 12345678901").startsWith("error"));
    QVERIFY(sim.control("model tk9").startsWith("error"));

    QVERIFY(sim.control("short-firmware on").startsWith("ok"));
    const RawReply shortReply = ask(RequestCode::QueryCommand, firmwareQuery, 32);
    QCOMPARE(shortReply.status, 1u);
    QCOMPARE(shortReply.count, 9u);
    QVERIFY(sim.control("short-firmware off").startsWith("ok"));
    QCOMPARE(ask(RequestCode::QueryCommand, firmwareQuery, 32).count, 10u);
}

void TestDevsim::refusalsCountAndTarget()
{
    startAndConnect();
    QVERIFY(sim.control("refuse readProductId 2").startsWith("ok"));
    for (int i = 0; i < 2; ++i) {
        // Other requests are not touched by a refusal of one code.
        QCOMPARE(ask(RequestCode::GetBufferSize, {}, 4).status, 1u);
        const RawReply refused = ask(RequestCode::ReadProductId, {}, 4);
        QCOMPARE(refused.status, 0u);
        QCOMPARE(refused.error, 31u);
        QCOMPARE(refused.count, 0u);
    }
    QCOMPARE(ask(RequestCode::ReadProductId, {}, 4).status, 1u);
    QVERIFY(sim.state().value("refusals").toArray().isEmpty());

    // A vendor request by name: only that opcode fails, and it changes nothing.
    QVERIFY(sim.control("refuse setMicVolume").startsWith("ok"));
    QCOMPARE(ask(RequestCode::SendCommand, record(VendorOpcode::MicVolume, 2, 1, 84)).error, 31u);
    QCOMPARE(ask(RequestCode::SendCommand, record(VendorOpcode::Mic48V, 1, 1)).status, 1u);
    QCOMPARE(ask(RequestCode::SendCommand, record(VendorOpcode::MicVolume, 2, 1, 84)).error, 31u);
    const QJsonObject state = sim.state();
    QVERIFY(!state.value("micVolume").toObject().contains("1"));
    QCOMPARE(state.value("mic48V").toObject().value("1").toInt(), 1);

    // A code in hex, forever, until "refuse off".
    QVERIFY(sim.control("refuse 0xFFDC2048").startsWith("ok"));
    for (int i = 0; i < 3; ++i)
        QCOMPARE(ask(RequestCode::GetBufferSize, {}, 4).status, 0u);
    QVERIFY(sim.control("refuse off").startsWith("ok"));
    QCOMPARE(ask(RequestCode::GetBufferSize, {}, 4).status, 1u);
    QCOMPARE(ask(RequestCode::SendCommand, record(VendorOpcode::MicVolume, 2, 1, 84)).status, 1u);

    QVERIFY(sim.control("refuse all 1").startsWith("ok"));
    QCOMPARE(ask(RequestCode::StopAudio).error, 31u);
    QCOMPARE(ask(RequestCode::StopAudio).status, 1u);
    QVERIFY(sim.control("refuse noSuchRequest").startsWith("error"));
    QVERIFY(sim.control("refuse all 0").startsWith("error"));
}

void TestDevsim::unplugAndPlug()
{
    startAndConnect();
    RawLink second;
    QVERIFY(second.open(sim.socketPath()));
    QCOMPARE(ask(RequestCode::ReadProductId, {}, 4).status, 1u);
    QTRY_COMPARE(sim.state().value("connections").toInt(), 2);

    QVERIFY(sim.control("unplug").startsWith("ok"));
    QVERIFY(link.waitClosed(2000));
    QVERIFY(second.waitClosed(2000));
    QVERIFY(!QFile::exists(sim.socketPath()));
    RawLink refused;
    QVERIFY(!refused.open(sim.socketPath()));
    QCOMPARE(refused.connectError(), ENOENT);
    QJsonObject state = sim.state();
    QCOMPARE(state.value("plugged").toBool(), false);
    QCOMPARE(state.value("connections").toInt(), 0);

    QVERIFY(sim.control("plug").startsWith("ok"));
    QVERIFY(link.open(sim.socketPath()));
    QCOMPARE(RawLink::u32At(ask(RequestCode::ReadProductId, {}, 4).output, 0), 2u);
    state = sim.state();
    QCOMPARE(state.value("plugged").toBool(), true);
    QCOMPARE(state.value("connectionsAccepted").toInt(), 3);
    // The journal numbers the new handle after the two old ones.
    QCOMPARE(sim.journal().last().connection, 3);
}

void TestDevsim::busyAndHandleLimit()
{
    startAndConnect();
    QVERIFY(sim.control("busy on").startsWith("ok"));
    RawLink refused;
    QVERIFY(!refused.open(sim.socketPath()));
    QCOMPARE(refused.connectError(), EAGAIN);
    // A handle that was open before goes on working.
    QCOMPARE(ask(RequestCode::ReadProductId, {}, 4).status, 1u);
    QCOMPARE(sim.state().value("busy").toBool(), true);

    QVERIFY(sim.control("busy off").startsWith("ok"));
    RawLink second;
    QVERIFY(second.open(sim.socketPath()));
    QCOMPARE(second.request(RequestCode::ReadProductId, {}, 4).status, 1u);
    // The simulator's own queue fillers never count as handles.
    QCOMPARE(sim.journal().last().connection, 2);

    QVERIFY(sim.control("max-handles 2").startsWith("ok"));
    RawLink third;
    QVERIFY(!third.open(sim.socketPath()));
    QCOMPARE(third.connectError(), EAGAIN);
    second.close();
    // Each try is a new open, so it must not be repeated once it worked.
    QVERIFY(QTest::qWaitFor([&] { return third.open(sim.socketPath()); }));
    QCOMPARE(third.request(RequestCode::ReadProductId, {}, 4).status, 1u);
    QCOMPARE(sim.journal().last().connection, 3);
    QCOMPARE(sim.state().value("busy").toBool(), true);
}

void TestDevsim::silentNeverAnswers()
{
    startAndConnect();
    QVERIFY(sim.control("silent on").startsWith("ok"));
    QElapsedTimer waited;
    waited.start();
    const RawReply none = link.request(RequestCode::SetBufferSize, RawLink::u32(512), 0, 400);
    QVERIFY(waited.elapsed() >= 350);
    QVERIFY(!none.answered);
    QVERIFY(!none.closed);
    QVERIFY(none.raw.isEmpty());
    // Read but not carried out, and journalled as unanswered.
    QCOMPARE(sim.state().value("bufferSize").toInt(), 256);
    const JournalEntry entry = sim.journal().last();
    QCOMPARE(entry.decoded.value("answered").toBool(), false);
    QCOMPARE(entry.decoded.value("fault").toString(), QString("silent"));
    QCOMPARE(entry.decoded.value("value").toInt(), 512);

    QVERIFY(sim.control("silent off").startsWith("ok"));
    RawLink fresh;
    QVERIFY(fresh.open(sim.socketPath()));
    QCOMPARE(fresh.request(RequestCode::SetBufferSize, RawLink::u32(512)).status, 1u);
    QCOMPARE(sim.state().value("bufferSize").toInt(), 512);
}

void TestDevsim::garbageAndCloseMidReply()
{
    startAndConnect();
    QVERIFY(sim.control("garbage on").startsWith("ok"));
    const RawReply broken = ask(RequestCode::SetBufferSize, RawLink::u32(128));
    QVERIFY(broken.answered);
    QCOMPARE(broken.status, 7u);
    QCOMPARE(sim.state().value("bufferSize").toInt(), 256);
    QVERIFY(sim.control("garbage off").startsWith("ok"));

    QVERIFY(sim.control("close-mid-reply on").startsWith("ok"));
    const RawReply half = ask(RequestCode::GetSampleRate, {}, 4);
    QVERIFY(half.closed);
    QVERIFY(!half.answered);
    QCOMPARE(half.raw.size(), 8); // half of the 16-byte reply
    QCOMPARE(RawLink::u32At(half.raw, 0), 1u);

    QVERIFY(link.open(sim.socketPath()));
    QVERIFY(ask(RequestCode::SetBufferSize, RawLink::u32(1024)).closed);
    // The request was carried out before the reply was cut.
    QCOMPARE(sim.state().value("bufferSize").toInt(), 1024);
    QVERIFY(sim.control("close-mid-reply off").startsWith("ok"));
    QVERIFY(link.open(sim.socketPath()));
    QCOMPARE(ask(RequestCode::GetBufferSize, {}, 4).status, 1u);
}

void TestDevsim::malformedRequests()
{
    startAndConnect();
    struct Case
    {
        const char* what;
        quint32 code;
        QByteArray input;
        quint32 outputLength;
        quint32 error;
    };
    const Case cases[] = {
        {"unknown code", 0xFFDC2100u, {}, 0, 1},
        {"input on a getter", RequestCode::ReadProductId, RawLink::u32(1), 4, 87},
        {"output buffer too small", RequestCode::ReadProductId, {}, 3, 122},
        {"meters buffer too small", RequestCode::ReadMeters, {}, 767, 122},
        {"short vendor record", RequestCode::SendCommand, record(0x07).left(36), 0, 87},
        {"vendor record of another class", RequestCode::SendCommand, QByteArray(37, '\2'), 0, 87},
        {"short matrix", RequestCode::WriteMixerMatrix, QByteArray(66303, '\0'), 0, 87},
        {"unsupported rate", RequestCode::SetSampleRate, RawLink::u32(12345), 0, 87},
        {"zero buffer size", RequestCode::SetBufferSize, RawLink::u32(0), 0, 87},
        {"unknown query", RequestCode::QueryCommand, record(0x66), 32, 1},
        {"firmware into 9 bytes", RequestCode::QueryCommand, firmwareQuery, 9, 122},
    };
    for (const Case& c : cases) {
        const RawReply reply = ask(c.code, c.input, c.outputLength);
        QVERIFY2(reply.answered, c.what);
        QVERIFY2(
            reply.status == 0 && reply.error == c.error && reply.count == 0,
            qPrintable(
                QString("%1: status %2 error %3").arg(c.what).arg(reply.status).arg(reply.error)));
    }
    QCOMPARE(sim.state().value("sampleRate").toInt(), 48000);

    // Two frames in one write are answered in order.
    QVERIFY(link.sendRaw(RawLink::u32(RequestCode::GetBufferSize) + RawLink::u32(0) +
                         RawLink::u32(4) + RawLink::u32(RequestCode::ReadProductId) +
                         RawLink::u32(0) + RawLink::u32(4)));
    const RawReply bufferSize = link.request(RequestCode::GetUsbLatency, {}, 4);
    QCOMPARE(bufferSize.raw.size(), 16);
    QCOMPARE(RawLink::u32At(bufferSize.raw, 12), 256u);
    QCOMPARE(link.next().output, RawLink::u32(2));  // product id of the TK2
    QCOMPARE(link.next().output, RawLink::u32(16)); // USB latency

    // An input length beyond any request is refused and the stream given up.
    QVERIFY(link.sendRaw(RawLink::u32(RequestCode::WriteMixerMatrix) + RawLink::u32(0x7FFFFFFF) +
                         RawLink::u32(0)));
    QVERIFY(link.waitClosed(2000));
    QCOMPARE(sim.journal().last().error, 87u);
}

void TestDevsim::streamingState()
{
    startAndConnect();
    const auto stream = [&] { return sim.state().value("stream").toObject(); };
    QCOMPARE(ask(RequestCode::StopAudio).status, 1u);
    QCOMPARE(stream().value("running").toBool(), false);
    QCOMPARE(stream().value("changedBy").toString(), QString("stopAudio"));
    QCOMPARE(ask(RequestCode::InitAudio).status, 1u);
    QCOMPARE(stream().value("changedBy").toString(), QString("initAudio"));
    QCOMPARE(ask(RequestCode::StopAudio).status, 1u);
    QCOMPARE(ask(RequestCode::StartAudio).status, 1u);
    QCOMPARE(stream().value("running").toBool(), true);
    QCOMPARE(stream().value("changedBy").toString(), QString("startAudio"));

    QCOMPARE(ask(RequestCode::SetSampleRate, RawLink::u32(44100)).status, 1u);
    QCOMPARE(ask(RequestCode::SetUsbLatency, RawLink::u32(32)).status, 1u);
    QCOMPARE(ask(RequestCode::SetWdmChannels, RawLink::u32(4)).status, 1u);
    QCOMPARE(ask(RequestCode::EnableSlowMode).status, 1u);
    QCOMPARE(ask(RequestCode::SendCommand, record(VendorOpcode::OtgOff)).status, 1u);
    QCOMPARE(RawLink::u32At(ask(RequestCode::GetSampleRate, {}, 4).output, 0), 44100u);
    QCOMPARE(RawLink::u32At(ask(RequestCode::GetUsbLatency, {}, 4).output, 0), 32u);
    QJsonObject state = sim.state();
    QCOMPARE(state.value("wdmChannels").toInt(), 4);
    QCOMPARE(state.value("slowMode").toBool(), true);
    QCOMPARE(state.value("otg").toBool(), false);
    QCOMPARE(ask(RequestCode::DisableSlowMode).status, 1u);
    QCOMPARE(ask(RequestCode::SendCommand, record(VendorOpcode::OtgOn)).status, 1u);
    state = sim.state();
    QCOMPARE(state.value("slowMode").toBool(), false);
    QCOMPARE(state.value("otg").toBool(), true);

    // State set from the control channel is what the getters report.
    QVERIFY(sim.control("set bufferSize 2048").startsWith("ok"));
    QCOMPARE(RawLink::u32At(ask(RequestCode::GetBufferSize, {}, 4).output, 0), 2048u);
    QVERIFY(sim.control("set latency 8").startsWith("ok"));
    QCOMPARE(RawLink::u32At(ask(RequestCode::GetUsbLatency, {}, 4).output, 0), 8u);
    QVERIFY(sim.control("set slowMode maybe").startsWith("error"));
    QVERIFY(sim.control("set colour 3").startsWith("error"));
}

QTEST_GUILESS_MAIN(TestDevsim)
#include "tst_devsim.moc"

void TestDevsim::powerCycleForgetsSettingsAndKeepsHandles()
{
    startAndConnect({"--model", "zr", "--firmware", "3.1", "--sample-rate", "96000"});
    QVERIFY(sim.control("journal-matrix brief").startsWith("ok"));
    const QJsonObject powerOn = sim.state();
    QCOMPARE(ask(RequestCode::SendCommand, record(VendorOpcode::Mic48V, 1, 1)).status, 1u);
    QCOMPARE(ask(RequestCode::SendCommand, record(0x07, 2, 1, 40)).status, 1u);
    QCOMPARE(ask(RequestCode::SetSampleRate, RawLink::u32(44100)).status, 1u);
    QCOMPARE(ask(RequestCode::SetBufferSize, RawLink::u32(512)).status, 1u);
    QCOMPARE(ask(RequestCode::StopAudio).status, 1u);
    QByteArray image(MixerMatrix::ByteSize, '\0');
    image[8] = 0x3f;
    QCOMPARE(ask(RequestCode::WriteMixerMatrix, image).status, 1u);
    QVERIFY(sim.state() != powerOn);

    QCOMPARE(sim.control("power-cycle"), QString("ok power-cycled"));
    QJsonObject after = sim.state();
    // Only the counters of what happened on the socket differ from the start.
    for (const char* counter : {"requests", "connections", "connectionsAccepted"})
        after.insert(counter, powerOn.value(counter));
    QCOMPARE(after, powerOn);
    QCOMPARE(sim.matrix(), QVector<double>(MixerMatrix::ElementCount, 0.0));

    // The handle opened before the power cycle still works, on the same interface.
    const RawReply id = ask(RequestCode::ReadProductId, {}, 4);
    QCOMPARE(id.status, 1u);
    QCOMPARE(RawLink::u32At(id.output, 0), 15u);
    QCOMPARE(ask(RequestCode::QueryCommand, firmwareQuery, 32).output,
             QByteArray("3.1") + QByteArray(7, '\0'));
    QCOMPARE(sim.state().value("connectionsAccepted").toInt(), 1);
    QCOMPARE(sim.state().value("sampleRate").toInt(), 96000);
}
