#pragma once
// Who a running copy of the program excludes. Plain C++ without Qt.
#include <string>

namespace platform {

// Appended to the single-instance key names. Windows keeps such names apart per login
// session, so nothing is added there; elsewhere the names are shared by every user of
// the machine, so the user's id is added and users never see each other's copies.
std::string instanceKeySuffix();

} // namespace platform
