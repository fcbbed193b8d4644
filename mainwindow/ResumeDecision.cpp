#include "mainwindow/ResumeDecision.h"

using platform::PowerNotice;

std::string ResumeDecision::take(PowerNotice notice, std::int64_t nowMs)
{
    switch (notice) {
    case PowerNotice::Suspend:
        suspended = true;
        return {};
    case PowerNotice::Resume:
        suspended = false;
        return "the system's resume notice";
    case PowerNotice::DisplayOff:
        // A repeated report keeps the time the display first went off.
        if (!displayOff)
            offSinceMs = nowMs;
        displayOff = true;
        return {};
    case PowerNotice::DisplayOn:
        break;
    }
    // The registration's first report (the display already on) is no change.
    if (!displayOff)
        return {};
    displayOff = false;
    if (suspended) {
        suspended = false;
        return "the display coming on after a suspend notice";
    }
    const std::int64_t offMs = nowMs - offSinceMs;
    if (offMs > kStandbyEntryMs)
        return "the display coming on after " + std::to_string(offMs / 1000) + " s off";
    return {};
}
