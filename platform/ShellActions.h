#pragma once
// The two shell actions behind the tray menu. Plain C++ without Qt.
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Opens the system's sound control panel (on Windows control.exe by its full path in the
// system folder). Returns a ShellExecute-style value: greater than 32 on success, 32 or
// less on failure.
std::intptr_t openSoundControlPanel();

// The command that restarts what re-reads the audio devices: on Windows the shell of
// the program's own session (cmd.exe /d /s /c "taskkill ... && start explorer.exe", each
// program named by its full path in the Windows folders), elsewhere the sound server.
struct ShellCommand
{
    std::string program;
    std::vector<std::string> arguments;
    // When not empty, the whole command line after the program, passed exactly as it
    // stands: cmd.exe does not read the C runtime quoting that `arguments` would get.
    std::string nativeArguments;
};
ShellCommand audioDeviceRefreshCommand();

// After a restart command that failed or timed out: when the session is left without a
// shell (one taskkill ended, but the command never started the new one), starts
// Explorer, so the user keeps a taskbar. True when it started one. Off Windows there is
// no such shell, and this does nothing.
bool restoreSessionShell();

} // namespace platform
