#include "platform/PlatformTypes.h"
#include "platform/PosixSupport.h"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
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

} // namespace

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
