#include "platform/ShellActions.h"

#include <windows.h>

#include <shellapi.h>

namespace platform {

std::intptr_t openSoundControlPanel()
{
    HINSTANCE result =
        ShellExecuteA(nullptr, "open", "control.exe", "mmsys.cpl", nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<std::intptr_t>(result);
}

ShellCommand audioDeviceRefreshCommand()
{
    // One argument after /c, so that cmd.exe itself interprets the "&&".
    return {"cmd.exe", {"/c", "taskkill /f /im explorer.exe && start explorer.exe"}};
}

} // namespace platform
