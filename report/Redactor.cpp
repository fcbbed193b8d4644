#include "report/Redactor.h"

#include <QDir>
#include <QFileInfo>

namespace {

const QString kSeparators = QStringLiteral("[/\\\\]+");
// A name or a folder stops where no word character follows; the replacements' own
// brackets keep "<home>" from being taken for a user called "home".
const QString kWordStart = QStringLiteral("(?<![\\w<])");
const QString kWordEnd = QStringLiteral("(?![\\w>])");

} // namespace

Redactor::Redactor(const QString& home, const QStringList& userNames)
{
    const bool drivePath = home.size() > 1 && home.at(1) == QLatin1Char(':');
    QRegularExpression::PatternOptions options = QRegularExpression::UseUnicodePropertiesOption;
    if (drivePath)
        options |= QRegularExpression::CaseInsensitiveOption;

    QStringList parts;
    for (const QString& part : home.split(QRegularExpression(kSeparators), Qt::SkipEmptyParts))
        parts.append(QRegularExpression::escape(part));
    // A root folder alone ("/", "C:") would swallow every path.
    if (parts.size() > (drivePath ? 1 : 0)) {
        const QString lead = drivePath ? QString() : kSeparators;
        patterns.append(QRegularExpression(lead + parts.join(kSeparators) + kWordEnd, options));
        replacements.append(QStringLiteral("<home>"));
    }
    QStringList seen;
    for (const QString& name : userNames) {
        if (name.isEmpty() || seen.contains(name, Qt::CaseInsensitive))
            continue;
        seen.append(name);
        patterns.append(
            QRegularExpression(kWordStart + QRegularExpression::escape(name) + kWordEnd, options));
        replacements.append(QStringLiteral("<user>"));
    }
}

Redactor Redactor::forCurrentUser()
{
    const QString home = QDir::homePath();
    QStringList names;
    for (const char* variable : {"USER", "USERNAME", "LOGNAME"})
        names.append(qEnvironmentVariable(variable));
    names.removeAll(QString());
    // Without a name in the environment, the home folder is named after the user.
    if (names.isEmpty())
        names.append(QFileInfo(home).fileName());
    return Redactor(home, names);
}

QString Redactor::apply(QString text) const
{
    for (qsizetype i = 0; i < patterns.size(); ++i)
        text.replace(patterns.at(i), replacements.at(i));
    return text;
}

QByteArray Redactor::apply(const QByteArray& text) const
{
    return apply(QString::fromUtf8(text)).toUtf8();
}
