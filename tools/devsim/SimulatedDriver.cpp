#include "SimulatedDriver.h"

#include "platform/PlatformTypes.h"

#include <QJsonArray>

#include <cstring>

namespace {

namespace Code = RequestCode;

std::uint32_t readU32(const QByteArray& bytes, int at = 0)
{
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.constData()) + at;
    return b[0] | (b[1] << 8) | (b[2] << 16) | (std::uint32_t(b[3]) << 24);
}

QByteArray u32Bytes(std::uint32_t v)
{
    const char bytes[4] = {char(v & 0xFF), char((v >> 8) & 0xFF), char((v >> 16) & 0xFF),
                           char(v >> 24)};
    return QByteArray(bytes, 4);
}

DriverReply success(const QByteArray& output = {})
{
    return DriverReply{true, 0, output};
}

DriverReply failure(std::uint32_t error)
{
    return DriverReply{false, error, {}};
}

QString vendorName(int opcode)
{
    switch (opcode) {
    case VendorOpcode::OutVolume:
        return QStringLiteral("setOutVolume");
    case VendorOpcode::MicVolume:
        return QStringLiteral("setMicVolume");
    case VendorOpcode::Mic20dB:
        return QStringLiteral("setMic20dB");
    case VendorOpcode::Mic48V:
        return QStringLiteral("setMic48V");
    case VendorOpcode::OtgOff:
        return QStringLiteral("setOtgOff");
    case VendorOpcode::OtgOn:
        return QStringLiteral("setOtgOn");
    case VendorOpcode::MicInstrument:
        return QStringLiteral("setMicInstrument");
    case VendorOpcode::FirmwareVersion:
        return QStringLiteral("readFirmwareVersion");
    default:
        return QStringLiteral("vendor0x%1").arg(opcode, 2, 16, QLatin1Char('0'));
    }
}

bool isSetter(std::uint32_t code)
{
    return code == Code::SetSampleRate || code == Code::SetBufferSize ||
           code == Code::SetUsbLatency || code == Code::SetWdmChannels;
}

} // namespace

SimulatedDriver::SimulatedDriver(DeviceState& state, const MeterSource& meters,
                                 const QElapsedTimer& clock)
    : state(state), meters(meters), clock(clock)
{}

QString SimulatedDriver::requestName(std::uint32_t code)
{
    switch (code) {
    case Code::GetSampleRate:
        return QStringLiteral("getSampleRate");
    case Code::SetSampleRate:
        return QStringLiteral("setSampleRate");
    case Code::WriteMixerMatrix:
        return QStringLiteral("writeMixerMatrix");
    case Code::SetBufferSize:
        return QStringLiteral("setBufferSize");
    case Code::GetBufferSize:
        return QStringLiteral("getBufferSize");
    case Code::GetUsbLatency:
        return QStringLiteral("getUsbLatency");
    case Code::SetUsbLatency:
        return QStringLiteral("setUsbLatency");
    case Code::ReadMeters:
        return QStringLiteral("readMeters");
    case Code::StopAudio:
        return QStringLiteral("stopAudio");
    case Code::InitAudio:
        return QStringLiteral("initAudio");
    case Code::StartAudio:
        return QStringLiteral("startAudio");
    case Code::ReadProductId:
        return QStringLiteral("readProductId");
    case Code::SetWdmChannels:
        return QStringLiteral("setWdmChannels");
    case Code::EnableSlowMode:
        return QStringLiteral("enableSlowMode");
    case Code::DisableSlowMode:
        return QStringLiteral("disableSlowMode");
    case Code::SendCommand:
        return QStringLiteral("sendCommand");
    case Code::QueryCommand:
        return QStringLiteral("queryCommand");
    default:
        return QStringLiteral("unknown");
    }
}

