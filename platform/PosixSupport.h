#pragma once
// Internal helpers shared by the POSIX backends (driver device, pipes): where the
// endpoint sockets live and how POSIX failures become the Windows codes the rest of
// the program reports. Plain C++, no Qt.
#include <cstdint>
#include <string>

struct sockaddr_un;

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

// Fills a Unix socket address; false when the path does not fit.
bool socketAddress(const std::string& path, sockaddr_un& address);

// Creates the endpoint folder and a listening Unix socket at path (mode 0600), and
// returns its descriptor with the socket file's inode, or -1 with lastError() set:
// PipeBusy when a live server answers there, AccessDenied when the file there is not
// a socket of this user. A stale socket of this user, left by a killed process, is
// replaced.
int listenOnSocketFile(const std::string& path, std::uint64_t& inode);

// Sets the calling thread's lastError().
void setLastError(std::uint32_t code);

// ENOENT/ECONNREFUSED -> 2, EACCES/EPERM -> 5, EBADF -> 6, ECONNRESET/EPIPE/ENOTCONN
// -> 1167, ETIMEDOUT -> 1460, anything else -> 31.
std::uint32_t errnoToWindowsError(int err);

} // namespace platform
