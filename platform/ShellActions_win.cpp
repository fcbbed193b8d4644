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
    DWORD session = 0;
    // Without its own session the command must not fall back to every session's shell.
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &session))
        return {"cmd.exe", {}, "/c exit 1"};
    return {"cmd.exe", {}, sessionShellRestartArguments(session)};
}

} // namespace platform
