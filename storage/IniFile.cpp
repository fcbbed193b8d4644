#include "storage/IniFile.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>

bool removeStaleIniLock(const QString& iniPath)
{
    // The name QSettings gives its lock.
    const QString lockPath = iniPath + QStringLiteral(".lock");
    if (!QFileInfo::exists(lockPath))
        return true;
    QLockFile lock(lockPath);
    // QLockFile itself removes a lock whose pid names no live process of this host.
    if (lock.tryLock(0)) {
        lock.unlock();
        return !QFileInfo::exists(lockPath);
    }
    qint64 pid = 0;
    QString host;
    QString application;
    // Without a readable pid (an empty or damaged file) only the lock's age would free
    // it; its writer died before it finished writing, so it guards nothing.
    if (!lock.getLockInfo(&pid, &host, &application))
        QFile::remove(lockPath);
    return !QFileInfo::exists(lockPath);
}

bool dropUndecodableIniLines(const QString& iniPath)
{
    QFile file(iniPath);
    if (!file.open(QIODevice::ReadOnly))
        return true; // nothing to decode
    const QByteArray content = file.readAll();
    file.close();
    if (!content.contains('@') && !content.contains('\\'))
        return true;
    QByteArray kept;
    int dropped = 0;
    for (const QByteArray& line : content.split('\n')) {
        const qsizetype separator = line.indexOf('=');
        const QByteArray value = separator < 0 ? QByteArray() : line.mid(separator + 1);
        if (value.contains('@') || value.contains('\\')) {
            ++dropped;
            continue;
        }
        kept += line;
        kept += '\n';
    }
    if (dropped == 0)
        return true;
    kept.chop(1); // the split added no line end after the last line
    QSaveFile rewrite(iniPath);
    if (!rewrite.open(QIODevice::WriteOnly) || rewrite.write(kept) != kept.size() ||
        !rewrite.commit()) {
        qDebug() << "配置文件中的损坏行无法移除：" << iniPath;
        return false;
    }
    qDebug() << "已从配置文件移除损坏的行：" << iniPath << dropped;
    return true;
}

QSettings* openIniStore(const QString& fileName, QObject* parent)
{
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    QDir().mkpath(dir);
    const QString path = dir + fileName;
    removeStaleIniLock(path);
    dropUndecodableIniLines(path);
    return new QSettings(path, QSettings::IniFormat, parent);
}

bool syncIniStore(QSettings*& store)
{
    if (store->status() != QSettings::NoError) {
        // Made before the old one goes, so the file's unsaved values stay shared.
        auto* fresh = new QSettings(store->fileName(), QSettings::IniFormat, store->parent());
        delete store;
        store = fresh;
    }
    store->sync();
    if (store->status() == QSettings::NoError)
        return true;
    qDebug() << "保存配置文件失败：" << store->fileName();
    return false;
}
