// AudioBusDevice against an in-process driver peer: the exact frames of every request,
// the return conventions, discovery output, the firmware rules and the conversions.
#include "DriverPeer.h"

#include "driver/AudioBusDevice.h"
#include "platform/PlatformTypes.h"

#include <QTest>

#include <cmath>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>

namespace {

// The 37-byte record: the given leading bytes, then zeros.
QByteArray record(std::initializer_list<int> head)
{
    QByteArray bytes(DeviceCommand::Size, '\0');
    int i = 0;
    for (int b : head)
        bytes[i++] = static_cast<char>(b);
    return bytes;
}

QByteArray le32(std::uint32_t v)
{
    return DriverPeer::le32(v);
}

template <typename Char> class StreamCapture
{
public:
    explicit StreamCapture(std::basic_ostream<Char>& stream)
        : stream(stream), previous(stream.rdbuf(text.rdbuf()))
    {}
    ~StreamCapture() { stream.rdbuf(previous); }
    QString str() const
    {
        if constexpr (sizeof(Char) == 1)
            return QString::fromStdString(text.str());
        else
            return QString::fromStdWString(text.str());
    }

private:
    std::basic_ostream<Char>& stream;
    std::basic_ostringstream<Char> text;
    std::basic_streambuf<Char>* previous;
};

QStringList debugLines;
void recordMessage(QtMsgType, const QMessageLogContext&, const QString& message)
{
    debugLines << message;
}

} // namespace

class AudioBusDeviceTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void requestFrames();
    void mixerImageIsLittleEndian();
    void nothingSentWithoutDevice();
    void gettersWriteOnlyOnSuccess();
    void queryReplyIsMadeThirtyTwoBytes();
    void discoveryStopsAtFirstDevice();
    void discoveryWithNoDevice();
    void firmwareVersion_data();
    void firmwareVersion();
    void driverGoneMakesRequestsFail();
    void dbToGain_data();
    void dbToGain();
    void levelToDb_data();
    void levelToDb();

private:
    std::unique_ptr<DriverPeer> peer;
    std::unique_ptr<AudioBusDevice> device;
    void openOnBus0();
};

void AudioBusDeviceTest::init()
{
    peer = std::make_unique<DriverPeer>(0);
    QVERIFY(peer->start());
    device = std::make_unique<AudioBusDevice>();
}

void AudioBusDeviceTest::cleanup()
{
    device.reset();
    peer.reset();
}

void AudioBusDeviceTest::openOnBus0()
{
    StreamCapture<wchar_t> quiet(std::wcout);
    QVERIFY(device->openDevice());
    QVERIFY(device->isOpen());
}

