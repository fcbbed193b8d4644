#pragma once
// What the simulated kernel driver does with each request: decodes it into readable
// fields and carries it out on the DeviceState. Knows nothing of sockets or faults.
//
// Driver-side rules for malformed requests (the program never sends these):
//   - an input of the wrong length, a vendor record whose class byte is not 0x01, or a
//     value the device cannot take (unsupported sample rate, zero buffer size/latency):
//     failure 87 (ERROR_INVALID_PARAMETER), state unchanged;
//   - an output buffer smaller than the answer: failure 122 (ERROR_INSUFFICIENT_BUFFER);
//   - an unknown code or an unknown query opcode: failure 1 (ERROR_INVALID_FUNCTION).
// Unknown sendCommand opcodes are accepted and change nothing.
#include "DeviceState.h"
#include "MeterSource.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QString>

struct DriverReply
{
    bool ok = false;
    std::uint32_t error = 0;
    QByteArray output;
};

class SimulatedDriver
{
public:
    static constexpr std::uint32_t InvalidParameter = 87;
    static constexpr std::uint32_t InsufficientBuffer = 122;

    SimulatedDriver(DeviceState& state, const MeterSource& meters, const QElapsedTimer& clock);

    // The request's name ("readProductId", "sendCommand", ... or "unknown").
    static QString requestName(std::uint32_t code);
    // Readable fields: "request" (vendor requests by their own name), and as they apply
    // "opcode", "param", "channel", "level" (vendor records) or "value" (4-byte inputs).
    static QJsonObject decode(std::uint32_t code, const QByteArray& input);
    // A short one-line rendering of decoded fields, e.g. "setMicVolume ch=1 level=84".
    static QString summary(const QJsonObject& decoded);

    // Carries the request out. Matrix writes add "changedCells" ([[index, old, new], ...]
    // for the first maxListedCells changes) and "changedCount" to `decoded`.
    DriverReply execute(std::uint32_t code, const QByteArray& input, std::uint32_t outputLength,
                        QJsonObject& decoded);

    static constexpr int maxListedCells = 64;

private:
    DriverReply vendorCommand(const QByteArray& input);
    DriverReply vendorQuery(const QByteArray& input, std::uint32_t outputLength);
    DriverReply writeMatrix(const QByteArray& input, QJsonObject& decoded);
    DriverReply setValue(std::uint32_t code, std::uint32_t value);
    void setStream(bool running, const char* by);

    DeviceState& state;
    const MeterSource& meters;
    const QElapsedTimer& clock;
};
