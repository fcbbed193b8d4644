// The Windows driver device backend against the bus driver stand-in under Wine, with
// the device simulator behind the relay. Qt-free, like the backend.
//
// usage: windriver_test PORT JOURNAL PHASE
//   PORT     the relay's TCP port (the simulator's control socket is reached through it)
//   JOURNAL  the simulator's journal, as a Windows path
//   PHASE    main (simulator on bus 3, started unplugged), present (bus 3 plugged),
//            absent (no relay), busy (bus 9's listener does not accept)
#include "platform/DriverDevice.h"
#include "tests/support/PlainCheck.h"

// Winsock first: windows.h would otherwise bring in the old winsock.h.
#include <winsock2.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

using namespace platform;
using Clock = std::chrono::steady_clock;

namespace {

namespace code {
constexpr std::uint32_t GetSampleRate = 0xFFDC2020;
constexpr std::uint32_t SetSampleRate = 0xFFDC2038;
constexpr std::uint32_t WriteMixerMatrix = 0xFFDC2040;
constexpr std::uint32_t ReadProductId = 0xFFDC2084;
constexpr std::uint32_t SendCommand = 0xFFDC209C;
constexpr std::uint32_t QueryCommand = 0xFFDC20A0;
constexpr std::uint32_t Unknown = 0xFFDC2FFC;
} // namespace code

constexpr int kBus = 3;
constexpr std::uint32_t kBusy = 170; // ERROR_BUSY
constexpr std::size_t kMatrixBytes = 66304;
constexpr std::size_t kRecordBytes = 37;

unsigned short relayPort = 0;
std::string journalPath;

std::wstring busName(int bus)
{
    return L"\\\\.\\QuorvixAudioBus" + std::to_wstring(bus);
}

long long millisecondsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The driver follows the simulator's socket file through the relay, so a bus comes
// and goes a moment after it; waits (bounded) until the open agrees with `present`.
bool waitForBus(int bus, bool present)
{
    const auto start = Clock::now();
    while (millisecondsSince(start) < 5000) {
        const NativeHandle h = openDriverDevice(busName(bus));
        const bool opened = h != kInvalidHandle;
        const std::uint32_t why = opened ? 0 : lastError();
        closeDriverDevice(h);
        if (opened == present && (present || why == error::FileNotFound))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

struct Reply
{
    bool ok = false;
    std::uint32_t error = 0;
    std::uint32_t returned = 0;
    long long ms = 0;
};

Reply request(NativeHandle h, std::uint32_t code, const void* in, std::uint32_t inLength, void* out,
              std::uint32_t outLength)
{
    Reply r;
    const auto start = Clock::now();
    r.ok = deviceIoControl(h, code, in, inLength, out, outLength, &r.returned);
    r.ms = millisecondsSince(start);
    r.error = r.ok ? 0 : lastError();
    return r;
}

Reply readPid(NativeHandle h, std::uint32_t& pid)
{
    return request(h, code::ReadProductId, nullptr, 0, &pid, sizeof pid);
}

std::string hex(const std::uint8_t* bytes, std::size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * size);
    for (std::size_t i = 0; i < size; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

std::vector<std::string> journal()
{
    std::vector<std::string> lines;
    std::ifstream file(journalPath);
    for (std::string line; std::getline(file, line);)
        if (!line.empty())
            lines.push_back(line);
    return lines;
}

// A string or number field of one journal line, as its raw text.
std::string field(const std::string& line, const std::string& name)
{
    const std::string key = "\"" + name + "\":";
    const std::size_t at = line.find(key);
    if (at == std::string::npos)
        return {};
    std::size_t from = at + key.size();
    if (line[from] == '"') {
        const std::size_t end = line.find('"', ++from);
        return line.substr(from, end - from);
    }
    const std::size_t end = line.find_first_of(",}", from);
    return line.substr(from, end - from);
}

// The simulator's control socket, reached through the relay like the device sockets.
class SimulatorControl
{
public:
    SimulatorControl()
    {
        link = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(relayPort);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const DWORD limit = 5000; // bounded, so a stuck simulator cannot hang the test
        setsockopt(link, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit),
                   sizeof limit);
        const std::string hello = "open devsim-" + std::to_string(kBus) + ".ctl\n";
        std::uint8_t answer[4] = {1, 0, 0, 0};
        joined = connect(link, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                 send(link, hello.data(), int(hello.size()), 0) == int(hello.size()) &&
                 recv(link, reinterpret_cast<char*>(answer), 4, MSG_WAITALL) == 4 &&
                 answer[0] == 0 && answer[1] == 0 && answer[2] == 0 && answer[3] == 0;
    }
    ~SimulatorControl() { closesocket(link); }

    bool isJoined() const { return joined; }

    // One command line out, one reply line back ("" when none came).
    std::string command(const std::string& line)
    {
        const std::string out = line + "\n";
        if (send(link, out.data(), int(out.size()), 0) != int(out.size()))
            return {};
        std::string reply;
        char c;
        while (recv(link, &c, 1, 0) == 1 && c != '\n')
            reply += c;
        return reply;
    }
    bool ok(const std::string& line) { return command(line).rfind("ok", 0) == 0; }

    int openConnections()
    {
        const std::string state = command("state");
        const std::string count = field(state, "connections");
        return count.empty() ? -1 : std::stoi(count);
    }

private:
    SOCKET link = INVALID_SOCKET;
    bool joined = false;
};

// ---------------------------------------------------------------- phase main

void missingSocketIsNoDevice()
{
    for (int bus = 0; bus < 16; ++bus) {
        CHECK(openDriverDevice(busName(bus)) == kInvalidHandle);
        CHECK(lastError() == error::FileNotFound);
    }
}

void discoveryFindsThePluggedBus(SimulatorControl& sim)
{
    CHECK(sim.ok("plug"));
    CHECK(waitForBus(kBus, true));
    NativeHandle found = kInvalidHandle;
    int tried = 0;
    for (int bus = 0; bus < 16 && found == kInvalidHandle; ++bus, ++tried) {
        found = openDriverDevice(busName(bus));
        if (found == kInvalidHandle)
            CHECK(lastError() == error::FileNotFound);
    }
    CHECK(found != kInvalidHandle);
    CHECK(tried == kBus + 1);
    closeDriverDevice(found);
}

void identificationReadsWhatTheDeviceHolds(NativeHandle h)
{
    std::uint8_t out[8];
    std::memset(out, 0xAB, sizeof out);
    const Reply pid = request(h, code::ReadProductId, nullptr, 0, out, sizeof out);
    CHECK(pid.ok && pid.returned == 4);
    CHECK(out[0] == 2 && out[1] == 0 && out[2] == 0 && out[3] == 0);
    CHECK(out[4] == 0xAB && out[7] == 0xAB); // the rest of the caller's buffer is left alone

    std::uint8_t record[kRecordBytes] = {0x01, 0x65};
    std::uint8_t firmware[32];
    std::memset(firmware, 0xCD, sizeof firmware);
    const Reply query =
        request(h, code::QueryCommand, record, sizeof record, firmware, sizeof firmware);
    CHECK(query.ok && query.returned == 10);
    CHECK(std::memcmp(firmware, "1.0.3\0\0\0\0\0", 10) == 0);
    CHECK(firmware[10] == 0xCD);
}

void requestsArriveAsSent(NativeHandle h)
{
    const std::uint8_t record[kRecordBytes] = {0x01, 0x07, 0x00, 0x02, 0x05, 0x34, 0x12};
    const Reply sent = request(h, code::SendCommand, record, sizeof record, nullptr, 0);
    CHECK(sent.ok && sent.returned == 0);
    const std::vector<std::string> lines = journal();
    CHECK(!lines.empty());
    if (!lines.empty()) {
        CHECK(field(lines.back(), "inputHex") == hex(record, sizeof record));
        CHECK(field(lines.back(), "outputLength") == "0");
        CHECK(field(lines.back(), "code") == std::to_string(code::SendCommand));
    }

    const std::uint32_t rate = 96000;
    CHECK(request(h, code::SetSampleRate, &rate, sizeof rate, nullptr, 0).ok);
    std::uint32_t readBack = 0;
    const Reply get = request(h, code::GetSampleRate, nullptr, 0, &readBack, sizeof readBack);
    CHECK(get.ok && readBack == rate);

    std::vector<std::uint8_t> matrix(kMatrixBytes);
    for (std::size_t i = 0; i < matrix.size(); ++i)
        matrix[i] = static_cast<std::uint8_t>(i * 31 + (i >> 8));
    const Reply write =
        request(h, code::WriteMixerMatrix, matrix.data(), std::uint32_t(matrix.size()), nullptr, 0);
    CHECK(write.ok);
    const std::vector<std::string> after = journal();
    CHECK(!after.empty());
    if (!after.empty()) {
        CHECK(field(after.back(), "inputLength") == std::to_string(kMatrixBytes));
        CHECK(field(after.back(), "inputHex") == hex(matrix.data(), matrix.size()));
    }
}

void refusalsKeepTheHandle(SimulatorControl& sim, NativeHandle h)
{
    std::uint32_t pid = 77;
    const std::uint8_t three[3] = {1, 2, 3};
    const Reply badLength = request(h, code::ReadProductId, three, 3, &pid, sizeof pid);
    CHECK(!badLength.ok && badLength.error == 87);
    const Reply unknown = request(h, code::Unknown, nullptr, 0, nullptr, 0);
    CHECK(!unknown.ok && unknown.error == 1);
    std::uint8_t small[2] = {0x5A, 0x5A};
    const Reply tooSmall = request(h, code::ReadProductId, nullptr, 0, small, sizeof small);
    CHECK(!tooSmall.ok && tooSmall.error == 122);
    CHECK(small[0] == 0x5A && small[1] == 0x5A);

    CHECK(sim.ok("refuse readProductId 1"));
    const Reply refused = readPid(h, pid);
    CHECK(!refused.ok && refused.error == 31);
    CHECK(pid == 77); // a failed read leaves the caller's value alone
    const Reply again = readPid(h, pid);
    CHECK(again.ok && pid == 2);
}

// A broken contract or a cut reply kills the handle: later requests fail the same way
// without reaching the simulator.
void brokenLinksStayDead(SimulatorControl& sim, const char* fault, std::uint32_t expected)
{
    const NativeHandle h = openDriverDevice(busName(kBus));
    CHECK(h != kInvalidHandle);
    CHECK(sim.ok(std::string(fault) + " on"));
    std::uint32_t pid = 0;
    const Reply first = readPid(h, pid);
    CHECK(!first.ok && first.error == expected);
    CHECK(sim.ok(std::string(fault) + " off"));
    const std::size_t journalled = journal().size();
    const Reply second = readPid(h, pid);
    CHECK(!second.ok && second.error == expected);
    CHECK(journal().size() == journalled);
    closeDriverDevice(h);

    const NativeHandle fresh = openDriverDevice(busName(kBus));
    CHECK(readPid(fresh, pid).ok && pid == 2);
    closeDriverDevice(fresh);
}

void silentDriverTimesOut(SimulatorControl& sim)
{
    const NativeHandle h = openDriverDevice(busName(kBus));
    CHECK(h != kInvalidHandle);
    CHECK(sim.ok("silent on"));
    const std::size_t before = journal().size();
    std::uint32_t pid = 0;
    const Reply first = readPid(h, pid);
    CHECK(!first.ok && first.error == error::Timeout);
    CHECK(first.ms >= 1900 && first.ms < 4000);
    CHECK(journal().size() == before + 1); // the simulator got it, and never answered
    const Reply second = readPid(h, pid);
    CHECK(!second.ok && second.error == error::Timeout);
    CHECK(second.ms < 500);
    CHECK(journal().size() == before + 1);
    CHECK(sim.ok("silent off"));
    closeDriverDevice(h);
}

void closingReachesTheSimulator(SimulatorControl& sim)
{
    const NativeHandle a = openDriverDevice(busName(kBus));
    const NativeHandle b = openDriverDevice(busName(kBus));
    std::uint32_t pid = 0;
    CHECK(readPid(a, pid).ok && readPid(b, pid).ok); // both joined by now
    CHECK(sim.openConnections() == 2);
    closeDriverDevice(a);
    closeDriverDevice(b);
    int open = -1;
    for (int i = 0; i < 100 && open != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        open = sim.openConnections();
    }
    CHECK(open == 0);
}

void unplugRemovesTheDevice(SimulatorControl& sim)
{
    const NativeHandle h = openDriverDevice(busName(kBus));
    std::uint32_t pid = 0;
    CHECK(readPid(h, pid).ok);
    CHECK(sim.ok("unplug"));
    CHECK(waitForBus(kBus, false));
    const Reply lost = readPid(h, pid);
    CHECK(!lost.ok && lost.error == error::DeviceNotConnected);
    closeDriverDevice(h);
    CHECK(sim.ok("plug"));
    CHECK(waitForBus(kBus, true));
}

// The bus driver holds every request while its service key's "StuckRequests" is set:
// 1 until cancelled, 2 ignoring the cancellation and completed 5 s later.
bool holdRequests(DWORD mode)
{
    return RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Services\\QuorvixBus",
                           L"StuckRequests", REG_DWORD, &mode, sizeof mode) == ERROR_SUCCESS;
}

// However long the driver keeps a request, the caller gets it back failed after about
// 2 s, the link is dead from then on, and its buffers are freed only once the driver has
// finished with them.
void heldRequestsEndInTime(DWORD mode)
{
    const NativeHandle h = openDriverDevice(busName(kBus));
    CHECK(h != kInvalidHandle);
    const std::size_t journalled = journal().size();
    CHECK(holdRequests(mode));
    std::uint8_t out[8];
    std::memset(out, 0x5A, sizeof out);
    const Reply held = request(h, code::ReadProductId, nullptr, 0, out, sizeof out);
    CHECK(!held.ok && held.error == error::Timeout);
    CHECK(held.ms >= 1900 && held.ms < 3000);
    std::printf("held request (mode %lu) returned after %lld ms\n", mode, held.ms);
    const Reply next = request(h, code::ReadProductId, nullptr, 0, out, sizeof out);
    CHECK(!next.ok && next.error == error::Timeout && next.ms < 500);
    CHECK(holdRequests(0));
    closeDriverDevice(h);
    if (mode == 2) {
        CHECK(heldDriverRequests() == 1); // the driver still owns the buffers
        const auto start = Clock::now();
        while (heldDriverRequests() != 0 && millisecondsSince(start) < 8000)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        CHECK(heldDriverRequests() == 0);
        CHECK(millisecondsSince(start) >= 1500); // freed at the late completion, not before
    }
    CHECK(heldDriverRequests() == 0);
    // The late completion wrote the request's own copy, never the caller's buffer.
    CHECK(std::count(out, out + sizeof out, 0x5A) == int(sizeof out));
    CHECK(journal().size() == journalled); // held requests never reached the device
    std::uint32_t pid = 0;
    const NativeHandle fresh = openDriverDevice(busName(kBus));
    CHECK(readPid(fresh, pid).ok && pid == 2);
    closeDriverDevice(fresh);
}

// Requests held past their cancellation are bounded: of nine made at once on nine
// handles, eight are held and the ninth is refused unsent; all are freed at the driver's
// late completion.
void heldRequestsAreBounded()
{
    constexpr int kCount = 9;
    std::vector<NativeHandle> handles;
    for (int i = 0; i < kCount; ++i)
        handles.push_back(openDriverDevice(busName(kBus)));
    CHECK(std::count(handles.begin(), handles.end(), kInvalidHandle) == 0);
    CHECK(holdRequests(2));
    std::vector<Reply> replies(kCount);
    std::vector<std::thread> callers;
    for (int i = 0; i < kCount; ++i)
        callers.emplace_back([&, i] {
            std::uint8_t out[4] = {};
            replies[i] = request(handles[i], code::ReadProductId, nullptr, 0, out, sizeof out);
        });
    for (std::thread& caller : callers)
        caller.join();
    CHECK(holdRequests(0));
    const auto failedWith = [&](std::uint32_t code) {
        return std::count_if(replies.begin(), replies.end(),
                             [code](const Reply& r) { return !r.ok && r.error == code; });
    };
    CHECK(failedWith(error::Timeout) == kCount - 1);
    CHECK(failedWith(error::Busy) == 1);
    CHECK(heldDriverRequests() == kCount - 1);
    std::printf("held requests: %zu of %d, one refused\n", heldDriverRequests(), kCount);
    for (NativeHandle h : handles)
        closeDriverDevice(h);
    const auto start = Clock::now();
    while (heldDriverRequests() != 0 && millisecondsSince(start) < 8000)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    CHECK(heldDriverRequests() == 0);
    std::uint32_t pid = 0;
    const NativeHandle fresh = openDriverDevice(busName(kBus));
    CHECK(readPid(fresh, pid).ok && pid == 2);
    closeDriverDevice(fresh);
}

// Last in the phase: the simulator quits while a request waits for its answer.
void simulatorGoingAwayDisconnects(SimulatorControl& sim)
{
    const NativeHandle h = openDriverDevice(busName(kBus));
    CHECK(h != kInvalidHandle);
    CHECK(sim.ok("silent on"));
    std::thread quitter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        sim.command("quit");
    });
    std::uint32_t pid = 0;
    const Reply lost = readPid(h, pid);
    quitter.join();
    CHECK(!lost.ok && lost.error == error::DeviceNotConnected);
    CHECK(lost.ms < 1900);
    closeDriverDevice(h);
}

void phaseMain()
{
    SimulatorControl sim;
    CHECK(sim.isJoined());
    if (!sim.isJoined())
        return;
    missingSocketIsNoDevice();
    discoveryFindsThePluggedBus(sim);
    const NativeHandle h = openDriverDevice(busName(kBus));
    CHECK(h != kInvalidHandle);
    identificationReadsWhatTheDeviceHolds(h);
    requestsArriveAsSent(h);
    refusalsKeepTheHandle(sim, h);
    closeDriverDevice(h);
    brokenLinksStayDead(sim, "garbage", error::InvalidData);
    brokenLinksStayDead(sim, "close-mid-reply", error::DeviceNotConnected);
    silentDriverTimesOut(sim);
    closingReachesTheSimulator(sim);
    unplugRemovesTheDevice(sim);
    heldRequestsEndInTime(1);
    heldRequestsEndInTime(2);
    heldRequestsAreBounded();
    simulatorGoingAwayDisconnects(sim);
}

// ---------------------------------------------------------------- other phases

void phasePresent()
{
    CHECK(waitForBus(kBus, true));
    const NativeHandle h = openDriverDevice(busName(kBus));
    std::uint32_t pid = 0;
    CHECK(readPid(h, pid).ok && pid == 2);
    closeDriverDevice(h);
}

void phaseAbsent()
{
    CHECK(waitForBus(kBus, false));
    for (int bus = 0; bus < 16; ++bus) {
        CHECK(openDriverDevice(busName(bus)) == kInvalidHandle);
        CHECK(lastError() == error::FileNotFound);
    }
}

// Wine hands out a handle even when the driver fails the open, so a listener that does
// not accept shows as a handle whose every request fails with 170.
void phaseBusy()
{
    constexpr int busyBus = 9;
    CHECK(waitForBus(busyBus, true));
    const NativeHandle h = openDriverDevice(busName(busyBus));
    if (h == kInvalidHandle) { // a Wine that honours the driver's failed open
        CHECK(lastError() == kBusy);
        return;
    }
    std::uint32_t pid = 0;
    for (int i = 0; i < 2; ++i) {
        const Reply busy = readPid(h, pid);
        CHECK(!busy.ok && busy.error == kBusy);
        CHECK(busy.ms < 500);
    }
    closeDriverDevice(h);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::printf("usage: windriver_test PORT JOURNAL main|present|absent|busy\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IONBF, 0); // lines reach the log even if Wine is killed
    relayPort = static_cast<unsigned short>(std::atoi(argv[1]));
    journalPath = argv[2];
    const std::string phase = argv[3];
    WSADATA winsock;
    WSAStartup(MAKEWORD(2, 2), &winsock);
    if (phase == "main")
        phaseMain();
    else if (phase == "present")
        phasePresent();
    else if (phase == "absent")
        phaseAbsent();
    else if (phase == "busy")
        phaseBusy();
    else {
        std::printf("unknown phase %s\n", phase.c_str());
        return 2;
    }
    WSACleanup();
    plaincheck::printTotals((phase + ": ").c_str());
    return plaincheck::failures == 0 ? 0 : 1;
}
