#pragma once
// Writes a zip archive entry by entry to a device open for writing: each entry deflated,
// or stored when deflating does not make it smaller, with its CRC-32 and its name in
// UTF-8. No ZIP64: every entry and the whole archive stay below 4 GiB.
#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

class QIODevice;

class ZipWriter
{
public:
    explicit ZipWriter(QIODevice* device);

    // Appends one file entry; `name` uses '/' between folders. False once any write failed.
    bool add(const QString& name, const QByteArray& data, const QDateTime& modified);
    // Writes the central directory; the archive is complete when this returns true.
    bool finish();

private:
    struct Entry
    {
        QByteArray name;
        quint32 crc = 0;
        quint32 compressedSize = 0;
        quint32 size = 0;
        quint16 method = 0;
        quint16 time = 0;
        quint16 date = 0;
        quint32 offset = 0;
    };
    bool write(const QByteArray& bytes);

    QIODevice* device;
    QList<Entry> entries;
    qint64 written = 0;
    bool failed = false;
};
