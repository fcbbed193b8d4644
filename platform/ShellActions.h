#pragma once
// The two shell actions behind the tray menu. Plain C++ without Qt.
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Opens the system's sound control panel. Returns a ShellExecuteA-style value:
// greater than 32 on success, 32 or less on failure.
std::intptr_t openSoundControlPanel();

// The command that restarts what re-reads the audio devices: on Windows the shell
// (cmd.exe /c "taskkill ... && start explorer.exe"), elsewhere the sound server.
struct ShellCommand
{
    std::string program;
    std::vector<std::string> arguments;
};
ShellCommand audioDeviceRefreshCommand();

} // namespace platform
