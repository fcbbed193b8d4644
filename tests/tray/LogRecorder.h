#pragma once
// Records the messages of the Qt message handler while it lives, with their level.
#include <QList>
#include <QString>
#include <QtGlobal>

struct LoggedLine
{
    QtMsgType type;
    QString text;
};

class LogRecorder
{
public:
    LogRecorder()
    {
        lines().clear();
        previous = qInstallMessageHandler(&LogRecorder::record);
    }
    ~LogRecorder() { qInstallMessageHandler(previous); }

    static QList<LoggedLine>& lines()
    {
        static QList<LoggedLine> recorded;
        return recorded;
    }

private:
    static void record(QtMsgType type, const QMessageLogContext&, const QString& text)
    {
        lines().append({type, text});
    }

    QtMessageHandler previous = nullptr;
};
