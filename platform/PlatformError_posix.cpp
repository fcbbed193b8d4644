#include "platform/PlatformTypes.h"
#include "platform/PosixSupport.h"

namespace platform {
namespace {
thread_local std::uint32_t lastErrorCode = 0;
}

std::uint32_t lastError()
{
    return lastErrorCode;
}

void setLastError(std::uint32_t code)
{
    lastErrorCode = code;
}

} // namespace platform
