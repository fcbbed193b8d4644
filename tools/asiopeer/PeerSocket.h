#pragma once
// The pipe wire on the POSIX stand-in, written independently of the program's own
// pipe layer so that the peer checks it rather than mirrors it.
#include <cstdint>
#include <string>
#include <vector>

namespace peer {

using Bytes = std::vector<std::uint8_t>;

// <runtime dir>/quorvix/<name>.
std::string endpointPath(const std::string& name);

// Binds and listens on the endpoint (folder 0700, socket 0600), replacing a stale
// socket file. Returns the listening descriptor, or -1 with a message in `problem`.
int listenOn(const std::string& path, std::string& problem);

// Connects to the endpoint; -1 with errno set on failure.
int connectTo(const std::string& path);

// Writes every byte without raising SIGPIPE.
bool sendAll(int fd, const Bytes& bytes);

// Reads until the peer closes or `timeoutMs` passes without data.
Bytes receiveUntilClosed(int fd, int timeoutMs);

// "01 00 00 00 31" and back; parsing ignores spaces and fails on odd or bad digits.
std::string toHex(const Bytes& bytes);
bool fromHex(const std::string& text, Bytes& bytes);

// A 32-bit little-endian length, then the bytes.
Bytes framed(const Bytes& payload);

} // namespace peer
