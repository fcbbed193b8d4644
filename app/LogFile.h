#pragma once
// Copies every message of Qt's debug stream, with a time stamp, into a log file, and
// passes each message on unchanged to the handler that was installed before, so the
// debug stream itself stays exactly as it was.
//
// The file is "QuorvixMixer.log" in the given folder; when the next line would take it
// past the size limit it becomes "QuorvixMixer.log.1" (replacing the older one) and a new
// file is started, so the two never hold more than twice the limit. Messages may come
// from any thread. They are queued in memory and written by a thread of its own, so a
// slow, full or read-only disk never holds up the thread that logs; what cannot be
// written, or does not fit the queue, is dropped.
//
// One LogFile at a time; it is the message handler from construction to destruction.
#include <QByteArray>
#include <QFile>
#include <QMutex>
#include <QString>
#include <QWaitCondition>
#include <QtGlobal>

class QThread;

class LogFile
{
public:
    static constexpr qint64 kDefaultLimit = 1024 * 1024;

    explicit LogFile(const QString& folder, qint64 limit = kDefaultLimit);
    // Writes what is queued (waiting a bounded time), stops the writer and puts the
    // previous handler back.
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Waits until every line queued so far has been handed to the file, or at most
    // timeoutMs. False on time-out.
    bool flush(int timeoutMs = 2000);

private:
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& message);
    void enqueue(QtMsgType type, const QMessageLogContext& context, const QString& message);
    QByteArray stamped(QtMsgType type, const QString& text) const;
    void run();
    void writeBatch(const QByteArray& lines);
    void writeLine(QByteArrayView line);
    bool ensureOpen();
    void rotate();

    const QString path;
    const QString olderPath;
    const qint64 limit;
    QtMessageHandler previous = nullptr;
    QThread* writer = nullptr;

    // Shared with the writer thread.
    QMutex mutex;
    QWaitCondition wake;
    QWaitCondition drained;
    QByteArray queue;
    quint64 queuedLines = 0;
    quint64 writtenLines = 0;
    quint64 droppedLines = 0;
    bool stopping = false;

    // The writer thread's own.
    QFile file;
    qint64 size = 0;
};
