#pragma once
// How the desktop shell treats the program's windows and tray icon. Plain C++ without Qt.
#include <cstdint>
#include <string>

namespace platform {

// Lets the program take the keyboard focus for `window` (a native window id) from the
// program that has it now, for a window the user asked for from that program. Windows
// otherwise refuses a background process the foreground and only flashes its taskbar
// button; elsewhere the window manager decides, and this does nothing.
void takeForeground(std::uintptr_t window);

enum class TrayIconPlace
{
    Held,
    Missing,
    Unanswered, // the shell did not answer in time (it may be starting): ask again later
    NotTracked
};
// Whether the notification area holds the icon that this process's hidden window titled
// `ownerTitle` registered with id `iconId`. Windows drops an icon added before the
// notification area is ready, so the owner must check; elsewhere the tray host docks
// icons whenever it comes up, and the answer is NotTracked. Returns within about
// 300 ms: the shell's answer is awaited on a thread of its own, and Unanswered stands
// for a shell that has not answered yet, never for a missing icon.
TrayIconPlace trayIconPlace(const std::wstring& ownerTitle, unsigned iconId);

} // namespace platform
