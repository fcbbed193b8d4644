#include "SocketFolder.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace socketfolder {

std::string path()
{
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg && *xdg)
        return std::string(xdg) + "/quorvix";
    const passwd* user = getpwuid(getuid());
    return std::string("/tmp/runtime-") + (user ? user->pw_name : std::to_string(getuid())) +
           "/quorvix";
}

std::uint32_t presentBuses()
{
    const std::string folder = path() + "/QuorvixAudioBus";
    std::uint32_t mask = 0;
    for (int bus = 0; bus < kBusCount; ++bus) {
        struct stat info
        {
        };
        if (stat((folder + std::to_string(bus)).c_str(), &info) == 0 && S_ISSOCK(info.st_mode))
            mask |= 1u << bus;
    }
    return mask;
}

bool isValidName(const std::string& name)
{
    if (name.empty() || name.size() > 64 || name[0] == '.')
        return false;
    for (const char c : name)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_'))
            return false;
    return true;
}

int connectTo(const std::string& name, std::uint32_t& error)
{
    const std::string file = path() + "/" + name;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (file.size() >= sizeof address.sun_path) {
        error = 31;
        return -1;
    }
    std::memcpy(address.sun_path, file.c_str(), file.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = 31;
        return -1;
    }
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        error = 0;
        return fd;
    }
    const int failure = errno;
    close(fd);
    switch (failure) {
    case ENOENT:
    case ECONNREFUSED:
        error = 2;
        break;
    case EAGAIN:
        error = 170;
        break;
    case EACCES:
    case EPERM:
        error = 5;
        break;
    default:
        error = 31;
    }
    return -1;
}

} // namespace socketfolder
