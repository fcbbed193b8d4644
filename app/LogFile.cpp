#include "app/LogFile.h"

#include "report/ProgramFolders.h"

#include <QAtomicPointer>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>
#include <QThread>

#include <cstdio>
#include <utility>

namespace {

// What the queue may hold while the writer is behind: a burst of messages, bounded.
constexpr qsizetype kQueueLimit = 1024 * 1024;

// The installed LogFile and the handler it passes messages to. The handler stays known
// after the LogFile is gone, for a message that was on its way while it was removed.
QMutex activeMutex;
LogFile* active = nullptr;
QtMessageHandler chained = nullptr;
QAtomicPointer<QThread> writerThread;

const char* levelName(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "debug";
    case QtInfoMsg:
        return "info";
    case QtWarningMsg:
        return "warning";
    case QtCriticalMsg:
        return "critical";
    case QtFatalMsg:
        return "fatal";
    }
    return "debug";
}

} // namespace

LogFile::LogFile(const QString& folder, qint64 limit)
    : path(folder + QLatin1Char('/') + QLatin1String(programfolders::kLogFileName)),
      olderPath(folder + QLatin1Char('/') + QLatin1String(programfolders::kOlderLogFileName)),
      limit(limit)
{
    writer = QThread::create([this] { run(); });
    writer->setObjectName(QStringLiteral("log file"));
    writerThread.storeRelease(writer);
    writer->start(QThread::LowPriority);
    QMutexLocker lock(&activeMutex);
    active = this;
    previous = qInstallMessageHandler(&LogFile::handler);
    chained = previous;
}

LogFile::~LogFile()
{
    {
        QMutexLocker lock(&activeMutex);
        qInstallMessageHandler(previous);
        active = nullptr;
    }
    {
        QMutexLocker lock(&mutex);
        stopping = true;
        wake.wakeAll();
    }
    writer->wait();
    writerThread.storeRelease(nullptr);
    delete writer;
}

void LogFile::handler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    // Qt's complaints about a log file it cannot write come from the writer thread and
    // are dropped: the debug stream stays as it would be without the file. Checked
    // before the lock, which a fatal message holds while it waits for the writer.
    if (QThread::currentThread() == writerThread.loadAcquire())
        return;
    QtMessageHandler next = nullptr;
    {
        QMutexLocker lock(&activeMutex);
        next = chained;
        if (active) {
            active->enqueue(type, context, message);
            // The previous handler ends the process after a fatal message.
            if (type == QtFatalMsg)
                active->flush();
        }
    }
    if (next)
        next(type, context, message);
    else
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

QByteArray LogFile::stamped(QtMsgType type, const QString& text) const
{
    return QDateTime::currentDateTime().toString(Qt::ISODateWithMs).toUtf8() + ' ' +
           levelName(type) + ' ' + text.toUtf8() + '\n';
}

void LogFile::enqueue(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    QByteArray line = stamped(type, qFormatLogMessage(type, context, message));
    QMutexLocker lock(&mutex);
    // A writer that cannot keep up loses lines, and the file says how many.
    if (queue.size() + line.size() > kQueueLimit) {
        ++droppedLines;
        return;
    }
    if (droppedLines > 0) {
        queue += stamped(QtWarningMsg,
                         QStringLiteral("log file: %1 lines not written").arg(droppedLines));
        droppedLines = 0;
    }
    queue += line;
    ++queuedLines;
    wake.wakeOne();
}

bool LogFile::flush(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    QMutexLocker lock(&mutex);
    const quint64 target = queuedLines;
    while (writtenLines < target) {
        if (!drained.wait(&mutex, deadline))
            return writtenLines >= target;
    }
    return true;
}

void LogFile::run()
{
    QMutexLocker lock(&mutex);
    for (;;) {
        while (queue.isEmpty() && !stopping)
            wake.wait(&mutex);
        if (queue.isEmpty())
            break;
        const QByteArray batch = std::exchange(queue, QByteArray());
        const quint64 upTo = queuedLines;
        lock.unlock();
        writeBatch(batch);
        lock.relock();
        writtenLines = upTo;
        drained.wakeAll();
    }
    lock.unlock();
    file.close();
}

void LogFile::writeBatch(const QByteArray& lines)
{
    if (!ensureOpen())
        return;
    qsizetype start = 0;
    while (start < lines.size()) {
        qsizetype end = lines.indexOf('\n', start);
        end = end < 0 ? lines.size() : end + 1;
        writeLine(QByteArrayView(lines).sliced(start, end - start));
        start = end;
    }
    // A full disk shows here; the next batch opens the file afresh.
    if (file.isOpen() && !file.flush())
        file.close();
}

void LogFile::writeLine(QByteArrayView line)
{
    // A line longer than a whole file is cut to fit one.
    QByteArray cut;
    if (line.size() > limit) {
        cut = line.first(limit - 1).toByteArray() + '\n';
        line = cut;
    }
    if (size > 0 && size + line.size() > limit)
        rotate();
    if (!file.isOpen())
        return;
    if (file.write(line.data(), line.size()) != line.size()) {
        file.close();
        return;
    }
    size += line.size();
}

bool LogFile::ensureOpen()
{
    if (file.isOpen())
        return true;
    QDir().mkpath(QFileInfo(path).absolutePath());
    // A FIFO or device in its place would block the writer or never take a line.
    const QFileInfo existing(path);
    if (existing.exists() && !existing.isFile())
        return false;
    file.setFileName(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    size = file.size();
    return true;
}

void LogFile::rotate()
{
    file.close();
    QFile::remove(olderPath);
    // When the current file cannot be moved aside it is emptied, so the two files still
    // stay within their bound.
    const bool moved = QFile::rename(path, olderPath);
    file.setFileName(path);
    if (file.open(QIODevice::WriteOnly | (moved ? QIODevice::Append : QIODevice::Truncate)))
        size = file.size();
}
