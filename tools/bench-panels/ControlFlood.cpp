#include "ControlFlood.h"

#include "tools/devsim/UnixSocket.h"

#include <chrono>
#include <deque>
#include <string>
#include <unistd.h>
#include <vector>

namespace {
constexpr int kBurst = 20;
constexpr std::size_t kSilentHeld = 8;
constexpr auto kSilentFor = std::chrono::milliseconds(1200);
} // namespace

ControlFlood::ControlFlood(std::string endpointPath) : path(std::move(endpointPath))
{
    worker = std::thread([this] { run(); });
}

ControlFlood::~ControlFlood()
{
    stopping = true;
    worker.join();
}

void ControlFlood::run()
{
    using Clock = std::chrono::steady_clock;
    std::deque<std::pair<int, Clock::time_point>> silent;
    const std::string garbage = "\xff\xfe\x80 not a request\n";
    const std::string longLine(5000, 'a');
    for (long round = 0; !stopping; ++round) {
        while (!silent.empty() && Clock::now() - silent.front().second > kSilentFor) {
            ::close(silent.front().first);
            silent.pop_front();
        }
        switch (round % 4) {
        case 0:
        case 1: {
            const int fd = UnixSocket::connectNonBlocking(path);
            if (fd >= 0) {
                ++made;
                const std::string& text = round % 4 ? longLine : garbage;
                UnixSocket::sendSome(fd, text.data(), text.size());
                ::close(fd);
            }
            break;
        }
        case 2:
            if (silent.size() < kSilentHeld) {
                const int fd = UnixSocket::connectNonBlocking(path);
                if (fd >= 0) {
                    ++made;
                    silent.emplace_back(fd, Clock::now());
                }
            }
            break;
        default: {
            std::vector<int> burst;
            for (int i = 0; i < kBurst; ++i) {
                const int fd = UnixSocket::connectNonBlocking(path);
                if (fd >= 0)
                    burst.push_back(fd);
            }
            made += static_cast<long>(burst.size());
            for (int fd : burst)
                ::close(fd);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        }
    }
    for (const auto& [fd, since] : silent)
        ::close(fd);
}
