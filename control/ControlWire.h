#pragma once
// What travels on the control endpoint, shared by the program and quorvix-ctl. Plain
// C++. A request is one UTF-8 line of at most 4 KiB: the verb and its arguments joined
// by tabs, ended by a newline. The reply is one header line, "<exit code> <body
// length> <message>", and then the body: the exit code and message are what
// quorvix-ctl exits with and writes to stderr, the body what it writes to stdout.
#include <cstddef>
#include <string>
#include <vector>

namespace controlwire {

inline constexpr std::size_t kMaxRequest = 4096;
inline constexpr char kSeparator = '\t';

// Exit codes of quorvix-ctl.
enum Code
{
    Done = 0,
    NotRunning = 1,
    BadInput = 2,
    NotConnected = 3,
    Refused = 4,
    Untrusted = 5,
    // Only quorvix-ctl's own report: the file could not be written.
    ReportFailed = 6
};

inline std::string request(const std::vector<std::string>& fields)
{
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0)
            line += kSeparator;
        line += fields[i];
    }
    return line + '\n';
}

inline std::string reply(int code, const std::string& message, const std::string& body)
{
    return std::to_string(code) + ' ' + std::to_string(body.size()) + ' ' + message + '\n' + body;
}

// Splits the reply at the start of text; `used` is its length. The reply to `watch` is
// followed by the lines of the changes. False while it is incomplete or when it is
// malformed.
inline bool parseReplyStart(const std::string& text, int& code, std::string& message,
                            std::string& body, std::size_t& used)
{
    const auto end = text.find('\n');
    if (end == std::string::npos)
        return false;
    const std::string header = text.substr(0, end);
    const auto first = header.find(' ');
    const auto second = first == std::string::npos ? first : header.find(' ', first + 1);
    if (second == std::string::npos)
        return false;
    try {
        code = std::stoi(header.substr(0, first));
        const std::size_t length = std::stoul(header.substr(first + 1, second - first - 1));
        if (text.size() - end - 1 < length)
            return false;
        used = end + 1 + length;
    } catch (...) {
        return false;
    }
    message = header.substr(second + 1);
    body = text.substr(end + 1, used - end - 1);
    return true;
}

// Splits a reply that is the whole text; false while it is incomplete or when it is
// malformed.
inline bool parseReply(const std::string& text, int& code, std::string& message, std::string& body)
{
    std::size_t used = 0;
    return parseReplyStart(text, code, message, body, used) && used == text.size();
}

inline bool replyComplete(const std::string& text)
{
    int code = 0;
    std::string message, body;
    return parseReply(text, code, message, body);
}

} // namespace controlwire
