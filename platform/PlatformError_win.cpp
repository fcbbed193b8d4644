#include "platform/PlatformTypes.h"

#include <windows.h>

namespace platform {

std::uint32_t lastError()
{
    return GetLastError();
}

} // namespace platform
