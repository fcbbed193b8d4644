#include "LogCapture.h"

#include <QMutexLocker>

#include <cstdio>

namespace {

// The capture that receives messages now, guarded so that a message arriving on another
// thread while a capture is being installed or removed never sees a dead object.
QMutex activeMutex;
LogCapture* active = nullptr;

} // namespace

LogCapture::LogCapture(bool echo) : echo(echo)
{
    QMutexLocker lock(&activeMutex);
    outer = active;
    active = this;
    previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    QMutexLocker lock(&activeMutex);
    qInstallMessageHandler(previous);
    active = outer;
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    QMutexLocker lock(&activeMutex);
    // Record in the newest capture and in every enclosing one it echoes to, then give the
    // message to the first handler that is not a capture.
    for (LogCapture* capture = active; capture; capture = capture->outer) {
        {
            QMutexLocker own(&capture->mutex);
            capture->recorded.append(message);
        }
        if (!capture->echo)
            return;
        if (capture->previous != &LogCapture::handler) {
            if (capture->previous)
                capture->previous(type, context, message);
            else
                std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
            return;
        }
    }
}

QStringList LogCapture::lines() const
{
    QMutexLocker lock(&mutex);
    return recorded;
}

bool LogCapture::contains(const QString& text) const
{
    return count(text) > 0;
}

int LogCapture::count(const QString& text) const
{
    QMutexLocker lock(&mutex);
    int n = 0;
    for (const QString& line : recorded)
        n += line.contains(text) ? 1 : 0;
    return n;
}

bool LogCapture::containsLine(const QString& line) const
{
    return countLines(line) > 0;
}

int LogCapture::countLines(const QString& line) const
{
    QMutexLocker lock(&mutex);
    return static_cast<int>(recorded.count(line));
}

void LogCapture::clear()
{
    QMutexLocker lock(&mutex);
    recorded.clear();
}
