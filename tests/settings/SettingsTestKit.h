#pragma once
// Helpers for the settings dialog tests: the dialog's lists, its ini file and the
// simulator's journal as request names and values.
#include "DeviceSimulator.h"
#include "settings/Settings.h"

#include <QComboBox>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>
#include <QTest>

namespace settingskit {

// The lists in the order the dialog builds them.
enum List
{
    BufferSize,
    Latency,
    SampleRate,
    SafeMode
};

inline QComboBox* list(Settings& dialog, List which)
{
    return dialog.findChildren<QComboBox*>().at(which);
}

inline QString iniPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) +
           QStringLiteral("/setting.ini");
}

// What the dialog saved, read fresh from the file.
inline QVariant stored(const QString& key)
{
    QSettings file(iniPath(), QSettings::IniFormat);
    return file.value(key);
}

inline void resetStore(const QList<QPair<QString, QString>>& values = {})
{
    QFile::remove(iniPath());
    QSettings file(iniPath(), QSettings::IniFormat);
    for (const auto& [key, value] : values)
        file.setValue(key, value);
    file.sync();
}

// "name" or "name=value" per journalled request.
inline QStringList requests(const DeviceSimulator& simulator)
{
    QStringList out;
    for (const JournalEntry& entry : simulator.journal()) {
        QString text = entry.decoded.value("request").toString();
        if (entry.decoded.contains("value"))
            text += '=' + QString::number(entry.decoded.value("value").toInteger());
        if (!entry.ok)
            text += QStringLiteral("!refused");
        out << text;
    }
    return out;
}

// Whether the simulated driver streams now; invalid when the state does not say.
inline QVariant streaming(DeviceSimulator& simulator)
{
    const QJsonObject stream = simulator.state().value("stream").toObject();
    return stream.contains("running") ? QVariant(stream.value("running").toBool()) : QVariant();
}

inline qint64 timeOf(const DeviceSimulator& simulator, const QString& request, int nth = 0)
{
    int seen = 0;
    for (const JournalEntry& entry : simulator.journal())
        if (entry.decoded.value("request").toString() == request && seen++ == nth)
            return entry.timeMs;
    return -1;
}

} // namespace settingskit
