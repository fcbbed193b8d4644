// The control client on the program's named pipe in this session.
#include "platform/ControlClient.h"
#include "platform/ControlReplyReader.h"

#include "platform/ControlPipeTrust.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <shellapi.h>

#include <cstring>
#include <optional>
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

private:
    HANDLE h;
};

// A SID as text ("S-1-5-..."); empty when it cannot be converted.
std::string sidText(PSID sid)
{
    wchar_t* text = nullptr;
    if (!sid || !ConvertSidToStringSidW(sid, &text))
        return {};
    std::string out;
    for (const wchar_t* c = text; *c; ++c)
        out += static_cast<char>(*c); // digits, dashes and "S" only
    LocalFree(text);
    return out;
}

// This process's user SID as text; empty when it cannot be read.
std::string ownUser()
{
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw))
        return {};
    Handle token(raw);
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<BYTE> user(size);
    if (size == 0 || !GetTokenInformation(token.get(), TokenUser, user.data(), size, &size))
        return {};
    return sidText(reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid);
}

// The level of the first mandatory label in a SACL, the one the system enforces; none
// without a label. A label whose SID is not a mandatory level counts as untrusted.
std::optional<unsigned long> labelLevel(PACL sacl)
{
    ACE_HEADER* ace = nullptr;
    for (DWORD i = 0; sacl && i < sacl->AceCount; ++i) {
        if (!GetAce(sacl, i, reinterpret_cast<void**>(&ace)) ||
            ace->AceType != SYSTEM_MANDATORY_LABEL_ACE_TYPE)
            continue;
        PSID sid = &reinterpret_cast<SYSTEM_MANDATORY_LABEL_ACE*>(ace)->SidStart;
        const SID_IDENTIFIER_AUTHORITY mandatory = SECURITY_MANDATORY_LABEL_AUTHORITY;
        if (!IsValidSid(sid) || *GetSidSubAuthorityCount(sid) != 1 ||
            std::memcmp(GetSidIdentifierAuthority(sid), &mandatory, sizeof mandatory) != 0)
            return kUntrustedIntegrity;
        return *GetSidSubAuthority(sid, 0);
    }
    return std::nullopt;
}

// What the pipe object says of its server: its owner and label (both set when the
// server's first instance made the pipe) and its server's session.
ControlPipeFacts pipeFacts(HANDLE pipe)
{
    ControlPipeFacts facts;
    facts.user = ownUser();
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    facts.ownSession = session;
    PSID owner = nullptr;
    PACL sacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(pipe, SE_KERNEL_OBJECT,
                        OWNER_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION, &owner, nullptr,
                        nullptr, &sacl, &descriptor) == ERROR_SUCCESS) {
        facts.owner = sidText(owner);
        facts.label = labelLevel(sacl);
        LocalFree(descriptor);
    }
    ULONG serverSession = 0;
    if (GetNamedPipeServerSessionId(pipe, &serverSession))
        facts.serverSession = serverSession;
    return facts;
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

} // namespace

ControlExchange exchangeOverEndpoint(const std::string& request, ControlReplyReader& reader,
                                     std::string& why)
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
            // A label above this process's integrity refuses it as well as a foreign DACL.
            why = "access to the endpoint denied: it belongs to another user, or to a "
                  "program running with administrator rights";
            return ControlExchange::Untrusted;
        }
        why = "cannot open the endpoint (error " + std::to_string(code) + ")";
        return ControlExchange::Failed;
    }
    Handle pipe(raw);
    // Every check comes before the first byte is sent and before any foreground rights.
    why = controlPipeRefusal(pipeFacts(pipe.get()));
    if (!why.empty())
        return ControlExchange::Untrusted;
    // The program may bring its window to the front for "show", as a tray click would.
    // The pipe is this user's own at medium integrity or above, so whoever serves it may.
    ULONG serverPid = 0;
    if (GetNamedPipeServerProcessId(pipe.get(), &serverPid))
        AllowSetForegroundWindow(serverPid);

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
    char buffer[4096];
    for (;;) {
        const DWORD now = GetTickCount();
        // A stream waits without a limit once it has started: when the program ends, the
        // system closes its end and the read fails with ERROR_BROKEN_PIPE at once.
        const DWORD left = reader.waitsWithoutLimit()              ? INFINITE
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
        if (reader.take(buffer, done))
            return ControlExchange::Done;
    }
    return reader.closed(why);
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

bool writeText(std::FILE* stream, const std::string& text)
{
    const HANDLE handle = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    const int size = static_cast<int>(text.size());
    const int wide = size ? MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0) : 0;
    if (wide <= 0 || !GetConsoleMode(handle, &mode)) {
        // A file or a pipe takes the UTF-8 bytes as they are.
        return std::fwrite(text.data(), 1, text.size(), stream) == text.size() &&
               std::fflush(stream) == 0;
    }
    // A console takes UTF-16 whatever its code page, which stays as the user set it.
    std::wstring utf16(static_cast<std::size_t>(wide), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), size, utf16.data(), wide);
    std::fflush(stream);
    DWORD written = 0;
    return WriteConsoleW(handle, utf16.data(), static_cast<DWORD>(utf16.size()), &written,
                         nullptr) &&
           written == utf16.size();
}

} // namespace platform
