#include "platform/DesktopShell.h"

#include <windows.h>

#include <shellapi.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace platform {
namespace {

// How long the caller waits for the shell's answer. Shell_NotifyIconW itself waits for
// a busy shell for seconds, which on the GUI thread would stall input.
constexpr auto kProbeWait = std::chrono::milliseconds(300);

// One NIM_MODIFY probe, shared by the caller and the thread that waits for the shell.
struct Probe
{
    NOTIFYICONDATAW data = {};
    std::mutex lock;
    std::condition_variable answered;
    bool done = false;
    TrayIconPlace place = TrayIconPlace::Unanswered;
};

// At most one probe waits for the shell at a time; a later check while it does is
// unanswered as well.
std::atomic<bool> probing{false};

TrayIconPlace askShell(const NOTIFYICONDATAW& probe)
{
    NOTIFYICONDATAW data = probe;
    // A modification that changes nothing succeeds only for an icon the shell holds,
    // shown or in the overflow area alike. A shell that timed out may hold it all the same.
    if (Shell_NotifyIconW(NIM_MODIFY, &data))
        return TrayIconPlace::Held;
    return GetLastError() == ERROR_TIMEOUT ? TrayIconPlace::Unanswered : TrayIconPlace::Missing;
}

} // namespace

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
    if (probing.exchange(true))
        return TrayIconPlace::Unanswered;
    auto probe = std::make_shared<Probe>();
    probe->data.cbSize = sizeof probe->data;
    probe->data.hWnd = search.found;
    probe->data.uID = iconId;
    try {
        std::thread([probe] {
            const TrayIconPlace place = askShell(probe->data);
            {
                const std::lock_guard<std::mutex> hold(probe->lock);
                probe->place = place;
                probe->done = true;
            }
            probe->answered.notify_all();
            probing = false;
        }).detach();
    } catch (const std::system_error&) {
        probing = false;
        return TrayIconPlace::Unanswered;
    }
    std::unique_lock<std::mutex> hold(probe->lock);
    probe->answered.wait_for(hold, kProbeWait, [&] { return probe->done; });
    return probe->place;
}

} // namespace platform
