#pragma once
// Hears from the system that the computer has woken from sleep or hibernation. Plain C++
// without Qt in its interface; create and destroy it on the GUI thread, whose event loop
// delivers the notices.
#include <functional>
#include <memory>
#include <string>

namespace platform {

// The system's power notices, as the watch passes them on.
enum class PowerNotice
{
    Suspend,    // the computer is about to sleep
    Resume,     // the computer has resumed
    DisplayOff, // the console display went off (Modern Standby machines only)
    DisplayOn   // the console display came on (Modern Standby machines only)
};

// Calls `onNotice` on the GUI thread for each power notice. One resume can bring more
// than one notice, and a display can go off without any sleep, so the receiver decides
// what counts. Where the system's notices cannot be reached, the watch never calls and
// failure() says why.
class ResumeWatch
{
public:
    explicit ResumeWatch(std::function<void(PowerNotice)> onNotice);
    ~ResumeWatch();
    ResumeWatch(const ResumeWatch&) = delete;
    ResumeWatch& operator=(const ResumeWatch&) = delete;

    // Why resume notices cannot be heard; empty while they can.
    const std::string& failure() const;

private:
    struct Listener;
    std::unique_ptr<Listener> listener;
};

} // namespace platform
