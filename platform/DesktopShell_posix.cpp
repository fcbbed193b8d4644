#include "platform/DesktopShell.h"

namespace platform {

void takeForeground(std::uintptr_t) {}

TrayIconPlace trayIconPlace(const std::wstring&, unsigned)
{
    return TrayIconPlace::NotTracked;
}

} // namespace platform
