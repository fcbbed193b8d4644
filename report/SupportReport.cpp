#include "report/SupportReport.h"

#include "report/InstallFacts.h"
#include "report/ProgramFolders.h"
#include "report/Redactor.h"
#include "report/ZipWriter.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QStringList>
#include <QSysInfo>
#include <QTemporaryFile>

namespace {

// Far above what the program writes (a few KB of ini, two log files of about 1 MB), so
// only a damaged or planted file is cut.
constexpr qint64 kMaxIniBytes = 256 * 1024;
constexpr qint64 kMaxLogBytes = 2 * 1024 * 1024;
constexpr qsizetype kMaxSetups = 1000;
const char* const kIniFiles[] = {"tk1.ini", "tk2.ini", "zr.ini", "setting.ini"};

struct Entry
{
    QString name;
    QByteArray bytes;
    QDateTime modified;
};

// Reads files of the program's data folder and nothing outside it.
class DataFolder
{
public:
    explicit DataFolder(const QString& path)
        : path(path), canonical(QFileInfo(path).canonicalFilePath()),
          owner(QFileInfo(canonical).ownerId())
    {}

    // The file's bytes (the last maxBytes of a log, the first of anything else) and its
    // time into *entry; returns how the report lists it ("" when read whole).
    QString read(const QString& relative, qint64 maxBytes, bool keepTail, Entry* entry) const
    {
        const QFileInfo info(path + QLatin1Char('/') + relative);
        if (!info.exists())
            return info.isSymLink() ? QStringLiteral("left out: a broken link")
                                    : QStringLiteral("missing");
        const QString real = info.canonicalFilePath();
        if (!contains(real))
            return QStringLiteral("left out: outside the data folder");
        const QFileInfo realInfo(real);
        // A FIFO or device would block or never end.
        if (!realInfo.isFile())
            return QStringLiteral("left out: not a regular file");
        if (realInfo.ownerId() != owner)
            return QStringLiteral("left out: owned by another user");
        QFile file(real);
        if (!file.open(QIODevice::ReadOnly))
            return QStringLiteral("unreadable: ") + file.errorString();
        const qint64 size = file.size();
        QString note;
        if (size > maxBytes) {
            note = QStringLiteral("cut to %1 of %2 bytes").arg(maxBytes).arg(size);
            if (keepTail)
                file.seek(size - maxBytes);
        }
        entry->bytes = file.read(maxBytes);
        entry->modified = realInfo.lastModified();
        return note;
    }

    // "model/name.ini" for each saved setup, sorted; links are not followed.
    QStringList setups() const
    {
        QStringList names;
        const QString setupsPath = path + QStringLiteral("/setups");
        if (!contains(QFileInfo(setupsPath).canonicalFilePath()))
            return names;
        const QDir::Filters plain = QDir::NoDotAndDotDot | QDir::NoSymLinks;
        const QDir setupsFolder(setupsPath);
        for (const QString& model : setupsFolder.entryList(QDir::Dirs | plain, QDir::Name)) {
            const QDir modelFolder(setupsFolder.filePath(model));
            for (const QString& name : modelFolder.entryList({QStringLiteral("*.ini")},
                                                             QDir::Files | plain, QDir::Name)) {
                if (names.size() == kMaxSetups)
                    return names;
                names.append(model + QLatin1Char('/') + name);
            }
        }
        return names;
    }

private:
    bool contains(const QString& real) const
    {
        return !canonical.isEmpty() && real.startsWith(canonical + QLatin1Char('/'));
    }

