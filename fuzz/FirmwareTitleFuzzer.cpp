// The firmware path from the driver's reply to the window title: the first input byte
// picks the model, the rest is the driver's raw reply to the firmware query. A version
// is accepted only from a successful reply of at least ten bytes, and the title then
// holds the model's prefix and exactly those ten bytes, one character each.
#include "DriverPeer.h"
#include "FuzzEnvironment.h"
#include "driver/AudioBusDevice.h"
#include "mainwindow/FirmwareTitle.h"

#include <QString>

#include <thread>

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
    constexpr DevicePid kModels[] = {1, 2, 15};
    const DevicePid pid = kModels[data[0] % 3];
    const std::uint8_t* reply = data + 1;
    const std::size_t replySize = size - 1;

    AudioBusDevice device;
    fuzzenv::check(device.openDevice(), "cannot open the device");
    std::thread driver = fuzzpeer::replyRawOnce(listener, reply, replySize);
    std::uint8_t firmware[10] = {};
    const bool ok = device.readFirmwareVersion(firmware, 10);
    driver.join();

    const bool whole = replySize >= 12;
    const std::uint32_t count = whole ? driverwire::readLe32(reply + 8) : 0;
    const bool accepted = whole && driverwire::readLe32(reply) == 1 && count >= 10 && count <= 32 &&
                          replySize - 12 >= count;
    fuzzenv::check(ok == accepted, "firmware accepted against the reply");
    if (!ok) {
        for (std::uint8_t b : firmware)
            fuzzenv::check(b == 0, "a refused version wrote the bytes");
        return 0;
    }
    const QString format = firmwareTitleFormat(pid);
    const QString title = buildFirmwareTitle(format, firmware);
    const QString prefix = format.left(format.indexOf(QLatin1Char('%')));
    fuzzenv::check(title.size() == prefix.size() + 10, "title length");
    fuzzenv::check(title.startsWith(prefix), "title prefix");
    for (int i = 0; i < 10; ++i) {
        fuzzenv::check(firmware[i] == reply[12 + i], "version bytes differ from the reply");
        fuzzenv::check(title.at(prefix.size() + i).unicode() == firmware[i],
                       "title character differs from its byte");
    }
    return 0;
}
