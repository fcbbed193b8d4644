#include "platform/ResumeWatch.h"

#include <cstring>

#include <windows.h>

#include <powrprof.h>

namespace {

const wchar_t kWindowClass[] = L"QuorvixResumeWatch";

// The display's power state as a power setting (GUID_CONSOLE_DISPLAY_STATE); its data is
// a DWORD: 0 off, 1 on, 2 dimmed.
const GUID kConsoleDisplayState = {
    0x6fe69556, 0x704a, 0x47a0, {0x8f, 0x24, 0xc2, 0x8d, 0x93, 0x6f, 0xda, 0x47}};
constexpr DWORD kDisplayOff = 0;
constexpr DWORD kDisplayOn = 1;

// Whether the computer sleeps in Modern Standby (S0 low-power idle) rather than S3.
bool sleepsInModernStandby()
{
    POWER_PLATFORM_INFORMATION info{};
    const NTSTATUS status =
        CallNtPowerInformation(PlatformInformation, nullptr, 0, &info, sizeof info);
    return status == 0 && info.AoAc;
}

} // namespace

namespace platform {

// A hidden top-level window of its own: Windows broadcasts WM_POWERBROADCAST to top-level
// windows only, and the program may have none of its own that is sure to get it (its main
// window is created hidden and may never get a native window, and Qt's tray icon window,
// though a hidden top-level window, belongs to Qt, which does not pass the broadcast on).
// On a Modern Standby machine the suspend and resume broadcasts can come late or not at
// all (for a while after log-on, or after a full-screen app ran), so there the display's
// state is passed on too, for the receiver to judge.
struct ResumeWatch::Listener
{
    explicit Listener(std::function<void(PowerNotice)> onNotice) : onNotice(std::move(onNotice)) {}

    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        auto* self = reinterpret_cast<Listener*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (message != WM_POWERBROADCAST || !self)
            return DefWindowProcW(window, message, wParam, lParam);
        if (wParam == PBT_APMSUSPEND) {
            self->onNotice(PowerNotice::Suspend);
        } else if (wParam == PBT_APMRESUMEAUTOMATIC) {
            self->onNotice(PowerNotice::Resume);
        } else if (wParam == PBT_POWERSETTINGCHANGE && lParam) {
            const auto* setting = reinterpret_cast<const POWERBROADCAST_SETTING*>(lParam);
            if (IsEqualGUID(setting->PowerSetting, kConsoleDisplayState) &&
                setting->DataLength == sizeof(DWORD)) {
                DWORD state = 0;
                std::memcpy(&state, setting->Data, sizeof state);
                // Dimmed is neither: the display is still on for the user.
                if (state == kDisplayOff)
                    self->onNotice(PowerNotice::DisplayOff);
                else if (state == kDisplayOn)
                    self->onNotice(PowerNotice::DisplayOn);
            }
        }
        return TRUE;
    }

    std::function<void(PowerNotice)> onNotice;
    HWND window = nullptr;
    HPOWERNOTIFY displayNotice = nullptr;
    std::string failure;
};

ResumeWatch::ResumeWatch(std::function<void(PowerNotice)> onNotice)
    : listener(std::make_unique<Listener>(std::move(onNotice)))
{
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &Listener::windowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kWindowClass;
    if (!RegisterClassExW(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        listener->failure = "window class error " + std::to_string(GetLastError());
        return;
    }
    // Top-level (no parent, not HWND_MESSAGE) and never shown.
    listener->window =
        CreateWindowExW(WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE, kWindowClass, L"Quorvix resume watch",
                        WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
    if (!listener->window) {
        listener->failure = "window error " + std::to_string(GetLastError());
        return;
    }
    SetWindowLongPtrW(listener->window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(listener.get()));
    if (sleepsInModernStandby()) {
        listener->displayNotice = RegisterPowerSettingNotification(
            listener->window, &kConsoleDisplayState, DEVICE_NOTIFY_WINDOW_HANDLE);
    }
}

const std::string& ResumeWatch::failure() const
{
    return listener->failure;
}

ResumeWatch::~ResumeWatch()
{
    if (listener->displayNotice)
        UnregisterPowerSettingNotification(listener->displayNotice);
    if (listener->window)
        DestroyWindow(listener->window);
}

} // namespace platform
