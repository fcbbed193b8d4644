#pragma once
// The device socket's framing as the driver's side sees it, for the programs that play
// the driver: a request is code, input length and output length (little-endian words)
// followed by the input; a reply is status, error code and byte count followed by the
// bytes. Blocking sockets; sends never raise SIGPIPE. Plain C++, no Qt.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace driverwire {

struct Request
{
    std::uint32_t code = 0;
    std::uint32_t outputLength = 0;
    std::vector<std::uint8_t> input;
};

std::uint32_t readLe32(const std::uint8_t* p);
void putLe32(std::uint8_t* p, std::uint32_t value);

// False when the link closed or failed before `size` bytes moved.
bool readExactly(int fd, void* buffer, std::size_t size);
bool writeAll(int fd, const void* data, std::size_t size);

// Takes one whole request frame, reusing the request's input storage.
bool readRequest(int fd, Request& request);
// Makes `reply` a success with `outputLength` zero bytes, reusing its storage.
void setSuccessReply(std::vector<std::uint8_t>& reply, std::uint32_t outputLength);

} // namespace driverwire
