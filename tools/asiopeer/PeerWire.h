#pragma once
// Bytes as the peer prints and parses them, and the length framing of the POSIX pipes.
#include <cstdint>
#include <string>
#include <vector>

namespace peer {

using Bytes = std::vector<std::uint8_t>;

// "01 00 00 00 31" and back; parsing ignores spaces and fails on odd or bad digits.
std::string toHex(const Bytes& bytes);
bool fromHex(const std::string& text, Bytes& bytes);

// A 32-bit little-endian length, then the bytes.
Bytes framed(const Bytes& payload);

} // namespace peer
