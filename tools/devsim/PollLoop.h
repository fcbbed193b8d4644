#pragma once
// A small poll(2) loop: callbacks per watched descriptor. Watching and unwatching from
// inside a callback is safe; a descriptor unwatched during a round gets no stale events.
#include <functional>
#include <map>

class PollLoop
{
public:
    using Callback = std::function<void(short revents)>;

    void watch(int fd, short events, Callback callback);
    void setEvents(int fd, short events);
    void unwatch(int fd);

    // Waits up to timeoutMs for events and dispatches them; false when poll failed.
    bool runOnce(int timeoutMs);

private:
    struct Entry
    {
        short events = 0;
        unsigned long generation = 0;
        Callback callback;
    };
    std::map<int, Entry> entries;
    unsigned long nextGeneration = 1;
};
