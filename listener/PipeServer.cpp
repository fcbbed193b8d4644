#include "listener/PipeServer.h"

#include "platform/NamedPipe.h"

#include <QDebug>

#include <cstring>

PipeServer::PipeServer(const QString& name) : pipeName(name) {}

PipeServer::~PipeServer()
{
    if (pipeHandle == platform::kInvalidHandle)
        return;
    platform::disconnectPipeClient(pipeHandle);
    platform::closePipeServer(pipeHandle);
    pipeHandle = platform::kInvalidHandle;
    qDebug() << "Pipe closed.";
}

bool PipeServer::createPipe()
{
    pipeHandle = platform::createPipeServer(pipeName.toStdWString());
    if (pipeHandle == platform::kInvalidHandle) {
        // Taken before the log line: building it may reset the thread's error code.
        lastCreationError = platform::lastError();
        qDebug() << "Error: Could not create pipe. Error code:" << lastCreationError;
        return false;
    }
    lastCreationError = 0;
    qDebug() << "Pipe created successfully.";
    return true;
}

bool PipeServer::retryCreatePipe()
{
    pipeHandle = platform::createPipeServer(pipeName.toStdWString());
    if (pipeHandle != platform::kInvalidHandle) {
        lastCreationError = 0;
        return true;
    }
    lastCreationError = platform::lastError();
    if (lastCreationError != platform::error::AccessDenied)
        qDebug() << "Error: Could not create pipe. Error code:" << lastCreationError;
    return false;
}

bool PipeServer::readMessage(char* buffer)
{
    // A client that connected before the call is connected all the same.
    if (!platform::connectPipeClient(pipeHandle)) {
        const std::uint32_t code = platform::lastError();
        if (code != platform::error::PipeConnected) {
            qDebug() << "Error connecting to pipe. Error code:" << code;
            // A client that came and went still holds the instance: without the
            // disconnect every later connect fails the same way.
            if (code == platform::error::NoData)
                platform::disconnectPipeClient(pipeHandle);
            return false;
        }
    }
    char local[BufferSize];
    std::uint32_t bytesRead = 0;
    const bool ok = platform::readPipeMessage(pipeHandle, local, BufferSize, &bytesRead);
    const std::uint32_t code = platform::lastError();
    if (ok)
        std::memcpy(buffer, local, bytesRead);
    else
        qDebug() << "Error reading from pipe. Error code:" << code;
    platform::disconnectPipeClient(pipeHandle);
    return ok;
}
