#include "platform/PlatformTypes.h"
#include "platform/PosixSupport.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform {
namespace {

// Endpoint names are ASCII in practice; anything else is encoded as UTF-8.
std::string toUtf8(const std::wstring& text)
{
    std::string out;
    for (wchar_t wc : text) {
        auto c = static_cast<std::uint32_t>(wc);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string nonEmptyEnv(const char* name)
{
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

std::string userName()
{
    const uid_t uid = geteuid();
    char buffer[4096];
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_name &&
        *found->pw_name)
        return found->pw_name;
    return std::to_string(uid);
}

// The same fallback Qt uses when XDG_RUNTIME_DIR is missing: <temp>/runtime-<user>.
std::string runtimeDir()
{
    std::string dir = nonEmptyEnv("XDG_RUNTIME_DIR");
    if (!dir.empty())
        return dir;
    std::string temp = nonEmptyEnv("TMPDIR");
    if (temp.empty())
        temp = "/tmp";
    while (temp.size() > 1 && temp.back() == '/')
        temp.pop_back();
    return temp + "/runtime-" + userName();
}

bool makeDirectory(const std::string& path)
{
    if (mkdir(path.c_str(), 0700) == 0)
        return true;
    struct stat info
    {
    };
    return errno == EEXIST && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Whether a server answers on the socket file. The probe does not block: a server
// whose backlog is full is just as alive.
bool serverAnswers(const sockaddr_un& address)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    const int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const bool alive = rc == 0 || errno == EAGAIN || errno == EINPROGRESS;
    ::close(fd);
    return alive;
}

int failWith(std::uint32_t code)
{
    setLastError(code);
    return -1;
}

} // namespace

bool socketAddress(const std::string& path, sockaddr_un& address)
{
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

int listenOnSocketFile(const std::string& path, std::uint64_t& inode)
{
    sockaddr_un address;
    if (!socketAddress(path, address))
        return failWith(error::GenFailure);
    if (!ensureEndpointFolder())
        return failWith(errnoToWindowsError(errno));
    struct stat existing
    {
    };
    if (::lstat(path.c_str(), &existing) == 0) {
        // Only our own socket may be replaced; anything else there was put by someone
        // else and is never removed.
        if (!S_ISSOCK(existing.st_mode) || existing.st_uid != ::geteuid())
            return failWith(error::AccessDenied);
        if (serverAnswers(address))
            return failWith(error::PipeBusy);
        // Left over from a process that ended without releasing it.
        ::unlink(path.c_str());
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return failWith(errnoToWindowsError(errno));
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        // Another server bound it between the probe and now.
        const std::uint32_t code =
            errno == EADDRINUSE ? error::PipeBusy : errnoToWindowsError(errno);
        ::close(fd);
        return failWith(code);
    }
    if (::chmod(path.c_str(), 0600) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        const std::uint32_t code = errnoToWindowsError(errno);
        ::close(fd);
        ::unlink(path.c_str());
        return failWith(code);
    }
    struct stat made
    {
    };
    inode = ::stat(path.c_str(), &made) == 0 ? made.st_ino : 0;
    return fd;
}

std::string endpointFolder()
{
    return runtimeDir() + "/quorvix";
}

std::string endpointPath(const std::wstring& windowsName)
{
    const auto cut = windowsName.find_last_of(L"\\/");
    const std::wstring last = cut == std::wstring::npos ? windowsName : windowsName.substr(cut + 1);
    return endpointFolder() + "/" + toUtf8(last);
}

bool ensureEndpointFolder()
{
    if (!makeDirectory(runtimeDir()) || !makeDirectory(endpointFolder()))
        return false;
    // A folder that was already there must be our own and private: anyone else who
    // could reach into it could take over the device and pipe names.
    const std::string folder = endpointFolder();
    struct stat info
    {
    };
    if (lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != geteuid()) {
        errno = EACCES;
        return false;
    }
    return (info.st_mode & 0777) == 0700 || chmod(folder.c_str(), 0700) == 0;
}

std::uint32_t errnoToWindowsError(int err)
{
    switch (err) {
    case ENOENT:
    case ECONNREFUSED:
        return error::FileNotFound;
    case EACCES:
    case EPERM:
        return error::AccessDenied;
    case EBADF:
        return error::InvalidHandle;
    case ECONNRESET:
    case EPIPE:
    case ENOTCONN:
        return error::DeviceNotConnected;
    case ETIMEDOUT:
        return error::Timeout;
    default:
        return error::GenFailure;
    }
}

} // namespace platform