QJsonObject SimulatedDriver::decode(std::uint32_t code, const QByteArray& input)
{
    QJsonObject decoded{{"request", requestName(code)}};
    if ((code == Code::SendCommand || code == Code::QueryCommand) && input.size() >= 7) {
        const auto* b = reinterpret_cast<const unsigned char*>(input.constData());
        decoded.insert("request", vendorName(b[1]));
        decoded.insert("opcode", b[1]);
        decoded.insert("param", b[3]);
        decoded.insert("channel", b[4]);
        decoded.insert("level", b[5] | (b[6] << 8));
    } else if (isSetter(code) && input.size() == 4)
        decoded.insert("value", static_cast<qint64>(readU32(input)));
    return decoded;
}

QString SimulatedDriver::summary(const QJsonObject& decoded)
{
    QString text = decoded.value("request").toString();
    if (decoded.contains("opcode")) {
        const int opcode = decoded.value("opcode").toInt();
        const bool level = opcode == VendorOpcode::OutVolume || opcode == VendorOpcode::MicVolume;
        const bool toggle = opcode == VendorOpcode::Mic20dB || opcode == VendorOpcode::Mic48V ||
                            opcode == VendorOpcode::MicInstrument;
        if (level)
            text += QStringLiteral(" ch=%1 level=%2")
                        .arg(decoded.value("channel").toInt())
                        .arg(decoded.value("level").toInt());
        else if (toggle)
            text += QStringLiteral(" ch=%1 state=%2")
                        .arg(decoded.value("channel").toInt())
                        .arg(decoded.value("param").toInt());
    }
    if (decoded.contains("value"))
        text += QStringLiteral(" value=%1").arg(decoded.value("value").toInteger());
    if (decoded.contains("changedCount"))
        text += QStringLiteral(" changed=%1").arg(decoded.value("changedCount").toInt());
    return text;
}

DriverReply SimulatedDriver::execute(std::uint32_t code, const QByteArray& input,
                                     std::uint32_t outputLength, QJsonObject& decoded)
{
    // Answers a request that reads `bytes` into the caller's buffer.
    auto answer = [&](const QByteArray& bytes) {
        return outputLength < static_cast<std::uint32_t>(bytes.size()) ? failure(InsufficientBuffer)
                                                                       : success(bytes);
    };
    const bool noInput = input.isEmpty();
    switch (code) {
    case Code::ReadProductId:
        return noInput ? answer(u32Bytes(state.pid)) : failure(InvalidParameter);
    case Code::GetSampleRate:
        return noInput ? answer(u32Bytes(state.sampleRate)) : failure(InvalidParameter);
    case Code::GetBufferSize:
        return noInput ? answer(u32Bytes(state.bufferSize)) : failure(InvalidParameter);
    case Code::GetUsbLatency:
        return noInput ? answer(u32Bytes(state.usbLatency)) : failure(InvalidParameter);
    case Code::ReadMeters: {
        if (!noInput)
            return failure(InvalidParameter);
        MeterData data;
        meters.fill(data, clock.elapsed());
        QByteArray bytes(MeterData::ByteSize, '\0');
        for (int k = 0; k < MeterData::WordCount; ++k)
            std::memcpy(bytes.data() + 4 * k, u32Bytes(std::uint32_t(data.words[k])).constData(),
                        4);
        return answer(bytes);
    }
    case Code::SetSampleRate:
    case Code::SetBufferSize:
    case Code::SetUsbLatency:
    case Code::SetWdmChannels:
        return input.size() == 4 ? setValue(code, readU32(input)) : failure(InvalidParameter);
    case Code::StopAudio:
    case Code::InitAudio:
    case Code::StartAudio:
    case Code::EnableSlowMode:
    case Code::DisableSlowMode:
        if (!noInput)
            return failure(InvalidParameter);
        if (code == Code::StopAudio)
            setStream(false, "stopAudio");
        else if (code == Code::InitAudio)
            setStream(true, "initAudio");
        else if (code == Code::StartAudio)
            setStream(true, "startAudio");
        else
            state.slowMode = code == Code::EnableSlowMode;
        return success();
    case Code::WriteMixerMatrix:
        return writeMatrix(input, decoded);
    case Code::SendCommand:
        return vendorCommand(input);
    case Code::QueryCommand:
        return vendorQuery(input, outputLength);
    default:
        return failure(platform::error::InvalidFunction);
    }
}

