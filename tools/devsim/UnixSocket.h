#pragma once
// Thin helpers over AF_UNIX stream sockets and the endpoint folder that the program and
// its peers share. Paths are filesystem paths; every call reports failure with errno.
#include <cstddef>
#include <string>

namespace UnixSocket {

// $XDG_RUNTIME_DIR when set and non-empty, else /tmp/runtime-<user> (as Qt falls back).
std::string runtimeDir();
// <runtime dir>/quorvix, the folder every endpoint lives in.
std::string endpointFolder();
// Creates the folder (and a missing runtime dir) with mode 0700; true if it exists after.
bool ensureFolder(const std::string& path);

// Queue length of every listener made by listenAt.
inline constexpr int listenBacklog = 16;

// Binds and listens on path with mode 0600, non-blocking. A stale file that nobody
// answers on is replaced; a live listener makes it fail with EADDRINUSE. -1 on failure.
int listenAt(const std::string& path);
// Connects (blocking) to path; -1 on failure.
int connectTo(const std::string& path);
// Connects without waiting: -1 with EAGAIN when the listener's queue is full.
int connectNonBlocking(const std::string& path);
// Whether the other end of an accepted connection is this very process.
bool peerIsThisProcess(int fd);
// Accepts one pending client as a non-blocking socket; -1 when none.
int acceptFrom(int listener);

void setNonBlocking(int fd);
// Sends as much as the socket takes now without SIGPIPE; returns bytes sent or -1.
long sendSome(int fd, const char* data, std::size_t length);

} // namespace UnixSocket
