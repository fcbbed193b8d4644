// The control client on the Unix socket of the private endpoint folder.
#include "platform/ControlClient.h"
#include "platform/ControlReplyReader.h"
#include "platform/PosixSupport.h"

#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform {
namespace {

// A program that does not answer within this time is treated as broken.
constexpr int kReplyTimeoutMs = 5000;

class Fd
{
public:
    explicit Fd(int fd) : fd(fd) {}
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd; }

private:
    int fd;
};

} // namespace

ControlExchange exchangeOverEndpoint(const std::string& request, ControlReplyReader& reader,
                                     std::string& why)
{
    const std::string path = endpointFolder() + "/control";
    sockaddr_un address;
    if (!socketAddress(path, address)) {
        why = "the endpoint path is too long";
        return ControlExchange::Failed;
    }
    struct stat info
    {
    };
    if (::lstat(path.c_str(), &info) != 0) {
        why = errno == EACCES ? "the endpoint folder belongs to another user" : "no endpoint";
        return errno == EACCES ? ControlExchange::Untrusted : ControlExchange::NotRunning;
    }
    if (!S_ISSOCK(info.st_mode) || info.st_uid != ::geteuid()) {
        why = "the endpoint " + path + " belongs to another user";
        return ControlExchange::Untrusted;
    }
    Fd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (socket.get() < 0 ||
        ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int err = errno;
        if (err == ECONNREFUSED || err == ENOENT) {
            why = "no program serves the endpoint";
            return ControlExchange::NotRunning;
        }
        if (err == EAGAIN) {
            why = "the endpoint is busy";
            return ControlExchange::Busy;
        }
        why = err == EACCES ? "access to the endpoint denied" : "cannot connect to the endpoint";
        return err == EACCES ? ControlExchange::Untrusted : ControlExchange::Failed;
    }
    // Whoever serves the socket must be the same user: a file of ours with another
    // user's server behind it would have been put there by root.
    ucred server{};
    socklen_t size = sizeof server;
    if (::getsockopt(socket.get(), SOL_SOCKET, SO_PEERCRED, &server, &size) != 0 ||
        server.uid != ::geteuid()) {
        why = "the endpoint is served by another user";
        return ControlExchange::Untrusted;
    }
    std::size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n =
            ::send(socket.get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            why = "the endpoint closed the connection";
            return ControlExchange::Busy;
        }
        sent += static_cast<std::size_t>(n);
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kReplyTimeoutMs);
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        pollfd waiting{socket.get(), POLLIN, 0};
        // A stream waits without a limit once it has started; the program's end closes it.
        const int ready = reader.waitsWithoutLimit() ? ::poll(&waiting, 1, -1)
                          : left > 0                 ? ::poll(&waiting, 1, static_cast<int>(left))
                                                     : 0;
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            why = "no reply from the program";
            return ControlExchange::Failed;
        }
        const ssize_t got = ::recv(socket.get(), buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        if (reader.take(buffer, static_cast<std::size_t>(got)))
            return ControlExchange::Done;
    }
    return reader.closed(why);
}

std::vector<std::string> commandArguments(int argc, char** argv)
{
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

bool writeText(std::FILE* stream, const std::string& text)
{
    return std::fwrite(text.data(), 1, text.size(), stream) == text.size() &&
           std::fflush(stream) == 0;
}

} // namespace platform
