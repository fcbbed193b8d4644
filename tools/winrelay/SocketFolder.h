#pragma once
// The endpoint folder as the device simulator and the Linux program see it, and the
// non-blocking connect that the Linux program's open does, with its error codes.
#include <cstdint>
#include <string>

namespace socketfolder {

inline constexpr int kBusCount = 16;

// $XDG_RUNTIME_DIR/quorvix, or /tmp/runtime-<user>/quorvix when it is unset.
std::string path();

// Bit N set when QuorvixAudioBusN in the folder is a socket file.
std::uint32_t presentBuses();

// A name the relay may join to: a plain file name in the folder.
bool isValidName(const std::string& name);

// Connects to the named socket without blocking. The connected descriptor (non-blocking),
// or -1 with the Windows error code the Linux program's open gives in `error`
// (2 missing or nobody listening, 170 listener's queue full, 5 no access, 31 else).
int connectTo(const std::string& name, std::uint32_t& error);

} // namespace socketfolder
