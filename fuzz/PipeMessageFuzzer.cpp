// The inbound pipe as an outside process sees it: the fuzz input is written raw (length
// header included) by a client of the real pipe server, then read by PipeServer and
// decoded as the ASIO driver's open-window request. The outcome is checked against the
// framing rules: one message of at most 1024 bytes, copied exactly, nothing else.
#include "DriverWire.h"
#include "FuzzEnvironment.h"
#include "listener/OpenWindowRequest.h"
#include "listener/PipeServer.h"
#include "platform/NamedPipe.h"
#include "platform/PosixSupport.h"

#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

const wchar_t* const kPipe = L"\\\\.\\pipe\\QuorvixFuzzInbound";

int connectClient()
{
    const std::string path = platform::endpointPath(kPipe);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        fuzzenv::fail("cannot connect to the pipe");
    return fd;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzenv::prepare();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static PipeServer* server = [] {
        auto* s = new PipeServer(QString::fromWCharArray(kPipe));
        fuzzenv::check(s->createPipe(), "pipe server not created");
        return s;
    }();

    const int client = connectClient();
    // The client writes everything and hangs up, as a short-lived process would; a
    // thread keeps a large input from filling the socket before the server reads.
    std::thread writer([client, data, size] {
        driverwire::writeAll(client, data, size);
        ::shutdown(client, SHUT_WR);
    });

    char buffer[PipeServer::BufferSize];
    std::memset(buffer, 0, sizeof buffer);
    const bool ok = server->readMessage(buffer);
    writer.join();
    ::close(client);

    const bool framed = size >= 4;
    const std::uint32_t length = framed ? driverwire::readLe32(data) : 0;
    const bool expected = framed && length <= PipeServer::BufferSize && size - 4 >= length;
    fuzzenv::check(ok == expected, "read outcome differs from the framing");
    if (!ok) {
        for (char c : buffer)
            fuzzenv::check(c == 0, "a failed read wrote to the buffer");
        return 0;
    }
    fuzzenv::check(std::memcmp(buffer, data + 4, length) == 0, "message bytes differ");
    for (std::size_t i = length; i < sizeof buffer; ++i)
        fuzzenv::check(buffer[i] == 0, "bytes past the message were written");

    const OpenWindowRequest request = OpenWindowRequest::decode(buffer, sizeof buffer);
    bool anyOpenByte = false;
    for (std::uint32_t i = 16; i < 20 && i < length; ++i)
        anyOpenByte = anyOpenByte || data[4 + i] != 0;
    fuzzenv::check(request.opensWindow() == anyOpenByte, "open-window word misread");
    return 0;
}
