#pragma once
// When the main window's detection may probe the driver. A driver that holds every
// request costs the GUI thread one request bound (about 2 s) per probe, so a probe the
// driver did not answer in time doubles the wait before the next one: 2, 4, 8, 16 and
// then 30 detection ticks (seconds in the program). Any answer brings back one probe per
// tick. While a request of ours is still held by the driver no probe is made at all, so
// held requests never pile up. Counted in ticks, so a faster timer keeps the schedule.
#include <cstddef>

class DetectionBackoff
{
public:
    static constexpr int kLongestWaitTicks = 30;

    // Called once per detection tick: true when this tick may open the device and probe,
    // that is the wait is over and `heldRequests` (requests of ours the driver still
    // holds) is 0. Ticks spent waiting for held requests count towards the wait.
    bool mayProbe(std::size_t heldRequests);
    // The probe's outcome: `timedOut` when the driver did not answer within the bound.
    // Returns true when this changed the wait, so the caller may say so once.
    bool probed(bool timedOut);
    // Ticks from one probe to the next: 1 while the driver answers.
    int waitTicks() const { return wait; }

private:
    int wait = 1;
    int left = 0;
};
