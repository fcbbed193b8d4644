// Message pipes on the Win32 named-pipe calls.
#include "platform/NamedPipe.h"

#include <windows.h>

#include <atomic>
#include <vector>

namespace platform {
namespace {

constexpr DWORD kBufferSize = 65536;
constexpr DWORD kDefaultTimeoutMs = 300;
// A connected client has this long to deliver its message, and a server to take ours;
// then the read or the write is cancelled.
constexpr DWORD kStalledPeerMs = 1000;
// A cancel that lands just before ReadFile starts waiting is lost, so it is repeated.
constexpr DWORD kCancelRepeatMs = 20;

HANDLE toHandle(NativeHandle handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

NativeHandle fromHandle(HANDLE handle)
{
    return reinterpret_cast<NativeHandle>(handle);
}

// A handle of the calling thread that may cancel its synchronous I/O; nullptr on failure.
HANDLE duplicateCurrentThread()
{
    HANDLE thread = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &thread,
                         THREAD_TERMINATE, FALSE, 0))
        return nullptr;
    return thread;
}

// Cancels the calling thread's blocked ReadFile or WriteFile once the peer has stalled
// it too long. Both pipe ends are synchronous, so their calls cannot carry a time-out of
// their own.
class StalledCallWatch
{
public:
    StalledCallWatch() : thread(duplicateCurrentThread())
    {
        if (thread && !CreateTimerQueueTimer(&timer, nullptr, &StalledCallWatch::cancelCall, this,
                                             kStalledPeerMs, kCancelRepeatMs, WT_EXECUTEDEFAULT))
            timer = nullptr;
    }
    ~StalledCallWatch() { stop(); }
    StalledCallWatch(const StalledCallWatch&) = delete;
    StalledCallWatch& operator=(const StalledCallWatch&) = delete;

    // Disarms the timer and waits for a callback in flight, so no cancel reaches a
    // later call of this thread.
    void stop()
    {
        // Any failure but ERROR_IO_PENDING leaves the timer armed and must be retried.
        while (timer && !DeleteTimerQueueTimer(nullptr, timer, INVALID_HANDLE_VALUE) &&
               GetLastError() != ERROR_IO_PENDING)
            Sleep(1);
        timer = nullptr;
        if (thread)
            CloseHandle(thread);
        thread = nullptr;
    }
    bool expired() const { return fired.load(); }

private:
    static VOID CALLBACK cancelCall(PVOID context, BOOLEAN)
    {
        auto* watch = static_cast<StalledCallWatch*>(context);
        watch->fired = true;
        CancelSynchronousIo(watch->thread);
    }

    HANDLE thread;
    HANDLE timer = nullptr;
    std::atomic<bool> fired{false};
};

} // namespace

NativeHandle createPipeServer(const std::wstring& name)
{
    return fromHandle(CreateNamedPipeW(
        // One session serves the ASIO driver: a second server would take some of its
        // requests away, so only the first instance of the name is made.
        name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
        // Only local processes speak for the ASIO driver.
        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        PIPE_UNLIMITED_INSTANCES, kBufferSize, kBufferSize, kDefaultTimeoutMs, nullptr));
}

bool connectPipeClient(NativeHandle server)
{
    return ConnectNamedPipe(toHandle(server), nullptr) != FALSE;
}

bool readPipeMessage(NativeHandle server, void* buffer, std::uint32_t size,
                     std::uint32_t* bytesRead)
{
    // ReadFile copies the front of a longer message before it reports ERROR_MORE_DATA;
    // reading into a private buffer keeps the caller's untouched in that case.
    std::vector<char> message(size == 0 ? 1 : size);
    DWORD got = 0;
    StalledCallWatch watch;
    const bool ok = ReadFile(toHandle(server), message.data(), size, &got, nullptr) != FALSE;
    DWORD code = ok ? ERROR_SUCCESS : GetLastError();
    watch.stop();
    if (!ok) {
        // Cancelled by the watch rather than by a stopping owner: a stalled client.
        if (code == ERROR_OPERATION_ABORTED && watch.expired())
            code = ERROR_TIMEOUT;
        message = {}; // freeing must not change the code the caller reads
        SetLastError(code);
        return false;
    }
    if (got > 0)
        CopyMemory(buffer, message.data(), got);
    if (bytesRead)
        *bytesRead = got;
    return true;
}

bool disconnectPipeClient(NativeHandle server)
{
    return DisconnectNamedPipe(toHandle(server)) != FALSE;
}

void closePipeServer(NativeHandle server)
{
    if (server != kInvalidHandle)
        CloseHandle(toHandle(server));
}

std::uintptr_t currentPipeThread()
{
    return reinterpret_cast<std::uintptr_t>(duplicateCurrentThread());
}

void releasePipeThread(std::uintptr_t thread)
{
    if (thread)
        CloseHandle(reinterpret_cast<HANDLE>(thread));
}

void cancelPipeWait(std::uintptr_t thread)
{
    if (thread)
        CancelSynchronousIo(reinterpret_cast<HANDLE>(thread));
}

NativeHandle openPipeClient(const std::wstring& name)
{
    // Whoever serves the name may identify the user but never act as the user.
    return fromHandle(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                                  nullptr));
}

bool writePipeMessage(NativeHandle client, const void* data, std::uint32_t size,
                      std::uint32_t* written)
{
    // A server that takes the name and never reads would hold the caller (the GUI
    // thread) for good once the pipe's buffer is full; it gets what a client gets.
    DWORD done = 0;
    StalledCallWatch watch;
    const bool ok = WriteFile(toHandle(client), data, size, &done, nullptr) != FALSE;
    DWORD code = ok ? ERROR_SUCCESS : GetLastError();
    watch.stop();
    if (!ok) {
        if (code == ERROR_OPERATION_ABORTED && watch.expired())
            code = ERROR_TIMEOUT;
        SetLastError(code);
        return false;
    }
    if (written)
        *written = done;
    return true;
}

void closePipeClient(NativeHandle client)
{
    if (client != kInvalidHandle)
        CloseHandle(toHandle(client));
}

} // namespace platform
