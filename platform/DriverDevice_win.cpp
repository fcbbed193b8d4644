// The driver device on Windows: the kernel driver's device object, opened by name for
// overlapped I/O so that no request can hold the calling thread longer than the link's
// 2000 ms bound, however long the driver keeps it.
#include "platform/DriverDevice.h"

#include <windows.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace platform {
namespace {

// The whole request, from its start to the driver's completion.
constexpr DWORD kRequestLimitMs = 2000;
// How long a cancelled request may take to come back before its buffers are handed over.
constexpr DWORD kCancelWaitMs = 200;
// Requests the driver may still write into (in flight, or held after ignoring their
// cancellation), at most; one more is refused unsent. Each owner's handle dies with its
// first held request and the detection opens none while any is held, so only a driver
// fault beyond that reaches it.
constexpr std::size_t kMostHeldRequests = 8;

HANDLE toHandle(NativeHandle handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

// One request in flight: what the driver may still write (the OVERLAPPED and private
// copies of both buffers) lives here, never in the caller's memory.
struct Request
{
    Request(const void* in, std::uint32_t inLength, std::uint32_t outLength)
        : input(static_cast<const char*>(in), static_cast<const char*>(in) + (in ? inLength : 0)),
          output(outLength)
    {
        overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ~Request()
    {
        if (overlapped.hEvent)
            CloseHandle(overlapped.hEvent);
    }
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    OVERLAPPED overlapped = {};
    std::vector<char> input;
    std::vector<char> output;
};

std::atomic<std::size_t> heldRequests{0};

// A link whose request timed out is dead until closed, as off Windows: a driver that
// held one request would hold the next as well.
std::mutex deadLinksLock;
std::unordered_map<HANDLE, DWORD> deadLinks;

DWORD deadError(HANDLE device)
{
    const std::lock_guard<std::mutex> lock(deadLinksLock);
    const auto found = deadLinks.find(device);
    return found == deadLinks.end() ? ERROR_SUCCESS : found->second;
}

void markDead(HANDLE device, DWORD code)
{
    const std::lock_guard<std::mutex> lock(deadLinksLock);
    deadLinks[device] = code;
}

// Requests in flight plus held ones: what the driver may still write into.
std::atomic<std::size_t> outstandingRequests{0};

VOID CALLBACK releaseWhenDone(PTP_CALLBACK_INSTANCE, PVOID context, PTP_WAIT wait, TP_WAIT_RESULT)
{
    // The event is set only after the driver's completion has been copied out.
    delete static_cast<Request*>(context);
    --heldRequests;
    --outstandingRequests;
    CloseThreadpoolWait(wait);
}

// A request that ignored its cancellation keeps its buffers until the driver completes
// it; a thread-pool wait on its event then frees them. Without one they are never freed.
void holdUntilDone(std::unique_ptr<Request> request)
{
    ++heldRequests;
    ++outstandingRequests;
    Request* held = request.release();
    PTP_WAIT wait = CreateThreadpoolWait(&releaseWhenDone, held, nullptr);
    if (wait)
        SetThreadpoolWait(wait, held->overlapped.hEvent, nullptr);
}

} // namespace

NativeHandle openDriverDevice(const std::wstring& name)
{
    HANDLE device =
        CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    return reinterpret_cast<NativeHandle>(device);
}

bool deviceIoControl(NativeHandle device, std::uint32_t code, const void* in,
                     std::uint32_t inLength, void* out, std::uint32_t outLength,
                     std::uint32_t* bytesReturned)
{
    const HANDLE file = toHandle(device);
    if (const DWORD dead = deadError(file)) {
        SetLastError(dead);
        return false;
    }
    // A slot for this request until it ends; a held request takes one of its own.
    if (outstandingRequests.fetch_add(1) >= kMostHeldRequests) {
        --outstandingRequests;
        SetLastError(ERROR_BUSY);
        return false;
    }
    struct Slot
    {
        ~Slot() { --outstandingRequests; }
    } slot;
    auto request = std::make_unique<Request>(in, inLength, outLength);
    if (!request->overlapped.hEvent)
        return false; // CreateEventW's code stands
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(file, code, request->input.data(), inLength, request->output.data(),
                              outLength, nullptr, &request->overlapped);
    // The count is read from the completion, also for a request that completed at once.
    if (ok || GetLastError() == ERROR_IO_PENDING)
        ok = GetOverlappedResultEx(file, &request->overlapped, &returned, kRequestLimitMs, FALSE);
    if (!ok && GetLastError() == WAIT_TIMEOUT) {
        CancelIoEx(file, &request->overlapped);
        if (!GetOverlappedResultEx(file, &request->overlapped, &returned, kCancelWaitMs, FALSE) &&
            GetLastError() == WAIT_TIMEOUT)
            holdUntilDone(std::move(request));
        request.reset(); // freeing must not change the code the caller reads
        markDead(file, ERROR_TIMEOUT);
        SetLastError(ERROR_TIMEOUT);
        return false;
    }
    if (!ok) {
        const DWORD failure = GetLastError();
        request.reset();
        SetLastError(failure);
        return false;
    }
    if (returned > 0 && out)
        std::memcpy(out, request->output.data(), returned);
    if (bytesReturned)
        *bytesReturned = returned;
    return true;
}

void closeDriverDevice(NativeHandle device)
{
    if (device == kInvalidHandle)
        return;
    {
        const std::lock_guard<std::mutex> lock(deadLinksLock);
        deadLinks.erase(toHandle(device));
    }
    CloseHandle(toHandle(device));
}

std::size_t heldDriverRequests()
{
    return heldRequests.load();
}

} // namespace platform
