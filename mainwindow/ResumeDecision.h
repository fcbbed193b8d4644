#pragma once
// Which power notices count as a resume. The system's resume notice always does. On a
// Modern Standby machine the display's state stands in for notices that come late or not
// at all, but a display also goes off while the machine merely idles: a display coming on
// counts only after a suspend notice, or after it was off longer than a Modern Standby
// entry takes (kStandbyEntryMs). Plain C++, fed the time in milliseconds of any steady
// clock.
#include "platform/ResumeWatch.h"

#include <cstdint>
#include <string>

class ResumeDecision
{
public:
    // Windows does not bound the entry; its suspend notice comes within seconds of the
    // display going off when it comes at all. Past a minute off the machine may have
    // slept without a word.
    static constexpr std::int64_t kStandbyEntryMs = 60000;

    // Takes one notice; returns what made it a resume, in words for the log, or an
    // empty text when it is none.
    std::string take(platform::PowerNotice notice, std::int64_t nowMs);

private:
    bool suspended = false;
    bool displayOff = false;
    std::int64_t offSinceMs = 0;
};
