#include "PollLoop.h"

#include <cerrno>
#include <poll.h>
#include <utility>
#include <vector>

void PollLoop::watch(int fd, short events, Callback callback)
{
    entries[fd] = Entry{events, nextGeneration++, std::move(callback)};
}

void PollLoop::setEvents(int fd, short events)
{
    const auto it = entries.find(fd);
    if (it != entries.end())
        it->second.events = events;
}

void PollLoop::unwatch(int fd)
{
    entries.erase(fd);
}

bool PollLoop::runOnce(int timeoutMs)
{
    std::vector<pollfd> fds;
    std::vector<unsigned long> generations;
    for (const auto& [fd, entry] : entries) {
        fds.push_back(pollfd{fd, entry.events, 0});
        generations.push_back(entry.generation);
    }
    const int ready = poll(fds.data(), fds.size(), timeoutMs);
    if (ready < 0)
        return errno == EINTR;
    for (std::size_t i = 0; i < fds.size(); ++i) {
        if (fds[i].revents == 0)
            continue;
        const auto it = entries.find(fds[i].fd);
        // A descriptor closed and reused during this round belongs to someone else now.
        if (it == entries.end() || it->second.generation != generations[i])
            continue;
        const Callback callback = it->second.callback;
        callback(fds[i].revents);
    }
    return true;
}