DriverReply SimulatedDriver::setValue(std::uint32_t code, std::uint32_t value)
{
    switch (code) {
    case Code::SetSampleRate:
        switch (value) {
        case 44100:
        case 48000:
        case 88200:
        case 96000:
        case 176400:
        case 192000:
            state.sampleRate = value;
            return success();
        default:
            return failure(InvalidParameter);
        }
    case Code::SetBufferSize:
        if (value == 0 || value > 65536)
            return failure(InvalidParameter);
        state.bufferSize = value;
        return success();
    case Code::SetUsbLatency:
        if (value == 0 || value > 1024)
            return failure(InvalidParameter);
        state.usbLatency = value;
        return success();
    default:
        if (value > 256)
            return failure(InvalidParameter);
        state.wdmChannels = value;
        return success();
    }
}

void SimulatedDriver::setStream(bool running, const char* by)
{
    state.streamRunning = running;
    state.streamChangedBy = QString::fromLatin1(by);
}

DriverReply SimulatedDriver::vendorCommand(const QByteArray& input)
{
    if (input.size() != DeviceCommand::Size || input[0] != 0x01)
        return failure(InvalidParameter);
    const auto* b = reinterpret_cast<const unsigned char*>(input.constData());
    const int channel = b[4];
    const int level = b[5] | (b[6] << 8);
    switch (b[1]) {
    case VendorOpcode::OutVolume:
        state.outVolume[channel] = level;
        break;
    case VendorOpcode::MicVolume:
        state.micVolume[channel] = level;
        break;
    case VendorOpcode::Mic20dB:
        state.mic20dB[channel] = b[3];
        break;
    case VendorOpcode::Mic48V:
        state.mic48V[channel] = b[3];
        break;
    case VendorOpcode::MicInstrument:
        state.micInstrument[channel] = b[3];
        break;
    case VendorOpcode::OtgOff:
        state.otg = false;
        break;
    case VendorOpcode::OtgOn:
        state.otg = true;
        break;
    default:
        break;
    }
    return success();
}

DriverReply SimulatedDriver::vendorQuery(const QByteArray& input, std::uint32_t outputLength)
{
    if (input.size() != DeviceCommand::Size || input[0] != 0x01)
        return failure(InvalidParameter);
    if (static_cast<unsigned char>(input[1]) != VendorOpcode::FirmwareVersion)
        return failure(platform::error::InvalidFunction);
    const int length = state.shortFirmware ? 9 : 10;
    if (outputLength < static_cast<std::uint32_t>(length))
        return failure(InsufficientBuffer);
    return success(QByteArray(reinterpret_cast<const char*>(state.firmware.data()), length));
}

DriverReply SimulatedDriver::writeMatrix(const QByteArray& input, QJsonObject& decoded)
{
    if (input.size() != MixerMatrix::ByteSize)
        return failure(InvalidParameter);
    QJsonArray cells;
    int changed = 0;
    for (int i = 0; i < MixerMatrix::ElementCount; ++i) {
        // Cells compare bit for bit, so -0.0 versus 0.0 and NaN payloads count as changes.
        if (std::memcmp(input.constData() + 8 * i, state.matrix.constData() + 8 * i, 8) == 0)
            continue;
        if (++changed <= maxListedCells) {
            double before, after;
            std::memcpy(&before, state.matrix.constData() + 8 * i, 8);
            std::memcpy(&after, input.constData() + 8 * i, 8);
            cells.append(QJsonArray{i, before, after});
        }
    }
    state.matrix = input;
    decoded.insert("changedCells", cells);
    decoded.insert("changedCount", changed);
    return success();
}
