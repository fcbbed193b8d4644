#include "RequestJournal.h"

#include <QFile>
#include <QJsonDocument>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

RequestJournal::~RequestJournal()
{
    if (fd >= 0)
        close(fd);
}

bool RequestJournal::open(const QString& path, QString& error)
{
    // O_APPEND keeps every line whole at the end even after clear() truncates the file.
    const int opened = ::open(QFile::encodeName(path).constData(),
                              O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
    if (opened < 0) {
        error = QStringLiteral("cannot open journal %1: %2")
                    .arg(path, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    if (fd >= 0)
        close(fd);
    fd = opened;
    filePath = path;
    return true;
}

void RequestJournal::append(const QJsonObject& entry)
{
    if (fd < 0)
        return;
    QByteArray line = QJsonDocument(entry).toJson(QJsonDocument::Compact);
    line.append('\n');
    const char* data = line.constData();
    qsizetype left = line.size();
    while (left > 0) {
        const ssize_t written = write(fd, data, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        data += written;
        left -= written;
    }
}

void RequestJournal::clear()
{
    if (fd >= 0 && ftruncate(fd, 0) != 0)
        std::fprintf(stderr, "quorvix-devsim: cannot clear the journal: %s\n", strerror(errno));
}
