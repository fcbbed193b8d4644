#pragma once
// A flood of hostile local clients on the program's control endpoint, from a thread of
// its own: garbage bytes, over-long lines, silent clients that hold their slot until
// dropped, and bursts of connections closed at once.
#include <atomic>
#include <string>
#include <thread>

class ControlFlood
{
public:
    explicit ControlFlood(std::string endpointPath);
    ~ControlFlood();
    ControlFlood(const ControlFlood&) = delete;
    ControlFlood& operator=(const ControlFlood&) = delete;

    // Connections made so far.
    long connections() const { return made.load(); }

private:
    void run();

    std::string path;
    std::atomic<bool> stopping{false};
    std::atomic<long> made{0};
    std::thread worker;
};
