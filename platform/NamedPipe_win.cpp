// Message pipes on the Win32 named-pipe calls.
#include "platform/NamedPipe.h"

#include <windows.h>

#include <vector>

namespace platform {
namespace {

constexpr DWORD kBufferSize = 65536;
constexpr DWORD kDefaultTimeoutMs = 300;

HANDLE toHandle(NativeHandle handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

NativeHandle fromHandle(HANDLE handle)
{
    return reinterpret_cast<NativeHandle>(handle);
}

} // namespace

NativeHandle createPipeServer(const std::wstring& name)
{
    return fromHandle(CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
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
    if (!ReadFile(toHandle(server), message.data(), size, &got, nullptr)) {
        const DWORD code = GetLastError();
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
    return fromHandle(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
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
