#include "tools/asiopeer/PeerSocket.h"

#include <QStandardPaths>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace peer {
namespace {

std::string runtimeDir()
{
    const char* env = std::getenv("XDG_RUNTIME_DIR");
    if (env && *env)
        return env;
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation).toStdString();
}

bool address(const std::string& path, sockaddr_un& out)
{
    std::memset(&out, 0, sizeof out);
    out.sun_family = AF_UNIX;
    if (path.size() >= sizeof out.sun_path)
        return false;
    std::memcpy(out.sun_path, path.c_str(), path.size() + 1);
    return true;
}

} // namespace

std::string endpointPath(const std::string& name)
{
    return runtimeDir() + "/quorvix/" + name;
}

int listenOn(const std::string& path, std::string& problem)
{
    const std::string folder = path.substr(0, path.rfind('/'));
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        problem = "cannot create " + folder + ": " + std::strerror(errno);
        return -1;
    }
    sockaddr_un where;
    if (!address(path, where)) {
        problem = "path too long: " + path;
        return -1;
    }
    const int probe = connectTo(path);
    if (probe >= 0) {
        close(probe);
        problem = "a server already listens on " + path;
        return -1;
    }
    unlink(path.c_str());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
        chmod(path.c_str(), 0600) != 0 || listen(fd, 16) != 0) {
        problem = "cannot listen on " + path + ": " + std::strerror(errno);
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

int connectTo(const std::string& path)
{
    sockaddr_un where;
    if (!address(path, where)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
        const int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

bool sendAll(int fd, const Bytes& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t sent = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

Bytes receiveUntilClosed(int fd, int timeoutMs)
{
    Bytes bytes;
    std::uint8_t chunk[4096];
    for (;;) {
        pollfd waiting{fd, POLLIN, 0};
        const int ready = poll(&waiting, 1, timeoutMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return bytes;
        const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return bytes;
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
}

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
    Bytes frame;
    const auto length = static_cast<std::uint32_t>(payload.size());
    for (int i = 0; i < 4; ++i)
        frame.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

} // namespace peer