    QString path;
    QString canonical;
    uint owner;
};

QList<Entry> collect(const QByteArray& statusJson)
{
    const QDateTime now = QDateTime::currentDateTime();
    const DataFolder folder(programfolders::appData());
    const InstallFacts facts = readInstallFacts();

    QStringList text = {
        QStringLiteral("Quorvix Mixer support report"),
        QStringLiteral("created: ") + now.toString(Qt::ISODate),
        QStringLiteral("version: ") + QStringLiteral(QUORVIX_VERSION),
        QStringLiteral("os: ") + QSysInfo::prettyProductName(),
        QStringLiteral("os build: %1 %2 (%3 %4, %5)")
            .arg(QSysInfo::kernelType(), QSysInfo::kernelVersion(), QSysInfo::productType(),
                 QSysInfo::productVersion(), QSysInfo::currentCpuArchitecture()),
        QStringLiteral("qt: ") + QString::fromLatin1(qVersion()),
        QStringLiteral("install scope: ") + facts.scope,
        QStringLiteral("autostart: ") + facts.autostart,
        QStringLiteral("program running: ") +
            (statusJson.isEmpty() ? QStringLiteral("no") : QStringLiteral("yes (status.json)")),
        QStringLiteral("data folder: ") + programfolders::appData(),
        QString(),
        QStringLiteral("files:"),
    };

    QList<Entry> entries;
    const auto include = [&](const QString& relative, const QString& name, qint64 maxBytes,
                             bool keepTail) {
        Entry entry{name, {}, now};
        const QString note = folder.read(relative, maxBytes, keepTail, &entry);
        if (!entry.bytes.isNull() || note.isEmpty())
            entries.append(entry);
        text.append(QStringLiteral("  %1: %2").arg(relative, note.isEmpty() ? name : note));
    };
    for (const char* ini : kIniFiles) {
        const QString file = QString::fromLatin1(ini);
        include(file, QStringLiteral("ini/") + file, kMaxIniBytes, false);
    }
    for (const char* log : {programfolders::kLogFileName, programfolders::kOlderLogFileName}) {
        const QString file = QString::fromLatin1(log);
        include(QStringLiteral("logs/") + file, QStringLiteral("logs/") + file, kMaxLogBytes, true);
    }

    const QStringList setups = folder.setups();
    text.append(QStringLiteral("setups: %1 (setups.txt)").arg(setups.size()));
    entries.append({QStringLiteral("setups.txt"), setups.join(QLatin1Char('\n')).toUtf8(), now});
    if (!statusJson.isEmpty())
        entries.append({QStringLiteral("status.json"), statusJson, now});
    entries.prepend(
        {QStringLiteral("report.txt"), text.join(QLatin1Char('\n')).toUtf8() + '\n', now});

    const Redactor redactor = Redactor::forCurrentUser();
    for (Entry& entry : entries)
        entry.bytes = redactor.apply(entry.bytes);
    return entries;
}

} // namespace

int writeSupportReport(const SupportReportRequest& request, QString* error)
{
    const auto fail = [error](int code, const QString& why) {
        if (error)
            *error = why;
        return code;
    };
    const QFileInfo target(request.zipPath);
    if (request.zipPath.isEmpty() || target.fileName().isEmpty())
        return fail(2, QStringLiteral("no file name given"));
    const QString folder = target.absolutePath();
    if (!QFileInfo(folder).isDir())
        return fail(2, QStringLiteral("the folder %1 does not exist").arg(folder));
    const QString path = target.absoluteFilePath();
    // A link counts as present even when it leads nowhere; it is replaced, never followed.
    const bool present = target.exists() || target.isSymLink();
    if (present && target.isDir() && !target.isSymLink())
        return fail(2, QStringLiteral("%1 is a folder").arg(path));
    if (present && !request.force)
        return fail(2, QStringLiteral("%1 already exists").arg(path));

    QTemporaryFile temporary(folder + QStringLiteral("/.quorvix-report-XXXXXX"));
    if (!temporary.open())
        return fail(1,
                    QStringLiteral("cannot write in %1: %2").arg(folder, temporary.errorString()));
    ZipWriter zip(&temporary);
    bool written = true;
    for (const Entry& entry : collect(request.statusJson))
        written = written && zip.add(entry.name, entry.bytes, entry.modified);
    written = written && zip.finish() && temporary.flush();
    if (!written)
        return fail(1, QStringLiteral("writing the report failed: ") + temporary.errorString());

    if (present && !QFile::remove(path))
        return fail(1, QStringLiteral("cannot replace %1").arg(path));
    // The rename never replaces a file, so one that appeared meanwhile is kept.
    if (!temporary.rename(path)) {
        if (QFileInfo::exists(path))
            return fail(2, QStringLiteral("%1 already exists").arg(path));
        return fail(1, QStringLiteral("cannot create %1: %2").arg(path, temporary.errorString()));
    }
    temporary.setAutoRemove(false);
    return 0;
}
