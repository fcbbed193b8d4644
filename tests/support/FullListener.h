#pragma once
// A socket endpoint whose owner has stopped accepting: it listens, but its queue is
// full, so every further connect() finds no room. For the opens that must not wait.
#include <string>
#include <vector>

class FullListener
{
public:
    explicit FullListener(std::string path);
    ~FullListener();
    FullListener(const FullListener&) = delete;
    FullListener& operator=(const FullListener&) = delete;

    // Listening with a full queue.
    bool isFull() const { return full; }

private:
    std::string socketPath;
    int listener = -1;
    std::vector<int> fillers;
    bool full = false;
};
