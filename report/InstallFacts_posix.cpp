#include "report/InstallFacts.h"

#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace {

const QString kPackageList = QStringLiteral("/var/lib/dpkg/info/quorvix-mixer.list");
const QString kPackagedProgram = QStringLiteral("/usr/lib/quorvix-mixer/QuorvixDriver");
const QString kAutostartEntry = QStringLiteral("/autostart/quorvix-mixer.desktop");

// The keys of the [Desktop Entry] group that decide and describe the login start.
struct AutostartEntry
{
    bool hidden = false;
    bool enabled = true;
    QString exec;
};

AutostartEntry readEntry(const QString& path)
{
    AutostartEntry entry;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return entry;
    bool inGroup = false;
    for (const QByteArray& raw : file.read(64 * 1024).split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith('[')) {
            inGroup = line == "[Desktop Entry]";
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        if (!inGroup || equals < 0)
            continue;
        const QByteArray key = line.left(equals).trimmed();
        const QByteArray value = line.mid(equals + 1).trimmed();
        if (key == "Hidden")
            entry.hidden = value == "true";
        else if (key == "X-GNOME-Autostart-enabled")
            entry.enabled = value != "false";
        else if (key == "Exec")
            entry.exec = QString::fromUtf8(value);
    }
    return entry;
}

} // namespace

InstallFacts readInstallFacts()
{
    InstallFacts facts;
    if (QFileInfo::exists(kPackageList))
        facts.scope = QStringLiteral("all users (Debian package quorvix-mixer)");
    else if (QFileInfo::exists(kPackagedProgram))
        facts.scope = QStringLiteral("all users (%1, not from the package)").arg(kPackagedProgram);
    else
        facts.scope = QStringLiteral("none");

    // The user's own entry overrides the system's one of the same name.
    facts.autostart = QStringLiteral("none");
    for (const QString& folder :
         QStandardPaths::standardLocations(QStandardPaths::GenericConfigLocation)) {
        const QString path = folder + kAutostartEntry;
        if (!QFileInfo(path).isFile())
            continue;
        const AutostartEntry entry = readEntry(path);
        const bool on = !entry.hidden && entry.enabled;
        facts.autostart =
            QStringLiteral("%1 (%2%3)")
                .arg(on ? QStringLiteral("on") : QStringLiteral("off"), path,
                     entry.exec.isEmpty() ? QString() : QStringLiteral(", Exec=") + entry.exec);
        break;
    }
    return facts;
}
