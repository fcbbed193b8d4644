#include "app/SingleInstance.h"

#include "platform/InstanceScope.h"

namespace {
QString scopedKey(const char* name)
{
    return QString::fromLatin1(name) + QString::fromStdString(platform::instanceKeySuffix());
}
} // namespace

SingleInstance::SingleInstance()
    : semaphore(scopedKey("QuorvixQtDriverSemaphore"), 1, QSystemSemaphore::Open),
      sharedMemory(scopedKey("QuorvixQtDriverSharedMemory"))
{}

SingleInstance::Outcome SingleInstance::acquire()
{
    semaphore.acquire();
    // A marker left by a copy that was killed survives on some systems. Attaching and
    // detaching again removes it when nobody else holds it; a live copy keeps its own
    // attachment, so the create below still fails for it. The create makes a new key,
    // which may name another abandoned segment (System V keys are short), so a failed
    // create clears once more before it counts as a running copy.
    bool running = false;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (sharedMemory.attach(QSharedMemory::ReadWrite)) {
            sharedMemory.detach();
        }
        if (sharedMemory.create(1, QSharedMemory::ReadWrite)) {
            semaphore.release();
            return Outcome::First;
        }
        running = sharedMemory.error() == QSharedMemory::AlreadyExists;
        if (!running) {
            break;
        }
    }
    semaphore.release();
    return running ? Outcome::AlreadyRunning : Outcome::Failed;
}
