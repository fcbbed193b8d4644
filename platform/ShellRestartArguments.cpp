#include "platform/ShellActions.h"

namespace platform {

std::string sessionShellRestartArguments(std::uint32_t sessionId)
{
    // taskkill alone would end every session's explorer.exe; it fails for other users'
    // ones, and the "&&" would then leave this user without a shell.
    return "/c taskkill /f /fi \"SESSION eq " + std::to_string(sessionId) +
           "\" /im explorer.exe && start explorer.exe";
}

} // namespace platform