void AudioBusDeviceTest::requestFrames()
{
    // The driver accepts everything and fills whatever output the caller offers.
    peer->setHandler(
        [](const PeerRequest& r) { return PeerReply::ok(QByteArray(r.outputLength, '\x01')); });
    openOnBus0();
    AudioBusDevice& d = *device;

    struct Case
    {
        const char* name;
        std::function<bool()> call;
        std::uint32_t code;
        QByteArray input;
        std::uint32_t outputLength;
    };
    std::uint32_t value = 0;
    MeterData meters{};
    QByteArray reply;
    std::uint8_t firmware[10] = {};
    const QByteArray none;
    const Case cases[] = {
        {"setMicVolume(1,84)", [&] { return d.setMicVolume(1, 84); }, 0xFFDC209C,
         record({0x01, 0x07, 0x00, 0x02, 0x01, 0x54, 0x00}), 0},
        {"setMic48V(2,1)", [&] { return d.setMic48V(2, 1); }, 0xFFDC209C,
         record({0x01, 0x5B, 0x00, 0x01, 0x02}), 0},
        {"setOutVolume(1,100)", [&] { return d.setOutVolume(1, 100); }, 0xFFDC209C,
         record({0x01, 0x03, 0x00, 0x02, 0x01, 0x64, 0x00}), 0},
        {"setOtgOff", [&] { return d.setOtgOff(); }, 0xFFDC209C, record({0x01, 0x5E}), 0},
        {"setOtgOn", [&] { return d.setOtgOn(); }, 0xFFDC209C, record({0x01, 0x5F}), 0},
        {"setMic20dB(1,1)", [&] { return d.setMic20dB(1, 1); }, 0xFFDC209C,
         record({0x01, 0x5A, 0x00, 0x01, 0x01}), 0},
        {"setMicInstrument(1,0)", [&] { return d.setMicInstrument(1, 0); }, 0xFFDC209C,
         record({0x01, 0x64, 0x00, 0x00, 0x01}), 0},
        {"setMicVolume low bits", [&] { return d.setMicVolume(0x102, 0x1ABCD); }, 0xFFDC209C,
         record({0x01, 0x07, 0x00, 0x02, 0x02, 0xCD, 0xAB}), 0},
        {"setOutVolume negative", [&] { return d.setOutVolume(-1, -2); }, 0xFFDC209C,
         record({0x01, 0x03, 0x00, 0x02, 0xFF, 0xFE, 0xFF}), 0},
        {"setMic48V low bits", [&] { return d.setMic48V(0x301, 0x201); }, 0xFFDC209C,
         record({0x01, 0x5B, 0x00, 0x01, 0x01}), 0},
        {"setSampleRate", [&] { return d.setSampleRate(44100); }, 0xFFDC2038, le32(44100), 0},
        {"setBufferSize", [&] { return d.setBufferSize(512); }, 0xFFDC2044, le32(512), 0},
        {"setUsbLatency", [&] { return d.setUsbLatency(24); }, 0xFFDC2050, le32(24), 0},
        {"setWdmChannels", [&] { return d.setWdmChannels(4); }, 0xFFDC2088, le32(4), 0},
        {"stopAudio", [&] { return d.stopAudio(); }, 0xFFDC2078, none, 0},
        {"initAudio", [&] { return d.initAudio(); }, 0xFFDC207C, none, 0},
        {"startAudio", [&] { return d.startAudio(); }, 0xFFDC2080, none, 0},
        {"enableSlowMode", [&] { return d.enableSlowMode(); }, 0xFFDC2090, none, 0},
        {"disableSlowMode", [&] { return d.disableSlowMode(); }, 0xFFDC2094, none, 0},
        {"getSampleRate", [&] { return d.getSampleRate() == 0x01010101u; }, 0xFFDC2020, none, 4},
        {"getBufferSize", [&] { return d.getBufferSize(value); }, 0xFFDC2048, none, 4},
        {"getUsbLatency", [&] { return d.getUsbLatency(value); }, 0xFFDC204C, none, 4},
        {"readProductId", [&] { return d.readProductId(value); }, 0xFFDC2084, none, 4},
        {"readMeters", [&] { return d.readMeters(meters); }, 0xFFDC2074, none, 768},
        {"queryCommand", [&] { return d.queryCommand(DeviceCommand::make(0x42, 3, 4, 5), reply); },
         0xFFDC20A0, record({0x01, 0x42, 0x00, 0x03, 0x04, 0x05}), 32},
        {"readFirmwareVersion", [&] { return d.readFirmwareVersion(firmware, 10); }, 0xFFDC20A0,
         record({0x01, 0x65}), 32},
    };
    int expectedCount = 0;
    for (const Case& c : cases) {
        QVERIFY2(c.call(), c.name);
        QVERIFY2(peer->waitForRequests(++expectedCount), c.name);
        const PeerRequest seen = peer->requests().last();
        QVERIFY2(seen.code == c.code, c.name);
        QVERIFY2(seen.input == c.input, c.name);
        QVERIFY2(seen.outputLength == c.outputLength, c.name);
    }
    QCOMPARE(peer->requests().size(), int(std::size(cases)));
}

void AudioBusDeviceTest::mixerImageIsLittleEndian()
{
    openOnBus0();
    auto matrix = std::make_unique<MixerMatrix>();
    QByteArray expected;
    for (int i = 0; i < MixerMatrix::ElementCount; ++i) {
        const double v = i * 0.001 - 1.5;
        matrix->elements()[i] = v;
        std::uint64_t bits;
        std::memcpy(&bits, &v, 8);
        for (int b = 0; b < 8; ++b)
            expected.append(static_cast<char>(bits >> (8 * b)));
    }
    matrix->outputGain[3] = 1.9952623149688795;
    std::memcpy(expected.data() + 8 * (8192 + 3), "\xaf\xb8\x5b\x2d\x98\xec\xff\x3f", 8);

    QVERIFY(device->writeMixerMatrix(*matrix));
    QVERIFY(peer->waitForRequests(1));
    const PeerRequest seen = peer->requests().at(0);
    QCOMPARE(seen.code, 0xFFDC2040u);
    QCOMPARE(seen.outputLength, 0u);
    QCOMPARE(seen.input.size(), 66304);
    QCOMPARE(seen.input, expected);

    peer->setHandler([](const PeerRequest&) { return PeerReply::refuse(31); });
    QVERIFY(!device->writeMixerMatrix(*matrix));
}

