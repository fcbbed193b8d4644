#include "report/ProgramFolders.h"

#include <QCoreApplication>
#include <QStandardPaths>

namespace programfolders {

QString appData()
{
    const QString ownName = QCoreApplication::applicationName();
    const QString ownOrganisation = QCoreApplication::organizationName();
    const QString programName = QString::fromLatin1(kApplicationName);
    if (ownName == programName && ownOrganisation.isEmpty())
        return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    // QStandardPaths names the folder after the asking application only, so borrow the
    // program's names for the one query.
    QCoreApplication::setOrganizationName(QString());
    QCoreApplication::setApplicationName(programName);
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    // Before the application object exists there is no own name to go back to, and an
    // empty one set now would stay empty for good.
    if (!ownName.isEmpty())
        QCoreApplication::setApplicationName(ownName);
    QCoreApplication::setOrganizationName(ownOrganisation);
    return folder;
}

QString logs()
{
    return appData() + QStringLiteral("/logs");
}

} // namespace programfolders
