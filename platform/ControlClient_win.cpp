// The control client on the program's named pipe in this session.
#include "platform/ControlClient.h"

#include <windows.h>

#include <shellapi.h>

#include <vector>

namespace platform {
namespace {

constexpr DWORD kBusyWaitMs = 2000;
constexpr DWORD kReplyTimeoutMs = 5000;

class Handle
{
public:
    explicit Handle(HANDLE h = nullptr) : h(h) {}
    ~Handle()
    {
        if (h && h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return h; }
    bool valid() const { return h && h != INVALID_HANDLE_VALUE; }

private:
    HANDLE h;
};

// The user SID of a process's token, as bytes; empty when it cannot be read (as for
// another user's process, which this user may not open).
std::vector<BYTE> tokenUser(HANDLE process)
{
    HANDLE raw = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &raw))
        return {};
    Handle token(raw);
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<BYTE> user(size);
    if (size == 0 || !GetTokenInformation(token.get(), TokenUser, user.data(), size, &size))
        return {};
    return user;
}

// Whether the process serving the pipe runs as this user in this session.
bool sameUserAndSession(HANDLE pipe, std::string& why)
{
    ULONG serverPid = 0;
    DWORD serverSession = 0, ownSession = 0;
    if (!GetNamedPipeServerProcessId(pipe, &serverPid) ||
        !ProcessIdToSessionId(serverPid, &serverSession) ||
        !ProcessIdToSessionId(GetCurrentProcessId(), &ownSession) || serverSession != ownSession) {
        why = "the endpoint is served from another session";
        return false;
    }
    Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, serverPid));
    const std::vector<BYTE> server =
        process.valid() ? tokenUser(process.get()) : std::vector<BYTE>();
    const std::vector<BYTE> own = tokenUser(GetCurrentProcess());
    if (server.empty() || own.empty() ||
        !EqualSid(reinterpret_cast<const TOKEN_USER*>(server.data())->User.Sid,
                  reinterpret_cast<const TOKEN_USER*>(own.data())->User.Sid)) {
        why = "the endpoint is served by another user";
        return false;
    }
    // The program may bring its window to the front for "show", as a tray click would.
    AllowSetForegroundWindow(serverPid);
    return true;
}

std::string toUtf8(const wchar_t* text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return {};
    std::string out(static_cast<std::size_t>(size - 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    return out;
}

// Finishes an overlapped operation that was started (`started`: it completed at once);
// false when it failed or timed out (then cancelled).
bool finish(HANDLE pipe, OVERLAPPED& overlapped, BOOL started, DWORD& done, DWORD timeoutMs)
{
    if (!started && GetLastError() != ERROR_IO_PENDING)
        return false;
    if (!started && WaitForSingleObject(overlapped.hEvent, timeoutMs) != WAIT_OBJECT_0) {
        CancelIoEx(pipe, &overlapped);
        GetOverlappedResult(pipe, &overlapped, &done, TRUE);
        SetLastError(ERROR_TIMEOUT);
        return false;
    }
    return GetOverlappedResult(pipe, &overlapped, &done, FALSE) != FALSE;
}

// One exchange; with `stream`, the pieces go there instead of into `reply`.
ControlExchange exchange(const std::string& request, std::string& reply,
                         bool (*complete)(const std::string& reply),
                         const std::function<bool(const std::string&)>* stream, std::string& why)
{
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    const std::wstring name = L"\\\\.\\pipe\\QuorvixMixer.Control." + std::to_wstring(session);
    HANDLE raw = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 2; ++attempt) {
        // The server may identify this user but never act as this user.
        raw = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                          nullptr);
        if (raw != INVALID_HANDLE_VALUE || GetLastError() != ERROR_PIPE_BUSY ||
            !WaitNamedPipeW(name.c_str(), kBusyWaitMs))
            break;
    }
    if (raw == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND) {
            why = "no endpoint";
            return ControlExchange::NotRunning;
        }
        if (code == ERROR_PIPE_BUSY) {
            why = "the endpoint is busy";
            return ControlExchange::Busy;
        }
        if (code == ERROR_ACCESS_DENIED) {
            why = "access to the endpoint denied: it belongs to another user";
            return ControlExchange::Untrusted;
        }
        why = "cannot open the endpoint (error " + std::to_string(code) + ")";
        return ControlExchange::Failed;
    }
    Handle pipe(raw);
    if (!sameUserAndSession(pipe.get(), why))
        return ControlExchange::Untrusted;

    Handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.get();
    DWORD done = 0;
    const BOOL wrote = WriteFile(pipe.get(), request.data(), static_cast<DWORD>(request.size()),
                                 nullptr, &overlapped);
    if (!finish(pipe.get(), overlapped, wrote, done, kReplyTimeoutMs)) {
        why = "the endpoint closed the connection";
        return ControlExchange::Busy;
    }
    const DWORD deadline = GetTickCount() + kReplyTimeoutMs;
    reply.clear();
    bool heard = false;
    char buffer[4096];
    for (;;) {
        const DWORD now = GetTickCount();
        // A stream waits without a limit once it has started: when the program ends, the
        // system closes its end and the read fails with ERROR_BROKEN_PIPE at once.
        const DWORD left = stream && heard                         ? INFINITE
                           : static_cast<LONG>(deadline - now) > 0 ? deadline - now
                                                                   : 0;
        overlapped = {};
        overlapped.hEvent = event.get();
        const BOOL started = ReadFile(pipe.get(), buffer, sizeof buffer, nullptr, &overlapped);
        if (!finish(pipe.get(), overlapped, started, done, left)) {
            if (GetLastError() == ERROR_TIMEOUT) {
                why = "no reply from the program";
                return ControlExchange::Failed;
            }
            break; // ERROR_BROKEN_PIPE: the program ended the connection
        }
        heard = true;
        if (stream) {
            if (!(*stream)(std::string(buffer, done)))
                return ControlExchange::Done;
            continue;
        }
        reply.append(buffer, done);
        if (complete(reply))
            return ControlExchange::Done;
    }
    if (stream && heard)
        return ControlExchange::Done;
    if (reply.empty()) {
        why = "the program closed the connection without a reply";
        return ControlExchange::Busy;
    }
    return complete(reply) ? ControlExchange::Done : ControlExchange::Failed;
}

} // namespace

ControlExchange exchangeControlRequest(const std::string& request, std::string& reply,
                                       bool (*complete)(const std::string& reply), std::string& why)
{
    return exchange(request, reply, complete, nullptr, why);
}

ControlExchange streamControlRequest(const std::string& request,
                                     const std::function<bool(const std::string& piece)>& received,
                                     std::string& why)
{
    std::string unused;
    return exchange(request, unused, nullptr, &received, why);
}

std::vector<std::string> commandArguments(int, char**)
{
    // The wide command line keeps every character; argv holds only the ANSI code page's.
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> arguments;
    for (int i = 1; wide && i < count; ++i)
        arguments.push_back(toUtf8(wide[i]));
    if (wide)
        LocalFree(wide);
    return arguments;
}

void prepareConsole()
{
    SetConsoleOutputCP(CP_UTF8);
}

} // namespace platform
