// Measures the driver link: writeMixerMatrix through AudioBusDevice against a bare
// frame round trip of the same size on the same kind of socket, and one readMeters.
// Prints median and 99th percentile in microseconds.
#include "DriverWire.h"
#include "EchoDriver.h"

#include "driver/AudioBusDevice.h"
#include "platform/PosixSupport.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kIterations = 2000;
constexpr int kWarmup = 100;

struct Figures
{
    double median;
    double p99;
};

Figures measure(const std::function<bool()>& step)
{
    for (int i = 0; i < kWarmup; ++i)
        if (!step())
            std::exit(1);
    std::vector<double> micros;
    micros.reserve(kIterations);
    for (int i = 0; i < kIterations; ++i) {
        const auto start = std::chrono::steady_clock::now();
        if (!step()) {
            std::fprintf(stderr, "request failed\n");
            std::exit(1);
        }
        const auto took = std::chrono::steady_clock::now() - start;
        micros.push_back(std::chrono::duration<double, std::micro>(took).count());
    }
    std::sort(micros.begin(), micros.end());
    return {micros[micros.size() / 2], micros[micros.size() * 99 / 100]};
}

void report(const char* what, const Figures& f)
{
    std::printf("%-44s median %8.1f us   p99 %8.1f us   (%d runs)\n", what, f.median, f.p99,
                kIterations);
}

int connectTo(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        return fd;
    return -1;
}

} // namespace

int main()
{
    // A private runtime folder, so a simulator or device of the user is never touched.
    char folder[] = "/tmp/quorvix-bench-XXXXXX";
    if (!mkdtemp(folder))
        return 1;
    setenv("XDG_RUNTIME_DIR", folder, 1);
    if (!platform::ensureEndpointFolder())
        return 1;
    const std::string socketPath = platform::endpointPath(L"\\\\.\\QuorvixAudioBus0");

    {
        EchoDriver driver;
        if (!driver.start(socketPath)) {
            std::fprintf(stderr, "cannot listen on %s\n", socketPath.c_str());
            return 1;
        }

        auto device = std::make_unique<AudioBusDevice>();
        std::wstreambuf* console = std::wcout.rdbuf(nullptr); // discovery lines are not figures
        const bool opened = device->openDevice();
        std::wcout.rdbuf(console);
        std::wcout.clear();
        if (!opened)
            return 1;

        auto matrix = std::make_unique<MixerMatrix>();
        for (int i = 0; i < MixerMatrix::ElementCount; ++i)
            matrix->elements()[i] = (i % 7) * 0.25;
        report("writeMixerMatrix (66304 B, AudioBusDevice)",
               measure([&] { return device->writeMixerMatrix(*matrix); }));

        MeterData meters{};
        report("readMeters (768 B, AudioBusDevice)",
               measure([&] { return device->readMeters(meters); }));
        device.reset(); // the echo driver serves one connection at a time

        const int fd = connectTo(socketPath);
        if (fd < 0)
            return 1;
        std::vector<std::uint8_t> frame(12 + MixerMatrix::ByteSize, 0);
        driverwire::putLe32(frame.data(), RequestCode::WriteMixerMatrix);
        driverwire::putLe32(frame.data() + 4, MixerMatrix::ByteSize);
        std::memcpy(frame.data() + 12, matrix.get(), MixerMatrix::ByteSize);
        std::uint8_t reply[12];
        report("bare 66304-byte round trip (raw socket)", measure([&] {
                   return driverwire::writeAll(fd, frame.data(), frame.size()) &&
                          driverwire::readExactly(fd, reply, sizeof reply);
               }));
        close(fd);
    }
    unlink(socketPath.c_str());
    rmdir(platform::endpointFolder().c_str());
    rmdir(folder);
    return 0;
}
