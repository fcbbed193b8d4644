#include "platform/InstanceScope.h"

namespace platform {

std::string instanceKeySuffix()
{
    return {};
}

} // namespace platform
