#pragma once
// The two shell actions behind the tray menu. Plain C++ without Qt.
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Opens the system's sound control panel. Returns a ShellExecuteA-style value:
// greater than 32 on success, 32 or less on failure.
std::intptr_t openSoundControlPanel();

// The command that restarts what re-reads the audio devices: on Windows the shell of
// the program's own session (cmd.exe /c taskkill ... && start explorer.exe), elsewhere
// the sound server.
struct ShellCommand
{
    std::string program;
    std::vector<std::string> arguments;
    // When not empty, the whole command line after the program, passed exactly as it
    // stands: cmd.exe does not read the C runtime quoting that `arguments` would get.
    std::string nativeArguments;
};
ShellCommand audioDeviceRefreshCommand();

// cmd.exe's command line that ends the Windows shell of session `sessionId` only and,
// if that worked, starts a new one. Other users' shells are never touched.
std::string sessionShellRestartArguments(std::uint32_t sessionId);

} // namespace platform
