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

ThreadSettingsPip::ThreadSettingsPip(QObject* parent)
    : QThread(parent), pipeServer(std::make_unique<PipeServer>(kInboundPipe))
{
    if (!pipeServer->createPipe())
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
    pipeServer.reset();
}

void ThreadSettingsPip::wakeListener()
{
    if (!pipeServer->hasPipe())
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
