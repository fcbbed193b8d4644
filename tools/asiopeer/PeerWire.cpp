#include "tools/asiopeer/PeerWire.h"

#include <algorithm>
#include <cctype>

namespace peer {

std::string toHex(const Bytes& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0)
            text += ' ';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

bool fromHex(const std::string& text, Bytes& bytes)
{
    std::string digits;
    for (char c : text) {
        if (c == ' ' || c == ':')
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
        digits += c;
    }
    if (digits.size() % 2 != 0)
        return false;
    bytes.clear();
    for (std::size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return true;
}

Bytes framed(const Bytes& payload)
{
    Bytes frame(4 + payload.size());
    const auto length = static_cast<std::uint32_t>(payload.size());
    for (int i = 0; i < 4; ++i)
        frame[i] = static_cast<std::uint8_t>(length >> (8 * i));
    std::copy(payload.begin(), payload.end(), frame.begin() + 4);
    return frame;
}

} // namespace peer
