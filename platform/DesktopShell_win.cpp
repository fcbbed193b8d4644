#include "platform/DesktopShell.h"

#include <windows.h>

#include <shellapi.h>

namespace platform {

void takeForeground(std::uintptr_t window)
{
    const HWND target = reinterpret_cast<HWND>(window);
    const HWND foreground = GetForegroundWindow();
    if (!target || foreground == target)
        return;
    // Windows grants the foreground to the thread that owns the user's input. Sharing
    // that thread's input state for this one call lets the request through.
    const DWORD self = GetCurrentThreadId();
    const DWORD owner = foreground ? GetWindowThreadProcessId(foreground, nullptr) : 0;
    const bool attached = owner && owner != self && AttachThreadInput(owner, self, TRUE);
    SetForegroundWindow(target);
    if (attached)
        AttachThreadInput(owner, self, FALSE);
}

TrayIconPlace trayIconPlace(const std::wstring& ownerTitle, unsigned iconId)
{
    struct Search
    {
        const std::wstring& title;
        HWND found;
    } search{ownerTitle, nullptr};
    EnumWindows(
        [](HWND window, LPARAM context) -> BOOL {
            auto* search = reinterpret_cast<Search*>(context);
            DWORD process = 0;
            GetWindowThreadProcessId(window, &process);
            if (process != GetCurrentProcessId())
                return TRUE;
            wchar_t title[64] = {};
            GetWindowTextW(window, title, 64);
            if (search->title != title)
                return TRUE;
            search->found = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    if (!search.found)
        return TrayIconPlace::Missing;
    // A modification that changes nothing succeeds only for an icon the shell holds,
    // shown or in the overflow area alike.
    NOTIFYICONDATAW probe = {};
    probe.cbSize = sizeof probe;
    probe.hWnd = search.found;
    probe.uID = iconId;
    return Shell_NotifyIconW(NIM_MODIFY, &probe) ? TrayIconPlace::Held : TrayIconPlace::Missing;
}

} // namespace platform
