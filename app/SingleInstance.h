#pragma once
// One running copy at a time: a one-byte shared memory segment marks the running copy,
// and a system semaphore makes the check-and-create atomic between copies that start
// together. The marker lives as long as this object; it only excludes copies of the
// same user.
#include <QSharedMemory>
#include <QSystemSemaphore>

class SingleInstance
{
public:
    enum class Outcome
    {
        First,
        AlreadyRunning,
        Failed
    };

    SingleInstance();
    // Takes the semaphore, checks for a running copy and creates the marker if none;
    // the semaphore is released again on every outcome.
    Outcome acquire();

private:
    QSystemSemaphore semaphore;
    QSharedMemory sharedMemory;
};
