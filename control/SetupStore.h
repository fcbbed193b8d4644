#pragma once
// Named setups of one model: files in <app data>/setups/<model>/<name>.ini holding the
// model's controls with the keys and values of its own ini file.
#include "panels/PanelBase.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <vector>

class SetupStore
{
public:
    // One control and the value a setup holds for it: a level, or 1/0 for a switch.
    struct Entry
    {
        const PanelControl* control = nullptr;
        int value = 0;
    };

    explicit SetupStore(const QString& model);

    // A name is 1-64 letters, digits, spaces, '-' and '_', neither starting nor ending
    // with a space, and no reserved Windows device name (CON, NUL, COM1 ...), so it is
    // one file name on every system and never leaves the folder.
    static bool validName(const QString& name);

    // The names of the model's setups, sorted.
    QStringList names() const;
    bool exists(const QString& name) const;
    // Writes the controls' current values; false with the reason when the file could
    // not be written.
    bool save(const QString& name, const std::vector<PanelControl>& controls, QString& error) const;
    bool remove(const QString& name) const;
    // Reads a setup whole against the panel's controls, in their order. False, with the
    // reason naming the line or key, for a damaged file, an unknown or missing key, a
    // key given twice or a value out of the control's range.
    bool read(const QString& name, const std::vector<PanelControl>& controls,
              std::vector<Entry>& entries, QString& error) const;

    // The control's current value as the ini file stores it ("true", "-20").
    static QString storedValue(const PanelControl& control);

private:
    QString filePath(const QString& name) const;

    QString folder;
};
