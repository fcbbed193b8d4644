#include "platform/ShellActions.h"

#include <windows.h>

#include <shellapi.h>

#include <string>

namespace platform {

namespace {

// How long a shell window's process may take to end after a forced taskkill.
constexpr DWORD kShellEndingMs = 500;

// The system folder (for example C:\Windows\System32) or the shared Windows folder,
// empty when it cannot be read.
std::wstring folder(UINT(WINAPI* query)(LPWSTR, UINT))
{
    wchar_t path[MAX_PATH];
    const UINT length = query(path, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(path, length) : std::wstring();
}

std::wstring explorerPath()
{
    const std::wstring windows = folder(&GetSystemWindowsDirectoryW);
    return windows.empty() ? windows : windows + L"\\explorer.exe";
}

std::string utf8(const std::wstring& text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string out(size > 0 ? size : 0, '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), out.data(), size, nullptr,
                            nullptr);
    return out;
}

// Whether the session has a shell that is not being ended.
bool sessionHasShell()
{
    const HWND shell = GetShellWindow();
    if (!shell)
        return false;
    DWORD process = 0;
    GetWindowThreadProcessId(shell, &process);
    HANDLE handle = OpenProcess(SYNCHRONIZE, FALSE, process);
    if (!handle)
        return true; // cannot tell: a shell window is there
    const bool ended = WaitForSingleObject(handle, kShellEndingMs) == WAIT_OBJECT_0;
    CloseHandle(handle);
    return !ended;
}

} // namespace

std::intptr_t openSoundControlPanel()
{
    // By its full path, as the shell restart names its programs: a bare name would be
    // looked for in the program's own folder and the current folder first.
    const std::wstring system = folder(&GetSystemDirectoryW);
    if (system.empty())
        return SE_ERR_FNF;
    const std::wstring control = system + L"\\control.exe";
    HINSTANCE result =
        ShellExecuteW(nullptr, L"open", control.c_str(), L"mmsys.cpl", nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<std::intptr_t>(result);
}

ShellCommand audioDeviceRefreshCommand()
{
    const std::wstring system = folder(&GetSystemDirectoryW);
    const std::wstring explorer = explorerPath();
    DWORD session = 0;
    // Without the system folder no program is named: a bare name would be looked for in
    // the program's own folder first. Without its own session the command must not fall
    // back to every session's shell; it fails and is logged as a failure.
    if (system.empty() || explorer.empty())
        return {};
    const std::string cmd = utf8(system + L"\\cmd.exe");
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &session))
        return {cmd, {}, "/d /c exit 1"};
    // /d: no AutoRun command of the registry runs first. /s: cmd.exe strips only the
    // outer quotes, so the quoted paths and the filter stay as they are. taskkill alone
    // would end every session's explorer.exe; it fails for other users' ones, and the
    // "&&" would then leave this user without a shell.
    return {cmd,
            {},
            "/d /s /c \"\"" + utf8(system) + "\\taskkill.exe\" /f /fi \"SESSION eq " +
                std::to_string(session) + "\" /im explorer.exe && start \"\" \"" + utf8(explorer) +
                "\"\""};
}

bool restoreSessionShell()
{
    if (sessionHasShell())
        return false;
    const std::wstring explorer = explorerPath();
    if (explorer.empty())
        return false;
    std::wstring commandLine = L"\"" + explorer + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(explorer.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &started))
        return false;
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    return true;
}

} // namespace platform
