// The driver device on Windows: the kernel driver's device object, opened by name and
// driven with synchronous device I/O control requests.
#include "platform/DriverDevice.h"

#include <windows.h>

namespace platform {

NativeHandle openDriverDevice(const std::wstring& name)
{
    HANDLE device =
        CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    return reinterpret_cast<NativeHandle>(device);
}

bool deviceIoControl(NativeHandle device, std::uint32_t code, const void* in,
                     std::uint32_t inLength, void* out, std::uint32_t outLength,
                     std::uint32_t* bytesReturned)
{
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(reinterpret_cast<HANDLE>(device), code, const_cast<void*>(in),
                                    inLength, out, outLength, &returned, nullptr);
    if (bytesReturned)
        *bytesReturned = returned;
    return ok != FALSE;
}

void closeDriverDevice(NativeHandle device)
{
    if (device != kInvalidHandle)
        CloseHandle(reinterpret_cast<HANDLE>(device));
}

} // namespace platform
