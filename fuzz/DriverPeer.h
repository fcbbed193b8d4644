#pragma once
// The driver's side of the device socket, for the fuzz targets: a listening socket on
// \\.\QuorvixAudioBus0, a one-shot driver that answers with raw bytes, and a
// well-behaved driver that answers every request with success on its own thread and
// records what it was sent.
#include "DriverWire.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace fuzzpeer {

using driverwire::Request;

// Listens on the first device socket; -1 on failure.
int listenOnFirstDevice();
// Accepts the link just opened and, on a thread, takes its one request and answers it
// with `reply` exactly as given (header included), then closes the link. The reply
// bytes must outlive the thread.
std::thread replyRawOnce(int listener, const std::uint8_t* reply, std::size_t size);

// A driver that answers every request on every connection with success. Getters
// answer the value set for their code (0 when none); other outputs are zeros.
class GoodDriver
{
public:
    GoodDriver();
    ~GoodDriver();
    GoodDriver(const GoodDriver&) = delete;
    GoodDriver& operator=(const GoodDriver&) = delete;

    void setValue(std::uint32_t code, std::uint32_t value);
    // The requests received since the last call, in order.
    std::vector<Request> take();

private:
    void serve();
    bool answer(int fd);

    int listenFd = -1;
    int stopPipe[2] = {-1, -1};
    std::mutex mutex;
    std::map<std::uint32_t, std::uint32_t> values;
    std::vector<Request> received;
    std::thread worker;
};

} // namespace fuzzpeer
