#pragma once
// The request journal: one JSON object per line, written in one piece before the reply
// leaves, so a client that has its answer can already read the line.
#include <QJsonObject>
#include <QString>

class RequestJournal
{
public:
    ~RequestJournal();
    // Opens (and empties) the file; false with the reason in `error`.
    bool open(const QString& path, QString& error);
    void append(const QJsonObject& entry);
    void clear();
    QString path() const { return filePath; }

private:
    int fd = -1;
    QString filePath;
};
