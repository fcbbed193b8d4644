#include "listener/ThreadSettingsPip.h"

#include "listener/OpenWindowRequest.h"
#include "listener/PipeServer.h"
#include "platform/NamedPipe.h"

#include <QDeadlineTimer>
#include <QDebug>

#include <cstring>

namespace {
const QString kInboundPipe = QStringLiteral("\\\\.\\pipe\\QuorvixASIOToPannel");
constexpr int kPauseMs = 100;
// How often the destructor repeats its wake-up while a real client holds the pipe.
constexpr int kWakeRetryMs = 20;
} // namespace

ThreadSettingsPip::ThreadSettingsPip(QObject* parent, int retryMs)
    : QThread(parent), retryMs(retryMs), pipeServer(std::make_unique<PipeServer>(kInboundPipe))
{
    pipeReady = pipeServer->createPipe();
    if (!pipeReady)
        qDebug() << "Failed to create named pipe in ThreadSettingsPip.";
    qDebug() << "ThreadSettingsPip initialized.";
}

ThreadSettingsPip::~ThreadSettingsPip()
{
    requestInterruption();
    if (isRunning()) {
        wakeListener();
        while (!wait(QDeadlineTimer(kWakeRetryMs)))
            wakeListener();
    }
    wait(QDeadlineTimer(QDeadlineTimer::Forever));
    if (loopStarted)
        platform::releasePipeThread(loopThread);
    pipeServer.reset();
}

void ThreadSettingsPip::wakeListener()
{
    if (!pipeReady)
        return; // the loop only pauses and sees the stop request by itself
    const platform::NativeHandle client = platform::openPipeClient(kInboundPipe.toStdWString());
    platform::closePipeClient(client);
    // While a client holds the only pipe instance the connect above finds it busy.
    if (loopStarted)
        platform::cancelPipeWait(loopThread);
}

void ThreadSettingsPip::run()
{
    loopThread = platform::currentPipeThread();
    loopStarted = true;
    if (!pipeReady && pipeServer->creationError() == platform::error::AccessDenied)
        waitForPipe();
    char buffer[PipeServer::BufferSize];
    while (!isInterruptionRequested()) {
        qDebug() << "ThreadSettingsPip is running waiting Asio Info...";
        std::memset(buffer, 0, sizeof buffer);
        if (pipeServer->readMessage(buffer)) {
            const OpenWindowRequest request = OpenWindowRequest::decode(buffer, sizeof buffer);
            const std::uint32_t* words = request.words;
            qDebug() << "Received data from pipe:" << words[0] << words[1] << words[2] << words[3]
                     << words[4];
            if (request.opensWindow()) {
                qDebug() << "Open Window Signal from ASIO.";
                emit progressUpdated(1);
            }
        } else {
            qDebug() << "No data received from pipe.";
        }
        if (isInterruptionRequested())
            break;
        msleep(kPauseMs);
    }
}

void ThreadSettingsPip::waitForPipe()
{
    qDebug() << "The pipe is held by another session, which serves the ASIO driver; trying "
                "again every 5 s.";
    while (!isInterruptionRequested()) {
        for (int waited = 0; waited < retryMs && !isInterruptionRequested(); waited += kPauseMs)
            msleep(kPauseMs);
        if (isInterruptionRequested())
            return;
        if (pipeServer->retryCreatePipe()) {
            pipeReady = true;
            qDebug() << "Pipe created: this session now serves the ASIO driver.";
            return;
        }
        if (pipeServer->creationError() != platform::error::AccessDenied)
            return; // logged; the loop then fails at the connect as without a pipe
    }
}
