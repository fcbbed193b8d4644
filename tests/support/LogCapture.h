#pragma once
// Records every Qt message (qDebug, qWarning, ...) while it lives: installs its own
// message handler on construction and puts the previous one back on destruction.
// Thread-safe; messages from any thread are kept in arrival order. Captures nest: the
// newest one records, and passes messages on to the previous handler when echo is on.
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QtGlobal>

class LogCapture
{
public:
    // echo: also hand each message to the handler that was installed before.
    explicit LogCapture(bool echo = true);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Every message text so far (as the default handler would print it, without the
    // trailing line end).
    QStringList lines() const;
    // Whether some line contains `text` / how many lines contain it (substring match).
    bool contains(const QString& text) const;
    int count(const QString& text) const;
    // Whether some line equals `line` / how many lines equal it exactly.
    bool containsLine(const QString& line) const;
    int countLines(const QString& line) const;
    void clear();

private:
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& message);

    mutable QMutex mutex;
    QStringList recorded;
    bool echo;
    QtMessageHandler previous = nullptr;
    LogCapture* outer = nullptr;
};
