#include "app/SingleInstance.h"

SingleInstance::SingleInstance()
    : semaphore(QStringLiteral("QuorvixQtDriverSemaphore"), 1, QSystemSemaphore::Open),
      sharedMemory(QStringLiteral("QuorvixQtDriverSharedMemory"))
{
}

SingleInstance::Outcome SingleInstance::acquire()
{
    semaphore.acquire();
    // A marker left by a copy that was killed survives on some systems. Attaching and
    // detaching again removes it when nobody else holds it; a live copy keeps its own
    // attachment, so the create below still fails for it.
    if (sharedMemory.attach(QSharedMemory::ReadWrite)) {
        sharedMemory.detach();
    }
    if (sharedMemory.create(1, QSharedMemory::ReadWrite)) {
        semaphore.release();
        return Outcome::First;
    }
    const bool running = sharedMemory.error() == QSharedMemory::AlreadyExists;
    semaphore.release();
    return running ? Outcome::AlreadyRunning : Outcome::Failed;
}
