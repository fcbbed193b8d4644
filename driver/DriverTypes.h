#pragma once
// Records exchanged with the interface's driver. Multi-byte numbers travel little-endian.
#include <array>
#include <cstdint>

// Product id reported by the driver: 1 TK1, 2 TK2, 15 ZR, 0 no device.
using DevicePid = std::uint32_t;

// The 37-byte vendor command record carried by sendCommand and queryCommand.
struct DeviceCommand
{
    static constexpr int Size = 37;
    std::array<std::uint8_t, Size> bytes{};

    // byte 0 class (always 0x01), 1 opcode, 3 param, 4 channel, 5-6 level (LE).
    static DeviceCommand make(std::uint8_t opcode, std::uint8_t param = 0, std::uint8_t channel = 0,
                              std::uint16_t level = 0)
    {
        DeviceCommand c;
        c.bytes[0] = 0x01;
        c.bytes[1] = opcode;
        c.bytes[3] = param;
        c.bytes[4] = channel;
        c.bytes[5] = static_cast<std::uint8_t>(level & 0xFF);
        c.bytes[6] = static_cast<std::uint8_t>(level >> 8);
        return c;
    }
};

// The mixer image sent whole by writeMixerMatrix: a 256 x 32 grid of linear gains
// (element 32 * row + column routes source column into destination row), then
// outputGain (one gain per output) and two tail arrays kept at 1.0.
struct MixerMatrix
{
    static constexpr int Rows = 256;
    static constexpr int Columns = 32;
    static constexpr int Outputs = 32;
    static constexpr int ElementCount = Rows * Columns + 3 * Outputs; // 8288
    static constexpr int ByteSize = ElementCount * 8;                 // 66304

    double grid[Rows * Columns];
    double outputGain[Outputs];
    double secondTail[Outputs];
    double thirdTail[Outputs];

    double& cell(int row, int column) { return grid[Columns * row + column]; }
    double cell(int row, int column) const { return grid[Columns * row + column]; }
    double* elements() { return grid; }
    const double* elements() const { return grid; }
};
static_assert(sizeof(MixerMatrix) == MixerMatrix::ByteSize, "MixerMatrix must be 66304 bytes");

// The 192 signed 32-bit level words that readMeters fills (full scale 2147483647).
struct MeterData
{
    static constexpr int WordCount = 192;
    static constexpr int ByteSize = WordCount * 4; // 768
    std::int32_t words[WordCount];
};
static_assert(sizeof(MeterData) == MeterData::ByteSize, "MeterData must be 768 bytes");

// Device I/O control codes: device type 0xFFDC, any access, buffered.
constexpr std::uint32_t driverRequestCode(std::uint32_t function)
{
    return (0xFFDCu << 16) | (0u << 14) | (function << 2) | 0u;
}

namespace RequestCode {
inline constexpr std::uint32_t GetSampleRate = driverRequestCode(0x808);    // 0xFFDC2020
inline constexpr std::uint32_t SetSampleRate = driverRequestCode(0x80E);    // 0xFFDC2038
inline constexpr std::uint32_t WriteMixerMatrix = driverRequestCode(0x810); // 0xFFDC2040
inline constexpr std::uint32_t SetBufferSize = driverRequestCode(0x811);    // 0xFFDC2044
inline constexpr std::uint32_t GetBufferSize = driverRequestCode(0x812);    // 0xFFDC2048
inline constexpr std::uint32_t GetUsbLatency = driverRequestCode(0x813);    // 0xFFDC204C
inline constexpr std::uint32_t SetUsbLatency = driverRequestCode(0x814);    // 0xFFDC2050
inline constexpr std::uint32_t ReadMeters = driverRequestCode(0x81D);       // 0xFFDC2074
inline constexpr std::uint32_t StopAudio = driverRequestCode(0x81E);        // 0xFFDC2078
inline constexpr std::uint32_t InitAudio = driverRequestCode(0x81F);        // 0xFFDC207C
inline constexpr std::uint32_t StartAudio = driverRequestCode(0x820);       // 0xFFDC2080
inline constexpr std::uint32_t ReadProductId = driverRequestCode(0x821);    // 0xFFDC2084
inline constexpr std::uint32_t SetWdmChannels = driverRequestCode(0x822);   // 0xFFDC2088
inline constexpr std::uint32_t EnableSlowMode = driverRequestCode(0x824);   // 0xFFDC2090
inline constexpr std::uint32_t DisableSlowMode = driverRequestCode(0x825);  // 0xFFDC2094
inline constexpr std::uint32_t SendCommand = driverRequestCode(0x827);      // 0xFFDC209C
inline constexpr std::uint32_t QueryCommand = driverRequestCode(0x828);     // 0xFFDC20A0
} // namespace RequestCode
static_assert(RequestCode::ReadProductId == 0xFFDC2084u);
static_assert(RequestCode::QueryCommand == 0xFFDC20A0u);

namespace VendorOpcode {
inline constexpr std::uint8_t OutVolume = 0x03;
inline constexpr std::uint8_t MicVolume = 0x07;
inline constexpr std::uint8_t Mic20dB = 0x5A;
inline constexpr std::uint8_t Mic48V = 0x5B;
inline constexpr std::uint8_t OtgOff = 0x5E;
inline constexpr std::uint8_t OtgOn = 0x5F;
inline constexpr std::uint8_t MicInstrument = 0x64;
inline constexpr std::uint8_t FirmwareVersion = 0x65;
} // namespace VendorOpcode
