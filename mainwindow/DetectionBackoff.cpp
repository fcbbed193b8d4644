#include "mainwindow/DetectionBackoff.h"

#include <algorithm>

bool DetectionBackoff::mayProbe(std::size_t heldRequests)
{
    if (left > 0)
        --left;
    return left == 0 && heldRequests == 0;
}

bool DetectionBackoff::probed(bool timedOut)
{
    const int before = wait;
    wait = timedOut ? std::min(wait * 2, kLongestWaitTicks) : 1;
    left = wait;
    return wait != before;
}
