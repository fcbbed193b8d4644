#pragma once
// Handle and error-code vocabulary shared by every platform backend. Failures are
// reported with Windows error codes on every OS, so log lines read the same.
#include <cstdint>

namespace platform {

// A Win32 HANDLE on Windows; an opaque link object elsewhere.
using NativeHandle = std::intptr_t;
// INVALID_HANDLE_VALUE.
inline constexpr NativeHandle kInvalidHandle = -1;

namespace error {
inline constexpr std::uint32_t InvalidFunction = 1;
inline constexpr std::uint32_t FileNotFound = 2;
inline constexpr std::uint32_t AccessDenied = 5;
inline constexpr std::uint32_t InvalidHandle = 6;
inline constexpr std::uint32_t InvalidData = 13;
inline constexpr std::uint32_t GenFailure = 31;
inline constexpr std::uint32_t Busy = 170;
inline constexpr std::uint32_t BrokenPipe = 109;
inline constexpr std::uint32_t PipeBusy = 231;
inline constexpr std::uint32_t NoData = 232;
inline constexpr std::uint32_t MoreData = 234;
inline constexpr std::uint32_t PipeConnected = 535;
inline constexpr std::uint32_t OperationAborted = 995;
inline constexpr std::uint32_t DeviceNotConnected = 1167;
inline constexpr std::uint32_t Timeout = 1460;
} // namespace error

// The calling thread's last error code (GetLastError on Windows), set by every
// failing call of this layer.
std::uint32_t lastError();

} // namespace platform
