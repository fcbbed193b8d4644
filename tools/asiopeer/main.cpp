// quorvix-asiopeer: stands in for the ASIO driver on the POSIX pipes. It serves the
// reset-notice pipe and prints what arrives, or sends open-window requests and any raw
// bytes (also malformed frames) to the program's inbound pipe.
#include "tools/asiopeer/PeerSocket.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const char* const kNoticePipe = "QuorvixPannelToASIO";
const char* const kRequestPipe = "QuorvixASIOToPannel";
// A notice sender closes right after its byte; waiting longer only guards a stuck one.
constexpr int kReceiveTimeoutMs = 2000;

volatile std::sig_atomic_t stopRequested = 0;

void onSignal(int)
{
    stopRequested = 1;
}

void usage(std::FILE* out)
{
    std::fprintf(out,
                 "Usage: quorvix-asiopeer MODE [options]\n"
                 "Plays the ASIO driver on the program's two pipes (endpoint folder\n"
                 "$XDG_RUNTIME_DIR/quorvix).\n\n"
                 "  serve [--count N] [--log FILE]\n"
                 "      listen on %s and print every notice received, one line each:\n"
                 "      'notice N bytes: <hex of every byte on the wire> text: \"<payload>\"'.\n"
                 "      Exits after N notices when --count is given, else on SIGINT/SIGTERM.\n"
                 "  open [W0 W1 W2 W3 W4] [--hold MS]\n"
                 "      send a 20-byte open-window request (five 32-bit words, default\n"
                 "      0 0 0 0 1) to %s.\n"
                 "  raw HEX [--hold MS]\n"
                 "      send HEX as one framed message (length added) to %s.\n"
                 "  raw-frame HEX [--hold MS]\n"
                 "      send HEX exactly as given, without a length, to %s.\n"
                 "  --help\n\n"
                 "--hold MS keeps the connection open MS milliseconds after writing.\n"
                 "Exit status: 0 done, 1 bad arguments, 2 no server, 3 write failed.\n",
                 kNoticePipe, kRequestPipe, kRequestPipe, kRequestPipe);
}

std::string printable(const peer::Bytes& bytes, std::size_t from)
{
    std::string text;
    for (std::size_t i = from; i < bytes.size(); ++i) {
        const unsigned char c = bytes[i];
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            text += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            text += escaped;
        }
    }
    return text;
}

// The text is the payload of a well-formed frame, else every byte.
std::string describe(const peer::Bytes& wire)
{
    std::size_t payloadStart = 0;
    if (wire.size() >= 4) {
        const std::uint32_t length =
            wire[0] | wire[1] << 8 | wire[2] << 16 | static_cast<std::uint32_t>(wire[3]) << 24;
        if (length == wire.size() - 4)
            payloadStart = 4;
    }
    return "notice " + std::to_string(wire.size()) + " bytes: " + peer::toHex(wire) + " text: \"" +
           printable(wire, payloadStart) + "\"";
}

int serve(long count, const std::string& logFile)
{
    const std::string path = peer::endpointPath(kNoticePipe);
    std::string problem;
    const int listener = peer::listenOn(path, problem);
    if (listener < 0) {
        std::fprintf(stderr, "quorvix-asiopeer: %s\n", problem.c_str());
        return 2;
    }
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::ofstream log;
    if (!logFile.empty())
        log.open(logFile, std::ios::app);
    std::printf("listening %s\n", path.c_str());
    std::fflush(stdout);
    long served = 0;
    while (!stopRequested && (count <= 0 || served < count)) {
        pollfd waiting{listener, POLLIN, 0};
        if (poll(&waiting, 1, 100) <= 0)
            continue;
        const int client = accept(listener, nullptr, nullptr);
        if (client < 0)
            continue;
        const peer::Bytes wire = peer::receiveUntilClosed(client, kReceiveTimeoutMs);
        close(client);
        const std::string line = describe(wire);
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
        if (log.is_open())
            log << line << std::endl;
        ++served;
    }
    close(listener);
    unlink(path.c_str());
    return 0;
}

int send(const peer::Bytes& bytes, long holdMs)
{
    const std::string path = peer::endpointPath(kRequestPipe);
    const int fd = peer::connectTo(path);
    if (fd < 0) {
        std::fprintf(stderr, "quorvix-asiopeer: cannot connect to %s: %s\n", path.c_str(),
                     std::strerror(errno));
        return 2;
    }
    const bool ok = peer::sendAll(fd, bytes);
    if (ok) {
        std::printf("sent %zu bytes: %s\n", bytes.size(), peer::toHex(bytes).c_str());
        std::fflush(stdout);
    } else {
        std::fprintf(stderr, "quorvix-asiopeer: write failed: %s\n", std::strerror(errno));
    }
    if (holdMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
    close(fd);
    return ok ? 0 : 3;
}

bool parseNumber(const char* text, long& value)
{
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text, &end, 0);
    return errno == 0 && end != text && *end == '\0' && value >= 0;
}

int badArguments(const char* what)
{
    std::fprintf(stderr, "quorvix-asiopeer: %s (see --help)\n", what);
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> words;
    long count = 0;
    long holdMs = 0;
    std::string logFile;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        }
        if (arg == "--count" || arg == "--hold") {
            long value = 0;
            if (i + 1 >= argc || !parseNumber(argv[++i], value))
                return badArguments("option needs a number");
            (arg == "--count" ? count : holdMs) = value;
        } else if (arg == "--log") {
            if (i + 1 >= argc)
                return badArguments("--log needs a file");
            logFile = argv[++i];
        } else {
            words.push_back(arg);
        }
    }
    if (words.empty()) {
        usage(stderr);
        return 1;
    }
    const std::string mode = words[0];
    words.erase(words.begin());
    if (mode == "serve")
        return words.empty() ? serve(count, logFile) : badArguments("serve takes no words");
    if (mode == "open") {
        if (!words.empty() && words.size() != 5)
            return badArguments("open takes five words or none");
        std::uint32_t request[5] = {0, 0, 0, 0, 1};
        for (std::size_t w = 0; w < words.size(); ++w) {
            long value = 0;
            if (!parseNumber(words[w].c_str(), value) || value > 0xFFFFFFFFL)
                return badArguments("bad word");
            request[w] = static_cast<std::uint32_t>(value);
        }
        peer::Bytes payload;
        for (std::uint32_t word : request)
            for (int b = 0; b < 4; ++b)
                payload.push_back(static_cast<std::uint8_t>(word >> (8 * b)));
        return send(peer::framed(payload), holdMs);
    }
    if (mode == "raw" || mode == "raw-frame") {
        std::string hex;
        for (const std::string& w : words)
            hex += w;
        peer::Bytes bytes;
        if (!peer::fromHex(hex, bytes))
            return badArguments("bad hex");
        return send(mode == "raw" ? peer::framed(bytes) : bytes, holdMs);
    }
    return badArguments("unknown mode");
}
