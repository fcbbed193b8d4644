// quorvix-asiopeer: stands in for the ASIO driver on the program's two pipes. It serves
// the reset-notice pipe and prints what arrives, or sends open-window requests and any raw
// bytes (also malformed frames) to the program's inbound pipe. Only the transport differs
// between the POSIX stand-in and Windows.
#include "tools/asiopeer/PeerTransport.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
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
                 "Plays the ASIO driver on the program's two pipes (%s).\n\n"
                 "  serve [--count N] [--log FILE]\n"
                 "      listen on %s and print every notice received, one line each:\n"
                 "      'notice N bytes: <hex of every byte on the wire> text: \"<payload>\"'.\n"
                 "      Exits after N notices when --count is given, else on SIGINT/SIGTERM.\n"
                 "  squat [--hold MS]\n"
                 "      take %s and never read: every client is kept connected, and on\n"
                 "      Windows its write waits (the pipe has no buffer). Ends after MS\n"
                 "      milliseconds (default 60000) or on SIGINT/SIGTERM.\n"
                 "  open [W0 W1 W2 W3 W4] [--hold MS]\n"
                 "      send a 20-byte open-window request (five 32-bit words, default\n"
                 "      0 0 0 0 1) to %s.\n"
                 "  raw HEX [--hold MS]\n"
                 "      %s %s.\n"
                 "  raw-frame HEX [--hold MS]\n"
                 "      %s %s.\n"
                 "  --help\n\n"
                 "--hold MS keeps the connection open MS milliseconds after writing.\n"
                 "Exit status: 0 done, 1 bad arguments, 2 no server, 3 write failed.\n",
                 peer::kEndpointHelp, kNoticePipe, kNoticePipe, kRequestPipe, peer::kRawHelp,
                 kRequestPipe, peer::kRawFrameHelp, kRequestPipe);
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

// Takes the notice pipe's name and stops on Ctrl+C or a termination; false, said on
// stderr, when the name cannot be taken.
bool takeNoticePipe(peer::Listener& listener)
{
    std::string problem;
    if (!peer::listenOn(listener, problem)) {
        std::fprintf(stderr, "quorvix-asiopeer: %s\n", problem.c_str());
        return false;
    }
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    return true;
}

int serve(long long count, const std::string& logFile)
{
    peer::Listener listener{peer::endpointPath(kNoticePipe)};
    if (!takeNoticePipe(listener))
        return 2;
    std::ofstream log;
    if (!logFile.empty())
        log.open(logFile, std::ios::app | std::ios::binary);
    std::printf("listening %s\n", listener.path.c_str());
    std::fflush(stdout);
    long long served = 0;
    while (!stopRequested && (count <= 0 || served < count)) {
        const peer::Handle client = peer::acceptClient(listener, 100);
        if (client == peer::kNoHandle)
            continue;
        const peer::Bytes wire = peer::receiveUntilClosed(client, kReceiveTimeoutMs);
        peer::closeClient(client);
        const std::string line = describe(wire);
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
        if (log.is_open())
            log << line << std::endl;
        ++served;
    }
    peer::stopListening(listener);
    return 0;
}

// A process that took the notice pipe's name and never reads: a sender must not wait on
// it for good.
int squat(long long holdMs)
{
    peer::Listener listener{peer::endpointPath(kNoticePipe)};
    listener.unbuffered = true;
    if (!takeNoticePipe(listener))
        return 2;
    std::printf("squatting %s\n", listener.path.c_str());
    std::fflush(stdout);
    const auto end =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(holdMs > 0 ? holdMs : 60000);
    std::vector<peer::Handle> kept;
    while (!stopRequested && std::chrono::steady_clock::now() < end) {
        const peer::Handle client = peer::acceptClient(listener, 100);
        if (client == peer::kNoHandle)
            continue;
        kept.push_back(client);
        std::printf("client %zu kept, nothing read\n", kept.size());
        std::fflush(stdout);
    }
    for (peer::Handle client : kept)
        peer::closeClient(client);
    peer::stopListening(listener);
    return 0;
}

int send(const peer::Bytes& bytes, long long holdMs)
{
    const std::string path = peer::endpointPath(kRequestPipe);
    const peer::Handle connection = peer::connectTo(path);
    if (connection == peer::kNoHandle) {
        std::fprintf(stderr, "quorvix-asiopeer: cannot connect to %s: %s\n", path.c_str(),
                     peer::lastProblem().c_str());
        return 2;
    }
    const bool ok = peer::sendAll(connection, bytes);
    if (ok) {
        std::printf("sent %zu bytes: %s\n", bytes.size(), peer::toHex(bytes).c_str());
        std::fflush(stdout);
    } else {
        std::fprintf(stderr, "quorvix-asiopeer: write failed: %s\n", peer::lastProblem().c_str());
    }
    if (holdMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
    peer::closeConnection(connection);
    return ok ? 0 : 3;
}

bool parseNumber(const char* text, long long& value)
{
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text, &end, 0);
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
    peer::prepareOutput();
    std::vector<std::string> words;
    long long count = 0;
    long long holdMs = 0;
    std::string logFile;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        }
        if (arg == "--count" || arg == "--hold") {
            long long value = 0;
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
    if (mode == "squat")
        return words.empty() ? squat(holdMs) : badArguments("squat takes no words");
    if (mode == "open") {
        if (!words.empty() && words.size() != 5)
            return badArguments("open takes five words or none");
        std::uint32_t request[5] = {0, 0, 0, 0, 1};
        for (std::size_t w = 0; w < words.size(); ++w) {
            long long value = 0;
            if (!parseNumber(words[w].c_str(), value) || value > 0xFFFFFFFFLL)
                return badArguments("bad word");
            request[w] = static_cast<std::uint32_t>(value);
        }
        peer::Bytes payload;
        for (std::uint32_t word : request)
            for (int b = 0; b < 4; ++b)
                payload.push_back(static_cast<std::uint8_t>(word >> (8 * b)));
        return send(peer::asMessage(payload), holdMs);
    }
    if (mode == "raw" || mode == "raw-frame") {
        std::string hex;
        for (const std::string& w : words)
            hex += w;
        peer::Bytes bytes;
        if (!peer::fromHex(hex, bytes))
            return badArguments("bad hex");
        return send(mode == "raw" ? peer::asMessage(bytes) : bytes, holdMs);
    }
    return badArguments("unknown mode");
}