void AudioBusDeviceTest::nothingSentWithoutDevice()
{
    auto check = [](AudioBusDevice& d) {
        DevicePid pid = 7;
        std::uint32_t size = 8, latency = 9;
        MeterData meters{};
        meters.words[0] = 123;
        QByteArray reply = "keep";
        std::uint8_t firmware[10] = {0xEE};
        auto matrix = std::make_unique<MixerMatrix>();
        StreamCapture<char> errors(std::cerr);

        QVERIFY(!d.readProductId(pid));
        QVERIFY(!d.getBufferSize(size));
        QVERIFY(!d.getUsbLatency(latency));
        QVERIFY(!d.readMeters(meters));
        QCOMPARE(d.getSampleRate(), 0u);
        QVERIFY(!d.queryCommand(DeviceCommand::make(0x65), reply));
        QVERIFY(!d.readFirmwareVersion(firmware, 10));
        QVERIFY(!d.writeMixerMatrix(*matrix));
        QVERIFY(!d.sendCommand(DeviceCommand::make(0x07)));
        QVERIFY(!d.setMicVolume(1, 10) && !d.setMic48V(1, 1) && !d.setMic20dB(1, 1));
        QVERIFY(!d.setMicInstrument(1, 1) && !d.setOutVolume(1, 100));
        QVERIFY(!d.setSampleRate(48000) && !d.setBufferSize(64) && !d.setUsbLatency(8));
        QVERIFY(!d.setWdmChannels(4) && !d.stopAudio() && !d.initAudio() && !d.startAudio());
        QVERIFY(!d.enableSlowMode() && !d.disableSlowMode() && !d.setOtgOn() && !d.setOtgOff());

        QCOMPARE(pid, 7u);
        QCOMPARE(size, 8u);
        QCOMPARE(latency, 9u);
        QCOMPARE(meters.words[0], 123);
        QCOMPARE(firmware[0], std::uint8_t(0xEE));
        QCOMPARE(errors.str(), QString("Failed to read firmware version from device.\n"));
    };

    check(*device); // never opened
    QCOMPARE(peer->connectionCount(), 0);

    openOnBus0();
    device->closeDevice();
    device->closeDevice(); // harmless
    QVERIFY(!device->isOpen());
    QVERIFY(peer->waitForNoConnections());
    check(*device);
    QTest::qWait(50);
    QCOMPARE(peer->requests().size(), 0);
    QCOMPARE(peer->connectionCount(), 1);
}

