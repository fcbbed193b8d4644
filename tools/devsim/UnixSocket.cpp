#include "UnixSocket.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace UnixSocket {
namespace {

bool makeAddress(const std::string& path, sockaddr_un& address)
{
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

} // namespace

std::string runtimeDir()
{
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg && *xdg)
        return xdg;
    const passwd* user = getpwuid(getuid());
    return std::string("/tmp/runtime-") + (user ? user->pw_name : std::to_string(getuid()));
}

std::string endpointFolder()
{
    return runtimeDir() + "/quorvix";
}

bool ensureFolder(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        const std::string parent = path.substr(0, slash);
        struct stat info
        {
        };
        if (stat(parent.c_str(), &info) != 0 && !ensureFolder(parent))
            return false;
    }
    if (mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) {
        struct stat info
        {
        };
        return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    }
    return false;
}

int listenAt(const std::string& path)
{
    sockaddr_un address;
    if (!makeAddress(path, address))
        return -1;
    const int probe = connectTo(path);
    if (probe >= 0) {
        close(probe);
        errno = EADDRINUSE;
        return -1;
    }
    unlink(path.c_str());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    // The file is created by bind with the umask's mode; a tight umask closes the window
    // in which another user could connect before the chmod.
    const mode_t previous = umask(0177);
    const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    umask(previous);
    if (!bound || chmod(path.c_str(), 0600) != 0 || listen(fd, listenBacklog) != 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    setNonBlocking(fd);
    return fd;
}

int connectTo(const std::string& path)
{
    sockaddr_un address;
    if (!makeAddress(path, address))
        return -1;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int rc;
    do {
        rc = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

int connectNonBlocking(const std::string& path)
{
    sockaddr_un address;
    if (!makeAddress(path, address))
        return -1;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

bool peerIsThisProcess(int fd)
{
    ucred peer{};
    socklen_t length = sizeof peer;
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && peer.pid == getpid();
}

int acceptFrom(int listener)
{
    int fd;
    do {
        fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

void setNonBlocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

long sendSome(int fd, const char* data, std::size_t length)
{
    for (;;) {
        const ssize_t sent = send(fd, data, length, MSG_NOSIGNAL);
        if (sent >= 0)
            return static_cast<long>(sent);
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        return -1;
    }
}

} // namespace UnixSocket
