#include "platform/ControlPipeTrust.h"

namespace platform {
namespace {

// Who, other than this user, may own the pipe, in the words of a refusal.
std::string foreignOwner(const std::string& owner)
{
    if (owner == "S-1-5-32-544")
        return "the endpoint is owned by the Administrators group: a program running with "
               "administrator rights made it, not your account";
    if (owner == "S-1-5-18" || owner == "S-1-5-19" || owner == "S-1-5-20")
        return "the endpoint is owned by a service account (" + owner + ")";
    return "the endpoint belongs to another user (" + owner + ")";
}

std::string levelName(unsigned long level)
{
    if (level < kLowIntegrity)
        return "untrusted";
    if (level == kLowIntegrity)
        return "low";
    return "below medium";
}

} // namespace

std::string controlPipeRefusal(const ControlPipeFacts& facts)
{
    if (facts.user.empty())
        return "this process's own account cannot be read";
    if (facts.owner.empty())
        return "the endpoint's owner and integrity label cannot be read";
    if (facts.owner != facts.user)
        return foreignOwner(facts.owner);
    // An object without a label counts as medium. One below medium was made by a process
    // of this user that runs sandboxed, such as a browser's helper.
    if (facts.label && *facts.label < kMediumIntegrity)
        return "the endpoint has " + levelName(*facts.label) +
               " integrity: a sandboxed process of your account made it";
    if (!facts.serverSession)
        return "the endpoint's session cannot be read";
    if (*facts.serverSession != facts.ownSession)
        return "the endpoint is served from another session (" +
               std::to_string(*facts.serverSession) + ", this is " +
               std::to_string(facts.ownSession) + ")";
    return {};
}

} // namespace platform
