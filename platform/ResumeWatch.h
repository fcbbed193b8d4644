#pragma once
// Hears from the system that the computer has woken from sleep or hibernation. Plain C++
// without Qt in its interface; create and destroy it on the GUI thread, whose event loop
// delivers the notices.
#include <functional>
#include <memory>
#include <string>

namespace platform {

// Calls `onResume` on the GUI thread for each resume notice. One resume can bring more
// than one notice, so the receiver merges them. Where the system's notices cannot be
// reached, the watch never calls and failure() says why.
class ResumeWatch
{
public:
    explicit ResumeWatch(std::function<void()> onResume);
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
