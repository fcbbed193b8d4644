#pragma once
// The kernel driver's device, in the shape of CreateFileW / DeviceIoControl /
// CloseHandle. Plain C++ without Qt so that the Windows backend builds on its own.
// Off Windows the device is a Unix socket in the endpoint folder; a link that broke,
// timed out (2000 ms per reply) or got a bad reply stays dead until it is closed.
#include "platform/PlatformTypes.h"

#include <string>

namespace platform {

// Opens a device by its Windows name (for example L"\\\\.\\QuorvixAudioBus3"), read and
// write access, shared read/write, open-existing. kInvalidHandle on failure (see lastError).
NativeHandle openDriverDevice(const std::wstring& name);

// One synchronous request. Succeeds when the driver accepted it; then *bytesReturned
// holds how many output bytes were written to the front of `out` (the rest is untouched).
// On failure lastError() holds the code and `out` is left as it was.
bool deviceIoControl(NativeHandle device, std::uint32_t code, const void* in,
                     std::uint32_t inLength, void* out, std::uint32_t outLength,
                     std::uint32_t* bytesReturned);

// Closes a handle from openDriverDevice; kInvalidHandle is ignored.
void closeDriverDevice(NativeHandle device);

} // namespace platform
