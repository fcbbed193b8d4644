// Message pipes on the Win32 named-pipe calls.
#include "platform/NamedPipe.h"

#include <windows.h>

#include <atomic>
#include <vector>

namespace platform {
namespace {

constexpr DWORD kBufferSize = 65536;
constexpr DWORD kDefaultTimeoutMs = 300;
// A connected client has this long to deliver its message; then its read is cancelled.
constexpr DWORD kStalledClientMs = 1000;
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

// Cancels the reading thread's blocked ReadFile once the client has been silent too
// long. The pipe is synchronous, so its read cannot carry a time-out of its own.
class StalledReadWatch
{
public:
    StalledReadWatch() : thread(OpenThread(THREAD_TERMINATE, FALSE, GetCurrentThreadId()))
    {
        if (thread && !CreateTimerQueueTimer(&timer, nullptr, &StalledReadWatch::cancelRead, this,
                                             kStalledClientMs, kCancelRepeatMs, WT_EXECUTEDEFAULT))
            timer = nullptr;
    }
    ~StalledReadWatch() { stop(); }
    StalledReadWatch(const StalledReadWatch&) = delete;
    StalledReadWatch& operator=(const StalledReadWatch&) = delete;

    // Disarms the timer and waits for a callback in flight, so no cancel reaches a
    // later call of this thread.
    void stop()
    {
        if (timer)
            DeleteTimerQueueTimer(nullptr, timer, INVALID_HANDLE_VALUE);
        timer = nullptr;
        if (thread)
            CloseHandle(thread);
        thread = nullptr;
    }
    bool expired() const { return fired.load(); }

private:
    static VOID CALLBACK cancelRead(PVOID context, BOOLEAN)
    {
        auto* watch = static_cast<StalledReadWatch*>(context);
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
        name.c_str(), PIPE_ACCESS_DUPLEX,
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
    StalledReadWatch watch;
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
    return GetCurrentThreadId();
}

void cancelPipeWait(std::uintptr_t thread)
{
    HANDLE handle = OpenThread(THREAD_TERMINATE, FALSE, static_cast<DWORD>(thread));
    if (!handle)
        return;
    CancelSynchronousIo(handle);
    CloseHandle(handle);
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
    DWORD done = 0;
    const bool ok = WriteFile(toHandle(client), data, size, &done, nullptr) != FALSE;
    if (ok && written)
        *written = done;
    return ok;
}

void closePipeClient(NativeHandle client)
{
    if (client != kInvalidHandle)
        CloseHandle(toHandle(client));
}

} // namespace platform
