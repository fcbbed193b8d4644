#include "Relay.h"

#include "SocketFolder.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// How often the endpoint folder is looked at for buses that came or went.
constexpr auto kScanInterval = std::chrono::milliseconds(50);
// A peer that has not said what it wants by then is dropped.
constexpr auto kGreetingLimit = std::chrono::seconds(5);
constexpr std::size_t kGreetingMax = 128;

} // namespace

Relay::~Relay()
{
    for (const Greeting& g : greetings)
        close(g.fd);
    for (const int fd : watchers)
        close(fd);
    if (listener >= 0)
        close(listener);
}

bool Relay::listen(std::uint16_t port, std::string& error)
{
    listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener, 64) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        error = std::string("cannot listen on 127.0.0.1:") + std::to_string(port) + ": " +
                std::strerror(errno);
        return false;
    }
    boundPort = ntohs(address.sin_port);
    presentMask = socketfolder::presentBuses();
    return true;
}

void Relay::log(const std::string& text) const
{
    if (verbose)
        std::fprintf(stderr, "quorvix-winrelay: %s\n", text.c_str());
}

bool Relay::sendWord(int fd, std::uint32_t value)
{
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
        static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
    return send(fd, bytes, sizeof bytes, MSG_NOSIGNAL | MSG_DONTWAIT) == sizeof bytes;
}

void Relay::acceptAll()
{
    for (;;) {
        const int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        // Small frames answered one at a time: never hold one back.
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        greetings.push_back({fd, {}, Clock::now()});
    }
}

bool Relay::readGreeting(Greeting& greeting)
{
    char chunk[256];
    const ssize_t got = recv(greeting.fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return false;
    if (got <= 0) {
        close(greeting.fd);
        return true;
    }
    greeting.line.append(chunk, static_cast<std::size_t>(got));
    const std::size_t end = greeting.line.find('\n');
    if (end == std::string::npos) {
        if (greeting.line.size() <= kGreetingMax)
            return false;
        log("dropped a peer with an overlong hello");
        close(greeting.fd);
        return true;
    }
    std::string line = greeting.line.substr(0, end);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    answerGreeting(greeting.fd, line, greeting.line.substr(end + 1));
    return true;
}

void Relay::answerGreeting(int fd, const std::string& line, std::string rest)
{
    if (line == "watch") {
        if (sendWord(fd, presentMask)) {
            watchers.push_back(fd);
            log("watcher joined");
        } else
            close(fd);
        return;
    }
    const std::string name = line.rfind("open ", 0) == 0 ? line.substr(5) : std::string();
    if (!socketfolder::isValidName(name)) {
        log("dropped a peer with the hello \"" + line + "\"");
        close(fd);
        return;
    }
    std::uint32_t error = 0;
    const int device = socketfolder::connectTo(name, error);
    log("open " + name + ": " + (device >= 0 ? "ok" : "error " + std::to_string(error)));
    if (!sendWord(fd, error) || device < 0) {
        if (device >= 0)
            close(device);
        close(fd);
        return;
    }
    joints.push_back(std::make_unique<Joint>(fd, device, std::move(rest)));
}

void Relay::scanBuses()
{
    const std::uint32_t mask = socketfolder::presentBuses();
    if (mask == presentMask)
        return;
    presentMask = mask;
    log("buses present: 0x" + [mask] {
        char text[16];
        std::snprintf(text, sizeof text, "%04x", mask);
        return std::string(text);
    }());
    std::erase_if(watchers, [&](int fd) {
        if (sendWord(fd, mask))
            return false;
        close(fd);
        return true;
    });
}

void Relay::run(const volatile bool& stop)
{
    auto nextScan = Clock::now();
    std::vector<pollfd> entries;
    while (!stop) {
        const auto now = Clock::now();
        if (now >= nextScan) {
            scanBuses();
            nextScan = now + kScanInterval;
        }
        std::erase_if(greetings, [&](const Greeting& g) {
            if (now - g.since < kGreetingLimit)
                return false;
            close(g.fd);
            return true;
        });

        entries.clear();
        entries.push_back({listener, POLLIN, 0});
        for (const Greeting& g : greetings)
            entries.push_back({g.fd, POLLIN, 0});
        for (const int fd : watchers)
            entries.push_back({fd, POLLIN, 0});
        const std::size_t jointsAt = entries.size();
        entries.resize(jointsAt + 2 * joints.size());
        for (std::size_t i = 0; i < joints.size(); ++i)
            joints[i]->prepare(entries[jointsAt + 2 * i], entries[jointsAt + 2 * i + 1]);

        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(nextScan - Clock::now());
        if (poll(entries.data(), entries.size(), std::max<int>(0, wait.count())) <= 0)
            continue;

        // Joints first: the vectors below may grow or shrink as entries are served.
        std::vector<std::unique_ptr<Joint>> kept;
        for (std::size_t i = 0; i < joints.size(); ++i) {
            const short tcpEvents = entries[jointsAt + 2 * i].revents;
            const short deviceEvents = entries[jointsAt + 2 * i + 1].revents;
            if ((tcpEvents == 0 && deviceEvents == 0) ||
                joints[i]->service(tcpEvents, deviceEvents))
                kept.push_back(std::move(joints[i]));
        }
        joints = std::move(kept);

        std::vector<int> stillWatching;
        for (std::size_t i = 0; i < watchers.size(); ++i) {
            // A watcher has nothing to say: anything readable is its close.
            bool open = entries[1 + greetings.size() + i].revents == 0;
            if (!open) {
                char ignored[64];
                const ssize_t got = recv(watchers[i], ignored, sizeof ignored, MSG_DONTWAIT);
                open = got > 0 || (got < 0 && (errno == EAGAIN || errno == EINTR));
            }
            if (open) {
                stillWatching.push_back(watchers[i]);
                continue;
            }
            close(watchers[i]);
            log("watcher left");
        }
        watchers = std::move(stillWatching);
        std::vector<Greeting> waiting;
        for (std::size_t i = 0; i < greetings.size(); ++i)
            if (entries[1 + i].revents == 0 || !readGreeting(greetings[i]))
                waiting.push_back(std::move(greetings[i]));
        greetings = std::move(waiting);
        if (entries[0].revents & POLLIN)
            acceptAll();
    }
}
