#pragma once
// Server end of one message pipe. Serves clients that connect, write one message and
// are disconnected again, so the same pipe is ready for the next client.
// Use: construct, createPipe once, readMessage any number of times, destroy.
// Not copyable; used by one thread at a time.
#include "platform/PlatformTypes.h"

#include <QString>

#include <cstdint>

class PipeServer
{
public:
    // The largest message a read accepts; callers pass a buffer of this size.
    static constexpr int BufferSize = 1024;

    explicit PipeServer(const QString& name);
    ~PipeServer();
    PipeServer(const PipeServer&) = delete;
    PipeServer& operator=(const PipeServer&) = delete;

    // Creates the pipe instance; false (and logged) when that failed.
    bool createPipe();
    // createPipe again after a refusal: a further refusal with error::AccessDenied (the
    // name is served elsewhere) is not logged; any other failure is, as by createPipe.
    bool retryCreatePipe();
    // The code of the last failed creation; 0 after a successful one.
    std::uint32_t creationError() const { return lastCreationError; }
    // Waits for a client, copies its one message (exactly the bytes read) to the front
    // of `buffer` and disconnects the client. False (and logged) when no client could
    // be connected or no whole message of at most BufferSize bytes arrived; then
    // nothing is copied.
    bool readMessage(char* buffer);
    // Whether createPipe succeeded and the pipe is live.
    bool hasPipe() const { return pipeHandle != platform::kInvalidHandle; }

private:
    QString pipeName;
    platform::NativeHandle pipeHandle = platform::kInvalidHandle;
    std::uint32_t lastCreationError = 0;
};
