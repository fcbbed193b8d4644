#include "report/ZipWriter.h"

#include <QIODevice>

#include <array>
#include <limits>

namespace {

constexpr quint16 kStored = 0;
constexpr quint16 kDeflated = 8;
constexpr quint16 kVersionNeeded = 20;
// Made by a Unix system, so unzip gives the files ordinary permissions.
constexpr quint16 kVersionMadeBy = (3 << 8) | kVersionNeeded;
constexpr quint32 kRegularFileMode = 0100644u << 16;
constexpr quint16 kUtf8Names = 1 << 11;
constexpr quint32 kMaxSize = std::numeric_limits<quint32>::max();

quint32 crc32(const QByteArray& data)
{
    static const std::array<quint32, 256> table = [] {
        std::array<quint32, 256> t{};
        for (quint32 n = 0; n < 256; ++n) {
            quint32 c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    quint32 crc = 0xFFFFFFFFu;
    for (const char byte : data)
        crc = table[(crc ^ static_cast<quint8>(byte)) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

// qCompress gives a 4-byte length, a 2-byte zlib header, the raw deflate stream and a
// 4-byte Adler-32; a zip entry holds the raw stream only.
QByteArray rawDeflate(const QByteArray& data)
{
    const QByteArray zlib = qCompress(data, 9);
    if (zlib.size() <= 10)
        return {};
    return zlib.mid(6, zlib.size() - 10);
}

void put16(QByteArray& out, quint16 value)
{
    out.append(char(value & 0xFF));
    out.append(char(value >> 8));
}

void put32(QByteArray& out, quint32 value)
{
    put16(out, quint16(value & 0xFFFF));
    put16(out, quint16(value >> 16));
}

// MS-DOS time and date, in local time as zip tools read them; 1980 is the earliest.
void dosTime(const QDateTime& when, quint16* time, quint16* date)
{
    const QDateTime local = when.toLocalTime();
    const QDate day = local.date();
    const QTime clock = local.time();
    if (!local.isValid() || day.year() < 1980) {
        *time = 0;
        *date = (1 << 5) | 1;
        return;
    }
    *time = quint16((clock.hour() << 11) | (clock.minute() << 5) | (clock.second() / 2));
    *date = quint16(((day.year() - 1980) << 9) | (day.month() << 5) | day.day());
}

} // namespace

ZipWriter::ZipWriter(QIODevice* device) : device(device) {}

bool ZipWriter::write(const QByteArray& bytes)
{
    if (failed)
        return false;
    if (device->write(bytes) != bytes.size()) {
        failed = true;
        return false;
    }
    written += bytes.size();
    return true;
}

bool ZipWriter::add(const QString& name, const QByteArray& data, const QDateTime& modified)
{
    Entry entry;
    entry.name = name.toUtf8();
    if (failed || entry.name.isEmpty() || entry.name.size() > 0xFFFF || data.size() >= kMaxSize ||
        written >= kMaxSize - data.size() - 0x10000) {
        failed = true;
        return false;
    }
    QByteArray packed = data.size() > 64 ? rawDeflate(data) : QByteArray();
    entry.method = kDeflated;
    if (packed.isEmpty() || packed.size() >= data.size()) {
        packed = data;
        entry.method = kStored;
    }
    entry.crc = crc32(data);
    entry.size = quint32(data.size());
    entry.compressedSize = quint32(packed.size());
    entry.offset = quint32(written);
    dosTime(modified, &entry.time, &entry.date);

    QByteArray header;
    put32(header, 0x04034b50);
    put16(header, kVersionNeeded);
    put16(header, kUtf8Names);
    put16(header, entry.method);
    put16(header, entry.time);
    put16(header, entry.date);
    put32(header, entry.crc);
    put32(header, entry.compressedSize);
    put32(header, entry.size);
    put16(header, quint16(entry.name.size()));
    put16(header, 0);
    header.append(entry.name);
    if (!write(header) || !write(packed))
        return false;
    entries.append(entry);
    return true;
}

bool ZipWriter::finish()
{
    if (failed || entries.size() > 0xFFFF)
        return false;
    const quint32 directoryOffset = quint32(written);
    QByteArray directory;
    for (const Entry& entry : entries) {
        put32(directory, 0x02014b50);
        put16(directory, kVersionMadeBy);
        put16(directory, kVersionNeeded);
        put16(directory, kUtf8Names);
        put16(directory, entry.method);
        put16(directory, entry.time);
        put16(directory, entry.date);
        put32(directory, entry.crc);
        put32(directory, entry.compressedSize);
        put32(directory, entry.size);
        put16(directory, quint16(entry.name.size()));
        put16(directory, 0); // extra field
        put16(directory, 0); // comment
        put16(directory, 0); // disk
        put16(directory, 0); // internal attributes
        put32(directory, kRegularFileMode);
        put32(directory, entry.offset);
        directory.append(entry.name);
    }
    QByteArray end;
    put32(end, 0x06054b50);
    put16(end, 0);
    put16(end, 0);
    put16(end, quint16(entries.size()));
    put16(end, quint16(entries.size()));
    put32(end, quint32(directory.size()));
    put32(end, directoryOffset);
    put16(end, 0);
    return write(directory) && write(end);
}