void AudioBusDeviceTest::gettersWriteOnlyOnSuccess()
{
    peer->setHandler([](const PeerRequest&) { return PeerReply::refuse(1); });
    openOnBus0();
    DevicePid pid = 7;
    std::uint32_t size = 8, latency = 9;
    MeterData meters{};
    meters.words[5] = 55;
    debugLines.clear();
    const QtMessageHandler previous = qInstallMessageHandler(recordMessage);
    QVERIFY(!device->readProductId(pid));
    QVERIFY(!device->getBufferSize(size));
    QVERIFY(!device->getUsbLatency(latency));
    QVERIFY(!device->readMeters(meters));
    QCOMPARE(device->getSampleRate(), 0u);
    QCOMPARE(pid, 7u);
    QCOMPARE(size, 8u);
    QCOMPARE(latency, 9u);
    QCOMPARE(meters.words[5], 55);
    QCOMPARE(debugLines, QStringList());

    peer->setHandler([](const PeerRequest& r) {
        switch (r.code) {
        case 0xFFDC2084:
            return PeerReply::ok(le32(15));
        case 0xFFDC2048:
            return PeerReply::ok(le32(256));
        case 0xFFDC204C:
            return PeerReply::ok(le32(16));
        case 0xFFDC2020:
            return PeerReply::ok(le32(48000));
        default: {
            QByteArray words;
            for (std::uint32_t w : {2147483647u, 0x80000000u, 0xFFFFFFFFu, 1000u})
                words += le32(w);
            return PeerReply::ok(words); // the first four meter words only
        }
        }
    });
    QVERIFY(device->readProductId(pid));
    QVERIFY(device->getBufferSize(size));
    QVERIFY(device->getUsbLatency(latency));
    QVERIFY(device->readMeters(meters));
    QCOMPARE(device->getSampleRate(), 48000u);
    qInstallMessageHandler(previous);
    QCOMPARE(pid, 15u);
    QCOMPARE(size, 256u);
    QCOMPARE(latency, 16u);
    QCOMPARE(meters.words[0], 2147483647);
    QCOMPARE(meters.words[1], std::int32_t(INT32_MIN));
    QCOMPARE(meters.words[2], -1);
    QCOMPARE(meters.words[3], 1000);
    QCOMPARE(meters.words[5], 55); // beyond what the driver returned
    QCOMPARE(debugLines, QStringList{"Buffer size: 256"});
}

void AudioBusDeviceTest::queryReplyIsMadeThirtyTwoBytes()
{
    peer->setHandler([](const PeerRequest&) { return PeerReply::ok("abc"); });
    openOnBus0();
    QByteArray longReply(40, 'x');
    QVERIFY(device->queryCommand(DeviceCommand::make(0x10), longReply));
    QCOMPARE(longReply, "abc" + QByteArray(29, 'x'));

    QByteArray shortReply(5, 'x');
    QVERIFY(device->queryCommand(DeviceCommand::make(0x10), shortReply));
    QCOMPARE(shortReply, "abcxx" + QByteArray(27, '\0'));
}

void AudioBusDeviceTest::discoveryStopsAtFirstDevice()
{
    peer.reset();
    DriverPeer bus3(3), bus5(5);
    QVERIFY(bus3.start());
    QVERIFY(bus5.start());
    StreamCapture<wchar_t> out(std::wcout);
    QVERIFY(device->openDevice());
    QCOMPARE(out.str(), QString("Open device \\\\.\\QuorvixAudioBus0 failed, error: 2\n"
                                "Open device \\\\.\\QuorvixAudioBus1 failed, error: 2\n"
                                "Open device \\\\.\\QuorvixAudioBus2 failed, error: 2\n"
                                "Open device \\\\.\\QuorvixAudioBus3 success!\n"));
    QTRY_COMPARE(bus3.connectionCount(), 1);
    QCOMPARE(bus5.connectionCount(), 0);

    bus3.setHandler([](const PeerRequest&) { return PeerReply::ok(le32(2)); });
    DevicePid pid = 0;
    QVERIFY(device->readProductId(pid));
    QCOMPARE(pid, 2u);
    device.reset(); // destruction closes the handle
    QVERIFY(bus3.waitForNoConnections());
}

void AudioBusDeviceTest::discoveryWithNoDevice()
{
    peer.reset();
    StreamCapture<wchar_t> out(std::wcout);
    QVERIFY(!device->openDevice());
    QVERIFY(!device->isOpen());
    QString expected;
    for (int i = 0; i < 16; ++i)
        expected += QString("Open device \\\\.\\QuorvixAudioBus%1 failed, error: 2\n").arg(i);
    QCOMPARE(out.str(), expected);
}

void AudioBusDeviceTest::firmwareVersion_data()
{
    QTest::addColumn<int>("replySize"); // -1: the driver refuses
    QTest::addColumn<unsigned>("count");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("copied");
    QTest::addColumn<QString>("message");

    QTest::newRow("exactly 10 bytes") << 10 << 10u << true << 10 << QString();
    QTest::newRow("count 12 copies 10") << 32 << 12u << true << 10 << QString();
    QTest::newRow("count 0 copies none") << 32 << 0u << true << 0 << QString();
    QTest::newRow("count 4") << 10 << 4u << true << 4 << QString();
    QTest::newRow("9 bytes") << 9 << 10u << false << 0
                             << QString("Invalid firmware version response size.\n");
    QTest::newRow("empty") << 0 << 10u << false << 0
                           << QString("Invalid firmware version response size.\n");
    QTest::newRow("refused") << -1 << 10u << false << 0
                             << QString("Failed to read firmware version from device.\n");
}

