#include "settings/AsioResetNotice.h"

#include "platform/NamedPipe.h"

#include <QDebug>

void AsioResetNotice::send()
{
    const platform::NativeHandle pipe =
        platform::openPipeClient(L"\\\\.\\pipe\\QuorvixPannelToASIO");
    if (pipe == platform::kInvalidHandle) {
        // Taken before the log line: building it may reset the thread's error code.
        const std::uint32_t code = platform::lastError();
        qDebug() << "Error: Could not open pipe. Error code:" << code;
        return;
    }
    qDebug() << "Pipe opened successfully.";
    const char notice = '1';
    std::uint32_t written = 0;
    const bool sent = platform::writePipeMessage(pipe, &notice, 1, &written);
    const std::uint32_t code = platform::lastError();
    if (sent)
        qDebug() << "ASIO reset signal sent successfully.";
    else
        qDebug() << "Error: Failed to send ASIO reset signal. Error code:" << code;
    platform::closePipeClient(pipe);
    qDebug() << "设置通知ASIO逻辑";
}
