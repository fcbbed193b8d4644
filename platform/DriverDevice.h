#pragma once
// The kernel driver's device, in the shape of CreateFileW / DeviceIoControl /
// CloseHandle. Plain C++ without Qt so that the Windows backend builds on its own.
// A request that the driver has not completed within 2000 ms fails with error::Timeout;
// on Windows it is cancelled, on every OS the link then stays dead until it is closed.
// Off Windows the device is a Unix socket in the endpoint folder; a link that broke,
// timed out or got a bad reply stays dead as well.
#include "platform/PlatformTypes.h"

#include <cstddef>
#include <string>

namespace platform {

// Opens a device by its Windows name (for example L"\\\\.\\QuorvixAudioBus3"), read and
// write access, shared read/write, open-existing. kInvalidHandle on failure (see lastError).
NativeHandle openDriverDevice(const std::wstring& name);

// One request; the calling thread waits for it, at most about 2000 ms. Succeeds when
// the driver accepted it; then *bytesReturned holds how many output bytes were written to the front
// of `out` (the rest is untouched). On failure lastError() holds the code and `out` is left as it
// was.
bool deviceIoControl(NativeHandle device, std::uint32_t code, const void* in,
                     std::uint32_t inLength, void* out, std::uint32_t outLength,
                     std::uint32_t* bytesReturned);

// Closes a handle from openDriverDevice; kInvalidHandle is ignored.
void closeDriverDevice(NativeHandle device);

// Timed-out requests whose buffers are still kept because the driver may write them:
// on Windows one whose cancellation the driver ignored, until the driver completes it.
// Requests in flight and held ones are at most 8 together: beyond that a request fails at
// once with error::Busy, unsent. Off Windows a request never outlives its call, and this is 0.
std::size_t heldDriverRequests();

} // namespace platform