void AudioBusDeviceTest::firmwareVersion()
{
    QFETCH(int, replySize);
    QFETCH(unsigned, count);
    QFETCH(bool, accepted);
    QFETCH(int, copied);
    QFETCH(QString, message);

    peer->setHandler([replySize](const PeerRequest&) {
        if (replySize < 0)
            return PeerReply::refuse(1);
        QByteArray bytes;
        for (int i = 0; i < replySize; ++i)
            bytes.append(char('A' + i));
        return PeerReply::ok(bytes);
    });
    openOnBus0();
    std::uint8_t version[12];
    std::memset(version, 0xEE, sizeof version);
    StreamCapture<char> errors(std::cerr);
    QCOMPARE(device->readFirmwareVersion(version, count), accepted);
    QCOMPARE(errors.str(), message);
    for (int i = 0; i < 12; ++i)
        QCOMPARE(version[i], std::uint8_t(i < copied ? 'A' + i : 0xEE));
}

void AudioBusDeviceTest::driverGoneMakesRequestsFail()
{
    peer->setHandler([](const PeerRequest&) { return PeerReply::ok(le32(1)); });
    openOnBus0();
    DevicePid pid = 0;
    QVERIFY(device->readProductId(pid));
    QCOMPARE(pid, 1u);

    peer->stop(); // the interface is unplugged
    pid = 99;
    QVERIFY(!device->readProductId(pid));
    QCOMPARE(platform::lastError(), platform::error::DeviceNotConnected);
    QCOMPARE(pid, 99u);
    QVERIFY(!device->stopAudio());
    QCOMPARE(platform::lastError(), platform::error::DeviceNotConnected);
    QVERIFY(device->isOpen()); // the owner decides when to let go
}

void AudioBusDeviceTest::dbToGain_data()
{
    QTest::addColumn<double>("db");
    QTest::addColumn<double>("gain");
    QTest::newRow("-80") << -80.0 << 0.0;
    QTest::newRow("-80.5") << -80.5 << 0.0;
    QTest::newRow("-inf") << -HUGE_VAL << 0.0;
    QTest::newRow("-79") << -79.0 << 1.1220184543019636e-4;
    QTest::newRow("-40") << -40.0 << 0.01;
    QTest::newRow("0") << 0.0 << 1.0;
    QTest::newRow("6") << 6.0 << 1.9952623149688795;
    QTest::newRow("6.5") << 6.5 << 1.9952623149688795;
}

void AudioBusDeviceTest::dbToGain()
{
    QFETCH(double, db);
    QFETCH(double, gain);
    const double result = AudioBusDevice::dbToGain(db);
    if (gain == 0.0)
        QCOMPARE(result, 0.0);
    else
        QVERIFY2(std::fabs(result - gain) <= 1e-15 * gain,
                 qPrintable(QString::number(result, 'g', 17)));
}

void AudioBusDeviceTest::levelToDb_data()
{
    QTest::addColumn<int>("word");
    QTest::addColumn<double>("db");
    QTest::newRow("full scale") << 2147483647 << 0.0;
    QTest::newRow("negative full scale") << -2147483647 << 0.0;
    QTest::newRow("half") << 1073741824 << -6.020599912;
    QTest::newRow("most negative") << int(INT32_MIN) << 4.04e-9;
    QTest::newRow("one") << 1 << -186.6385973;
}

void AudioBusDeviceTest::levelToDb()
{
    QFETCH(int, word);
    QFETCH(double, db);
    const double result = AudioBusDevice::levelToDb(word);
    QVERIFY2(std::fabs(result - db) < 1e-4, qPrintable(QString::number(result, 'g', 17)));
    if (word == INT32_MIN)
        QVERIFY(result > 0.0); // a magnitude one above full scale, not an overflow
    const double zero = AudioBusDevice::levelToDb(0);
    QVERIFY(std::isinf(zero) && zero < 0);
}

QTEST_GUILESS_MAIN(AudioBusDeviceTest)
#include "tst_audiobusdevice.moc"
