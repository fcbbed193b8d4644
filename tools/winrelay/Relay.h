#pragma once
// The relay's TCP side on 127.0.0.1. A connection starts with one hello line:
//   "open NAME\n"  join this connection to the socket NAME in the endpoint folder;
//                  answered by one little-endian word, 0 or the open's Windows error
//                  code, then the bytes flow both ways unchanged.
//   "watch\n"      receive the mask of present buses (bit N: QuorvixAudioBusN), one
//                  little-endian word at once and another on every change.
#include "Joint.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class Relay
{
public:
    explicit Relay(bool verbose) : verbose(verbose) {}
    ~Relay();

    bool listen(std::uint16_t port, std::string& error);
    std::uint16_t port() const { return boundPort; }
    // Serves until `stop` turns true (checked at least every scan).
    void run(const volatile bool& stop);

private:
    using Clock = std::chrono::steady_clock;
    struct Greeting
    {
        int fd;
        std::string line;
        Clock::time_point since;
    };

    void acceptAll();
    // True when the greeting is over (turned into a watch or a joint, or dropped).
    bool readGreeting(Greeting& greeting);
    void answerGreeting(int fd, const std::string& line, std::string rest);
    void scanBuses();
    bool sendWord(int fd, std::uint32_t value);
    void log(const std::string& text) const;

    bool verbose;
    int listener = -1;
    std::uint16_t boundPort = 0;
    std::uint32_t presentMask = 0;
    std::vector<Greeting> greetings;
    std::vector<int> watchers;
    std::vector<std::unique_ptr<Joint>> joints;
};
