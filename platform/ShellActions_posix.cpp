#include "platform/ShellActions.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace platform {

namespace {

// ShellExecuteA-style results: above 32 is success.
constexpr std::intptr_t kStarted = 33;
constexpr std::intptr_t kStartFailed = 0;
constexpr std::intptr_t kNotFound = 2; // SE_ERR_FNF

// Sound settings programs of the common desktops, most specific first.
const std::vector<std::vector<std::string>>& soundPanelCandidates()
{
    static const std::vector<std::vector<std::string>> candidates = {
        {"pavucontrol-qt"},
        {"pavucontrol"},
        {"gnome-control-center", "sound"},
        {"systemsettings", "kcm_pulseaudio"},
    };
    return candidates;
}

bool isExecutableFile(const std::string& path)
{
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

// Full path of the first executable file called `name` in a PATH directory, or empty.
// Empty PATH entries (the current directory) are skipped: a sound panel is never
// picked up from wherever the program happens to run.
std::string findOnPath(const std::string& name)
{
    const char* path = std::getenv("PATH");
    if (!path)
        return {};
    const std::string dirs(path);
    std::string::size_type start = 0;
    while (start <= dirs.size()) {
        std::string::size_type end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        const std::string dir = dirs.substr(start, end - start);
        if (!dir.empty()) {
            const std::string candidate = dir + '/' + name;
            if (isExecutableFile(candidate))
                return candidate;
        }
        start = end + 1;
    }
    return {};
}

ssize_t readFully(int fd, void* buffer, size_t size)
{
    ssize_t got;
    do {
        got = ::read(fd, buffer, size);
    } while (got < 0 && errno == EINTR);
    return got;
}

void writeErrno(int fd)
{
    const int error = errno;
    ssize_t written;
    do {
        written = ::write(fd, &error, sizeof error);
    } while (written < 0 && errno == EINTR);
}

// Starts the program in a session of its own, not a child of this process, so it
// outlives us and never becomes a zombie here. True once the program has been
// exec'd; an exec failure in the grandchild comes back through a close-on-exec pipe,
// whose end of file alone means the exec succeeded.
bool startDetached(const std::string& program, const std::vector<std::string>& arguments)
{
    // Everything the children need is prepared before fork: only async-signal-safe
    // calls may follow it in a multithreaded process.
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        return false;

    const pid_t child = ::fork();
    if (child < 0) {
        ::close(report[0]);
        ::close(report[1]);
        return false;
    }
    if (child == 0) {
        ::close(report[0]);
        ::setsid();
        const pid_t grandchild = ::fork();
        if (grandchild < 0) {
            writeErrno(report[1]);
            ::_exit(1);
        }
        if (grandchild == 0) {
            const int devNull = ::open("/dev/null", O_RDONLY);
            if (devNull >= 0) {
                ::dup2(devNull, STDIN_FILENO);
                if (devNull != STDIN_FILENO)
                    ::close(devNull);
            }
            ::execv(program.c_str(), argv.data());
            writeErrno(report[1]);
            ::_exit(127);
        }
        ::_exit(0);
    }

    ::close(report[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int childError = 0;
    const ssize_t got = readFully(report[0], &childError, sizeof childError);
    ::close(report[0]);
    return got == 0;
}

} // namespace

std::intptr_t openSoundControlPanel()
{
    for (const std::vector<std::string>& candidate : soundPanelCandidates()) {
        const std::string program = findOnPath(candidate.front());
        if (!program.empty())
            return startDetached(program, candidate) ? kStarted : kStartFailed;
    }
    return kNotFound;
}

ShellCommand audioDeviceRefreshCommand()
{
    // Restarting the sound server makes it read the audio devices again.
    return {"sh",
            {"-c", "systemctl --user restart pipewire pipewire-pulse wireplumber || pulseaudio -k"},
            {}};
}

bool restoreSessionShell()
{
    return false;
}

} // namespace platform
