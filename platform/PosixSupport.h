#pragma once
// Internal helpers shared by the POSIX backends (driver device, pipes): where the
// endpoint sockets live and how POSIX failures become the Windows codes the rest of
// the program reports. Plain C++, no Qt.
#include <cstdint>
#include <string>

namespace platform {

// The socket file for a Windows endpoint name: <runtime dir>/quorvix/<last component>,
// where the last component follows the final backslash (or slash) of the name. The
// runtime dir is $XDG_RUNTIME_DIR when set and non-empty, else <temp>/runtime-<user>.
std::string endpointPath(const std::wstring& windowsName);

// The endpoint folder itself (<runtime dir>/quorvix), without a trailing slash.
std::string endpointFolder();

// Creates the runtime dir (if missing) and the endpoint folder with mode 0700.
// True when the folder exists afterwards.
bool ensureEndpointFolder();

// Sets the calling thread's lastError().
void setLastError(std::uint32_t code);

// ENOENT/ECONNREFUSED -> 2, EACCES/EPERM -> 5, EBADF -> 6, ECONNRESET/EPIPE/ENOTCONN
// -> 1167, ETIMEDOUT -> 1460, anything else -> 31.
std::uint32_t errnoToWindowsError(int err);

} // namespace platform
