// The driver link reading replies from a driver that may say anything: the first input
// byte picks a request, the rest is written back raw (header included) by the peer. The
// outcome, the caller's buffer and the error code are checked against the reply rules:
// status 1 with at most the asked-for bytes, all of them present, is the only success,
// and nothing but a success writes the caller's buffer.
#include "DriverPeer.h"
#include "FuzzEnvironment.h"
#include "driver/DriverTypes.h"
#include "platform/DriverDevice.h"

#include <thread>
#include <vector>

namespace {

struct Shape
{
    std::uint32_t code;
    std::uint32_t inLength;
    std::uint32_t outLength;
};

constexpr Shape kShapes[] = {
    {RequestCode::ReadProductId, 0, 4},
    {RequestCode::GetBufferSize, 0, 4},
    {RequestCode::ReadMeters, 0, MeterData::ByteSize},
    {RequestCode::QueryCommand, DeviceCommand::Size, 32},
    {RequestCode::SendCommand, DeviceCommand::Size, 0},
    {RequestCode::WriteMixerMatrix, MixerMatrix::ByteSize, 0},
};
constexpr std::uint8_t kCanary = 0xA5;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzenv::prepare();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    static const int listener = fuzzpeer::listenOnFirstDevice();
    fuzzenv::check(listener >= 0, "cannot listen");
    const Shape& shape = kShapes[data[0] % std::size(kShapes)];
    const std::uint8_t* reply = data + 1;
    const std::size_t replySize = size - 1;

    const platform::NativeHandle link = platform::openDriverDevice(L"\\\\.\\QuorvixAudioBus0");
    fuzzenv::check(link != platform::kInvalidHandle, "cannot open the device");
    std::thread driver = fuzzpeer::replyRawOnce(listener, reply, replySize);

    std::vector<std::uint8_t> in(shape.inLength, 0x11);
    std::vector<std::uint8_t> out(shape.outLength + 16, kCanary);
    std::uint32_t returned = 0xDEADBEEF;
    const bool ok = platform::deviceIoControl(link, shape.code, in.data(), shape.inLength,
                                              out.data(), shape.outLength, &returned);
    const std::uint32_t error = platform::lastError();
    driver.join();
    platform::closeDriverDevice(link);

    const bool whole = replySize >= 12;
    const std::uint32_t status = whole ? driverwire::readLe32(reply) : 0;
    const std::uint32_t driverError = whole ? driverwire::readLe32(reply + 4) : 0;
    const std::uint32_t count = whole ? driverwire::readLe32(reply + 8) : 0;
    const bool sane = whole && status <= 1 && count <= shape.outLength;
    const bool complete = sane && replySize - 12 >= count;
    fuzzenv::check(ok == (complete && status == 1), "success differs from the reply");
    if (ok) {
        fuzzenv::check(returned == count, "byte count differs");
        for (std::uint32_t i = 0; i < count; ++i)
            fuzzenv::check(out[i] == reply[12 + i], "output bytes differ");
        for (std::size_t i = count; i < out.size(); ++i)
            fuzzenv::check(out[i] == kCanary, "bytes past the output were written");
        return 0;
    }
    fuzzenv::check(returned == 0, "a failure reported bytes");
    for (std::uint8_t b : out)
        fuzzenv::check(b == kCanary, "a failure wrote the output");
    if (!whole)
        fuzzenv::check(error == 1167, "cut header not reported as a lost device");
    else if (!sane)
        fuzzenv::check(error == 13, "broken reply not reported as invalid data");
    else if (!complete)
        fuzzenv::check(error == 1167, "cut reply not reported as a lost device");
    else
        fuzzenv::check(error == driverError, "driver's error code not passed on");
    return 0;
}
