#include "report/InstallFacts.h"

#include <QSettings>

namespace {

// Opened at a key that every profile has: QSettings creates the key it is opened at when
// that is missing, and a report must leave the registry as it found it. The installer
// writes under HKCU for one user and HKLM for everyone, in the 64-bit view that this
// 64-bit program reads.
const QString kCurrentVersion = QStringLiteral("\\Software\\Microsoft\\Windows\\CurrentVersion");
const QString kUninstallEntry = QStringLiteral("Uninstall/QuorvixMixer/");
const QString kRunValue = QStringLiteral("Quorvix Mixer");

QString installedIn(const QSettings& key)
{
    const QString version =
        key.value(kUninstallEntry + QStringLiteral("DisplayVersion")).toString();
    if (version.isEmpty())
        return {};
    return QStringLiteral("version %1 in %2")
        .arg(version, key.value(kUninstallEntry + QStringLiteral("InstallLocation")).toString());
}

} // namespace

InstallFacts readInstallFacts()
{
    const QSettings user(QStringLiteral("HKEY_CURRENT_USER") + kCurrentVersion,
                         QSettings::NativeFormat);
    const QSettings machine(QStringLiteral("HKEY_LOCAL_MACHINE") + kCurrentVersion,
                            QSettings::NativeFormat);
    InstallFacts facts;
    QStringList scopes;
    if (const QString perUser = installedIn(user); !perUser.isEmpty())
        scopes.append(QStringLiteral("per user (%1)").arg(perUser));
    if (const QString allUsers = installedIn(machine); !allUsers.isEmpty())
        scopes.append(QStringLiteral("all users (%1)").arg(allUsers));
    facts.scope = scopes.isEmpty() ? QStringLiteral("none") : scopes.join(QStringLiteral("; "));

    QStringList runs;
    const QString runKey = QStringLiteral("Run/") + kRunValue;
    if (const QString value = user.value(runKey).toString(); !value.isEmpty())
        runs.append(QStringLiteral("on (HKCU Run \"%1\" = %2)").arg(kRunValue, value));
    if (const QString value = machine.value(runKey).toString(); !value.isEmpty())
        runs.append(QStringLiteral("on (HKLM Run \"%1\" = %2)").arg(kRunValue, value));
    facts.autostart = runs.isEmpty() ? QStringLiteral("none") : runs.join(QStringLiteral("; "));
    return facts;
}
