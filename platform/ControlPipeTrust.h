#pragma once
// Whether quorvix-ctl may talk to the server of the control pipe it opened, decided from
// what the pipe object itself says: its owner, its integrity label and its server's
// session. A process id is not asked, since it can be reused once its process ended.
// Plain C++, without system headers, so every case can be checked on any system.
#include <optional>
#include <string>

namespace platform {

// Integrity levels: the relative ids of the mandatory label SIDs (S-1-16-<rid>).
constexpr unsigned long kUntrustedIntegrity = 0x0000;
constexpr unsigned long kLowIntegrity = 0x1000;
constexpr unsigned long kMediumIntegrity = 0x2000;
constexpr unsigned long kHighIntegrity = 0x3000;
constexpr unsigned long kSystemIntegrity = 0x4000;

struct ControlPipeFacts
{
    std::string owner;                  // the pipe's owner SID ("S-1-5-..."); empty: unreadable
    std::optional<unsigned long> label; // its mandatory label's level; none: no label
    std::optional<unsigned long> serverSession; // none: unreadable
    unsigned long ownSession = 0;
    std::string user; // this process's user SID; empty: unreadable
};

// Empty when the server may be sent a request and given foreground rights: the pipe is
// owned by this user, carries no label or one of at least medium integrity, and is
// served from this session. Otherwise the refusal, naming its cause in a few words.
std::string controlPipeRefusal(const ControlPipeFacts& facts);

} // namespace platform
