#include "control/SetupStore.h"

#include "widgets/Button.h"
#include "widgets/Knob.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStringDecoder>

#include <map>

namespace {
constexpr int kMaxNameLength = 64;
// A setup holds a few dozen short lines; anything far larger is not one of ours.
constexpr qint64 kMaxFileSize = 64 * 1024;
const QString kSuffix = QStringLiteral(".ini");

bool reservedDeviceName(const QString& name)
{
    static const QRegularExpression reserved(
        QStringLiteral("^(CON|PRN|AUX|NUL|COM[0-9¹²³]|LPT[0-9¹²³]|CONIN\\$|CONOUT\\$)$"),
        QRegularExpression::CaseInsensitiveOption);
    return reserved.match(name).hasMatch();
}
} // namespace

SetupStore::SetupStore(const QString& model)
    : folder(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) +
             QStringLiteral("/setups/") + model)
{}

bool SetupStore::validName(const QString& name)
{
    if (name.isEmpty() || name.size() > kMaxNameLength || name.front() == ' ' ||
        name.back() == ' ' || reservedDeviceName(name))
        return false;
    for (QChar c : name) {
        const bool allowed = c.isLetterOrNumber() || c == ' ' || c == '-' || c == '_';
        if (!allowed || c.isSurrogate())
            return false;
    }
    return true;
}

QString SetupStore::filePath(const QString& name) const
{
    return folder + '/' + name + kSuffix;
}

QStringList SetupStore::names() const
{
    QStringList found;
    const QStringList files = QDir(folder).entryList({QStringLiteral("*.ini")}, QDir::Files,
                                                     QDir::Name | QDir::IgnoreCase);
    for (const QString& file : files) {
        const QString name = file.chopped(kSuffix.size());
        if (validName(name))
            found << name;
    }
    return found;
}

bool SetupStore::exists(const QString& name) const
{
    return QFileInfo(filePath(name)).isFile();
}

QString SetupStore::storedValue(const PanelControl& control)
{
    if (control.knob)
        return QString::number(control.knob->value);
    return control.button->status ? QStringLiteral("true") : QStringLiteral("false");
}

bool SetupStore::save(const QString& name, const std::vector<PanelControl>& controls,
                      QString& error) const
{
    // Grouped and sorted as QSettings writes the model's own ini file.
    std::map<QString, std::map<QString, QString>> groups;
    for (const PanelControl& control : controls) {
        const qsizetype slash = control.key.indexOf('/');
        groups[control.key.left(slash)][control.key.mid(slash + 1)] = storedValue(control);
    }
    QByteArray text;
    for (const auto& [group, keys] : groups) {
        if (!text.isEmpty())
            text += '\n';
        text += '[' + group.toUtf8() + "]\n";
        for (const auto& [key, value] : keys)
            text += key.toUtf8() + '=' + value.toUtf8() + '\n';
    }
    if (!QDir().mkpath(folder)) {
        error = QStringLiteral("cannot create the folder %1").arg(QDir::toNativeSeparators(folder));
        return false;
    }
    QSaveFile file(filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        error = QStringLiteral("cannot write %1: %2")
                    .arg(QDir::toNativeSeparators(file.fileName()), file.errorString());
        return false;
    }
    return true;
}

bool SetupStore::remove(const QString& name) const
{
    return QFile::remove(filePath(name));
}

bool SetupStore::read(const QString& name, const std::vector<PanelControl>& controls,
                      std::vector<Entry>& entries, QString& error) const
{
    QFile file(filePath(name));
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read the setup: %1").arg(file.errorString());
        return false;
    }
    if (file.size() > kMaxFileSize) {
        error = QStringLiteral("the setup file is damaged: larger than %1 bytes").arg(kMaxFileSize);
        return false;
    }
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8(file.readAll());
    if (utf8.hasError()) {
        error = QStringLiteral("the setup file is damaged: not UTF-8 text");
        return false;
    }

    QMap<QString, QString> values;
    QString group;
    const QStringList lines = text.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = lines[i].trimmed();
        const QString where = QStringLiteral("the setup file is damaged at line %1").arg(i + 1);
        if (line.isEmpty() || line.startsWith(';'))
            continue;
        if (line.startsWith('[') && line.endsWith(']')) {
            group = line.mid(1, line.size() - 2);
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        if (equals <= 0 || group.isEmpty()) {
            error = where;
            return false;
        }
        const QString key = group + '/' + line.left(equals).trimmed();
        if (values.contains(key)) {
            error = QStringLiteral("the key %1 is given twice").arg(key);
            return false;
        }
        values.insert(key, line.mid(equals + 1).trimmed());
    }

    entries.clear();
    for (const PanelControl& control : controls) {
        const auto it = values.constFind(control.key);
        if (it == values.constEnd()) {
            error = QStringLiteral("the key %1 is missing (a setup of another model?)")
                        .arg(control.key);
            return false;
        }
        Entry entry{&control, 0};
        if (control.knob) {
            bool ok = false;
            entry.value = it->toInt(&ok);
            if (!ok || entry.value < control.knob->minimum || entry.value > control.knob->maximum) {
                error = QStringLiteral("the key %1 holds %2, not a level from %3 to %4")
                            .arg(control.key, *it)
                            .arg(control.knob->minimum)
                            .arg(control.knob->maximum);
                return false;
            }
        } else if (*it == QLatin1String("true") || *it == QLatin1String("false")) {
            entry.value = *it == QLatin1String("true") ? 1 : 0;
        } else {
            error = QStringLiteral("the key %1 holds %2, not true or false").arg(control.key, *it);
            return false;
        }
        entries.push_back(entry);
        values.remove(control.key);
    }
    if (!values.isEmpty()) {
        error = QStringLiteral("the key %1 is not a control of this model (a setup of another "
                               "model?)")
                    .arg(values.firstKey());
        return false;
    }
    return true;
}
