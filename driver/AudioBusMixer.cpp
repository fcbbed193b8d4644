// Mixer image, meters, the microphone/output vendor commands and the dB conversions.
#include "driver/AudioBusDevice.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

constexpr double kSilenceDb = -80.0;
constexpr double kCeilingDb = 6.0;
constexpr double kCeilingGain = 1.9952623149688795; // 10^(6/20)
constexpr double kFullScale = 2147483647.0;

constexpr std::uint8_t kLevelParam = 2;

std::uint8_t low8(int value)
{
    return static_cast<std::uint8_t>(value & 0xFF);
}

std::uint16_t low16(int value)
{
    return static_cast<std::uint16_t>(value & 0xFFFF);
}

} // namespace

bool AudioBusDevice::writeMixerMatrix(const MixerMatrix& matrix)
{
    if constexpr (std::endian::native == std::endian::little) {
        return request(RequestCode::WriteMixerMatrix, &matrix, MixerMatrix::ByteSize, nullptr, 0,
                       nullptr);
    } else {
        if (!isOpen())
            return false;
        std::vector<std::uint8_t> image(MixerMatrix::ByteSize);
        const double* values = matrix.elements();
        for (int i = 0; i < MixerMatrix::ElementCount; ++i) {
            const auto bits = std::bit_cast<std::uint64_t>(values[i]);
            for (int b = 0; b < 8; ++b)
                image[8 * i + b] = static_cast<std::uint8_t>(bits >> (8 * b));
        }
        return request(RequestCode::WriteMixerMatrix, image.data(), MixerMatrix::ByteSize, nullptr,
                       0, nullptr);
    }
}

bool AudioBusDevice::readMeters(MeterData& meters)
{
    if (!request(RequestCode::ReadMeters, nullptr, 0, meters.words, MeterData::ByteSize, nullptr))
        return false;
    if constexpr (std::endian::native != std::endian::little) {
        // The driver wrote little-endian words in place.
        for (std::int32_t& word : meters.words) {
            std::uint8_t raw[4];
            std::memcpy(raw, &word, 4);
            word = static_cast<std::int32_t>(std::uint32_t(raw[0]) | std::uint32_t(raw[1]) << 8 |
                                             std::uint32_t(raw[2]) << 16 |
                                             std::uint32_t(raw[3]) << 24);
        }
    }
    return true;
}

bool AudioBusDevice::setMicVolume(int channel, int level)
{
    return sendCommand(
        DeviceCommand::make(VendorOpcode::MicVolume, kLevelParam, low8(channel), low16(level)));
}

bool AudioBusDevice::setMic48V(int channel, int state)
{
    return sendCommand(DeviceCommand::make(VendorOpcode::Mic48V, low8(state), low8(channel)));
}

bool AudioBusDevice::setMic20dB(int channel, int state)
{
    return sendCommand(DeviceCommand::make(VendorOpcode::Mic20dB, low8(state), low8(channel)));
}

bool AudioBusDevice::setMicInstrument(int channel, int state)
{
    return sendCommand(
        DeviceCommand::make(VendorOpcode::MicInstrument, low8(state), low8(channel)));
}

bool AudioBusDevice::setOutVolume(int channel, int level)
{
    return sendCommand(
        DeviceCommand::make(VendorOpcode::OutVolume, kLevelParam, low8(channel), low16(level)));
}

double AudioBusDevice::dbToGain(double db)
{
    if (db < kSilenceDb)
        return 0.0;
    if (db > kCeilingDb)
        return kCeilingGain;
    if (db == kSilenceDb)
        return 0.0;
    return std::pow(10.0, db / 20.0);
}

double AudioBusDevice::levelToDb(std::int32_t word)
{
    const double magnitude = std::fabs(static_cast<double>(word));
    return 20.0 * std::log10(magnitude / kFullScale);
}
