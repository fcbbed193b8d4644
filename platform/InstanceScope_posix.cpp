#include "platform/InstanceScope.h"

#include <unistd.h>

namespace platform {

std::string instanceKeySuffix()
{
    return "-" + std::to_string(geteuid());
}

} // namespace platform
