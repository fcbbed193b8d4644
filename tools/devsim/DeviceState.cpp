#include "DeviceState.h"

#include <QJsonArray>

#include <algorithm>
#include <cctype>

namespace {

QJsonObject channelMap(const std::map<int, int>& values)
{
    QJsonObject object;
    for (const auto& [channel, value] : values)
        object.insert(QString::number(channel), value);
    return object;
}

} // namespace

QString DeviceState::modelName(DevicePid pid)
{
    switch (pid) {
    case 1:
        return QStringLiteral("tk1");
    case 2:
        return QStringLiteral("tk2");
    case 15:
        return QStringLiteral("zr");
    default:
        return QStringLiteral("unknown");
    }
}

bool DeviceState::parseModel(const QString& text, DevicePid& pid)
{
    const QString name = text.trimmed().toLower();
    if (name == QLatin1String("tk1"))
        pid = 1;
    else if (name == QLatin1String("tk2"))
        pid = 2;
    else if (name == QLatin1String("zr"))
        pid = 15;
    else {
        bool ok = false;
        const qulonglong value = name.toULongLong(&ok, 0);
        if (!ok || value > 0xFFFFFFFFull)
            return false;
        pid = static_cast<DevicePid>(value);
    }
    return true;
}

bool DeviceState::setFirmwareText(const QByteArray& text)
{
    if (text.size() > static_cast<qsizetype>(firmware.size()))
        return false;
    firmware.fill(0);
    std::copy(text.begin(), text.end(), firmware.begin());
    return true;
}

bool DeviceState::setFirmwareHex(const QByteArray& hex)
{
    const QByteArray clean = QByteArray(hex).replace(' ', "");
    if (clean.size() % 2 != 0)
        return false;
    for (const char c : clean)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    return setFirmwareText(QByteArray::fromHex(clean));
}

QString DeviceState::firmwareText() const
{
    const auto end = std::find(firmware.begin(), firmware.end(), 0);
    return QString::fromLatin1(reinterpret_cast<const char*>(firmware.data()),
                               end - firmware.begin());
}

void DeviceState::powerCycle(const DeviceState& powerOn)
{
    sampleRate = powerOn.sampleRate;
    bufferSize = powerOn.bufferSize;
    usbLatency = powerOn.usbLatency;
    wdmChannels = powerOn.wdmChannels;
    slowMode = powerOn.slowMode;
    streamRunning = powerOn.streamRunning;
    streamChangedBy = powerOn.streamChangedBy;
    otg = powerOn.otg;
    micVolume = powerOn.micVolume;
    mic48V = powerOn.mic48V;
    mic20dB = powerOn.mic20dB;
    micInstrument = powerOn.micInstrument;
    outVolume = powerOn.outVolume;
    matrix = powerOn.matrix;
}

QJsonObject DeviceState::toJson() const
{
    QJsonObject stream{{"running", streamRunning}, {"changedBy", streamChangedBy}};
    const QByteArray firmwareBytes(reinterpret_cast<const char*>(firmware.data()),
                                   static_cast<qsizetype>(firmware.size()));
    return QJsonObject{
        {"model", modelName(pid)},
        {"pid", static_cast<qint64>(pid)},
        {"firmware", firmwareText()},
        {"firmwareHex", QString::fromLatin1(firmwareBytes.toHex())},
        {"shortFirmware", shortFirmware},
        {"plugged", plugged},
        {"sampleRate", static_cast<qint64>(sampleRate)},
        {"bufferSize", static_cast<qint64>(bufferSize)},
        {"usbLatency", static_cast<qint64>(usbLatency)},
        {"slowMode", slowMode},
        {"wdmChannels", static_cast<qint64>(wdmChannels)},
        {"stream", stream},
        {"otg", otg},
        {"micVolume", channelMap(micVolume)},
        {"mic48V", channelMap(mic48V)},
        {"mic20dB", channelMap(mic20dB)},
        {"micInstrument", channelMap(micInstrument)},
        {"outVolume", channelMap(outVolume)},
    };
}
