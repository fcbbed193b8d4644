#pragma once
// Replaces a user's home folder with "<home>" and the user's name with "<user>" in text
// that leaves the machine. The home folder is found with either kind of separator (and
// with doubled backslashes, as quoted log lines show it), ignoring case for a Windows
// drive path; the name only where it stands as a word of its own.
#include <QByteArray>
#include <QList>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

class Redactor
{
public:
    Redactor(const QString& home, const QStringList& userNames);
    // The current user: the home folder, and the names from the environment and the home
    // folder's own name.
    static Redactor forCurrentUser();

    QString apply(QString text) const;
    // UTF-8 in and out.
    QByteArray apply(const QByteArray& text) const;

private:
    QList<QRegularExpression> patterns; // the home folder first, then the names
    QStringList replacements;
};
