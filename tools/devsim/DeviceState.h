#pragma once
// Everything the simulated driver remembers about its interface: identity, streaming
// parameters, the vendor controls last set per channel and the mixer image it holds.
#include "driver/DriverTypes.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <array>
#include <map>

struct DeviceState
{
    DevicePid pid = 2;
    std::array<std::uint8_t, 10> firmware{'1', '.', '0', '.', '3'};
    bool shortFirmware = false; // answer the firmware query with 9 bytes only
    bool plugged = true;

    std::uint32_t sampleRate = 48000;
    std::uint32_t bufferSize = 256;
    std::uint32_t usbLatency = 16;
    std::uint32_t wdmChannels = 2;
    bool slowMode = false;
    bool streamRunning = true;
    QString streamChangedBy; // request that last stopped or (re)started the stream
    bool otg = true;

    std::map<int, int> micVolume, mic48V, mic20dB, micInstrument, outVolume;
    QByteArray matrix = QByteArray(MixerMatrix::ByteSize, '\0');

    // "tk1", "tk2", "zr" or "unknown" (also for 0).
    static QString modelName(DevicePid pid);
    // Accepts tk1, tk2, zr (any case) or a decimal / 0x-hex product id.
    static bool parseModel(const QString& text, DevicePid& pid);
    // Firmware from text (at most 10 bytes, zero padded); false when longer.
    bool setFirmwareText(const QByteArray& text);
    bool setFirmwareHex(const QByteArray& hex);
    QString firmwareText() const; // up to the first zero byte
    // What the interface does when it loses power and its driver rides through: every
    // control, streaming setting and the mixer image go back to those of `powerOn`, while
    // identity, firmware and the plug state stay (so open handles stay valid).
    void powerCycle(const DeviceState& powerOn);

    QJsonObject toJson() const;
};
