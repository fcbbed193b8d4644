#include "settings/AsioResetNotice.h"

#include "platform/NamedPipe.h"

#include <QDebug>

void AsioResetNotice::send()
{
    const platform::NativeHandle pipe =
        platform::openPipeClient(L"\\\\.\\pipe\\QuorvixPannelToASIO");
    if (pipe == platform::kInvalidHandle) {
        qDebug() << "Error: Could not open pipe. Error code:" << platform::lastError();
        return;
    }
    qDebug() << "Pipe opened successfully.";
    const char notice = '1';
    std::uint32_t written = 0;
    if (platform::writePipeMessage(pipe, &notice, 1, &written))
        qDebug() << "ASIO reset signal sent successfully.";
    else
        qDebug() << "Error: Failed to send ASIO reset signal. Error code:" << platform::lastError();
    platform::closePipeClient(pipe);
    qDebug() << "设置通知ASIO逻辑";
}
