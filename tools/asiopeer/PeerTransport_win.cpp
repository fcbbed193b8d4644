#include "tools/asiopeer/PeerTransport.h"

#include <windows.h>

#include <cstdio>
#include <fcntl.h>
#include <io.h>

namespace peer {

const char* const kEndpointHelp = "Win32 named pipes\n\\\\.\\pipe\\<name>";
const char* const kRawHelp = "send HEX as one message (one WriteFile) to";
const char* const kRawFrameHelp = "send HEX exactly as given, as one message like raw (a\n"
                                  "      pipe message carries its own length), to";

namespace {

// A notice is one byte; a longer message arrives in several reads (ERROR_MORE_DATA).
constexpr DWORD kBufferSize = 4096;
// A client that finds the program's single instance between two clients waits this long.
constexpr DWORD kBusyWaitMs = 2000;

HANDLE toHandle(Handle handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

Handle fromHandle(HANDLE handle)
{
    return reinterpret_cast<Handle>(handle);
}

// Overlapped, so that waits for a client or its data can end; duplex, because the
// program opens its end for reading and writing.
HANDLE newInstance(const Listener& listener, bool first)
{
    // No buffer: a writer's message waits in its WriteFile until someone reads it.
    const DWORD buffer = listener.unbuffered ? 0 : kBufferSize;
    const DWORD openMode =
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    return CreateNamedPipeA(listener.path.c_str(), openMode,
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                            PIPE_UNLIMITED_INSTANCES, buffer, buffer, 0, nullptr);
}

// Runs one overlapped call to its end, giving up (and cancelling it) after `waitMs`.
// The call may still complete while it is being cancelled; the result says so.
bool finish(HANDLE pipe, OVERLAPPED& pending, DWORD waitMs, DWORD& transferred)
{
    if (WaitForSingleObject(pending.hEvent, waitMs) != WAIT_OBJECT_0)
        CancelIo(pipe);
    return GetOverlappedResult(pipe, &pending, &transferred, TRUE) != FALSE;
}

} // namespace

void prepareOutput()
{
    // Text mode would turn every "\n" into "\r\n".
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

std::string endpointPath(const std::string& name)
{
    return "\\\\.\\pipe\\" + name;
}

bool listenOn(Listener& listener, std::string& problem)
{
    // Wine ignores FILE_FLAG_FIRST_PIPE_INSTANCE; asking whether the pipe exists works on
    // both without connecting, which a live server would count as a client.
    const bool exists =
        WaitNamedPipeA(listener.path.c_str(), 1) || GetLastError() == ERROR_SEM_TIMEOUT;
    const HANDLE pipe = exists ? INVALID_HANDLE_VALUE : newInstance(listener, true);
    if (exists || (pipe == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)) {
        problem = "a server already listens on " + listener.path;
        return false;
    }
    if (pipe == INVALID_HANDLE_VALUE) {
        problem = "cannot listen on " + listener.path + ": " + lastProblem();
        return false;
    }
    listener.handle = fromHandle(pipe);
    return true;
}

Handle acceptClient(Listener& listener, int waitMs)
{
    if (listener.handle == kNoHandle) {
        Sleep(static_cast<DWORD>(waitMs));
        return kNoHandle;
    }
    const HANDLE pipe = toHandle(listener.handle);
    OVERLAPPED pending{};
    pending.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    bool connected = ConnectNamedPipe(pipe, &pending) != FALSE;
    if (!connected) {
        const DWORD code = GetLastError();
        DWORD unused = 0;
        // A client that came before the call, even one already gone, is still a client:
        // its message may wait in the pipe.
        connected =
            code == ERROR_PIPE_CONNECTED || code == ERROR_NO_DATA ||
            (code == ERROR_IO_PENDING && finish(pipe, pending, static_cast<DWORD>(waitMs), unused));
    }
    CloseHandle(pending.hEvent);
    if (!connected)
        return kNoHandle;
    // Later clients find a listening instance while this one is read, as a socket's
    // backlog would take them.
    const HANDLE next = newInstance(listener, false);
    listener.handle = next == INVALID_HANDLE_VALUE ? kNoHandle : fromHandle(next);
    return fromHandle(pipe);
}

Bytes receiveUntilClosed(Handle client, int timeoutMs)
{
    const HANDLE pipe = toHandle(client);
    Bytes bytes;
    std::uint8_t chunk[kBufferSize];
    OVERLAPPED pending{};
    pending.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (;;) {
        const bool started = ReadFile(pipe, chunk, sizeof chunk, nullptr, &pending) != FALSE;
        const DWORD code = started ? ERROR_SUCCESS : GetLastError();
        if (!started && code != ERROR_IO_PENDING && code != ERROR_MORE_DATA)
            break; // closed (ERROR_BROKEN_PIPE) or broken
        DWORD got = 0;
        // The part of a longer message read so far counts; the rest follows.
        if (!finish(pipe, pending, static_cast<DWORD>(timeoutMs), got) &&
            GetLastError() != ERROR_MORE_DATA)
            break; // closed, or silent too long
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    CloseHandle(pending.hEvent);
    return bytes;
}

void closeClient(Handle client)
{
    DisconnectNamedPipe(toHandle(client));
    CloseHandle(toHandle(client));
}

void stopListening(Listener& listener)
{
    if (listener.handle != kNoHandle)
        CloseHandle(toHandle(listener.handle));
    listener.handle = kNoHandle;
}

Bytes asMessage(const Bytes& payload)
{
    return payload;
}

Handle connectTo(const std::string& path)
{
    for (;;) {
        const HANDLE pipe =
            CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe != INVALID_HANDLE_VALUE)
            return fromHandle(pipe);
        // A single-instance server is busy between one client and the next.
        if (GetLastError() != ERROR_PIPE_BUSY || !WaitNamedPipeA(path.c_str(), kBusyWaitMs))
            return kNoHandle;
    }
}

bool sendAll(Handle connection, const Bytes& bytes)
{
    DWORD written = 0;
    return WriteFile(toHandle(connection), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) != FALSE &&
           written == bytes.size();
}

void closeConnection(Handle connection)
{
    CloseHandle(toHandle(connection));
}

std::string lastProblem()
{
    const DWORD code = GetLastError();
    char text[256] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.'))
        message.pop_back();
    return "error " + std::to_string(code) + (message.empty() ? "" : " (" + message + ")");
}

} // namespace peer
