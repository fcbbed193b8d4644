#pragma once
// The ASIO driver's request on the inbound pipe: five unsigned 32-bit little-endian
// words at the front of the message; a non-zero fifth word asks for the settings window.
#include <cstddef>
#include <cstdint>

struct OpenWindowRequest
{
    static constexpr int WordCount = 5;
    std::uint32_t words[WordCount] = {};

    bool opensWindow() const { return words[WordCount - 1] != 0; }

    // Reads the words from the first `length` bytes of `message`; bytes past the end
    // count as zero and bytes after the twentieth are ignored.
    static OpenWindowRequest decode(const char* message, std::size_t length);
};
