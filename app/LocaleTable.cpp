#include "app/LocaleTable.h"

#include <QHash>

QString translationLocaleFor(const QString& systemLocaleName)
{
    static const QHash<QString, QString> table = {
        {"en_001", "en_US"}, {"en_US", "en_US"}, {"en_GB", "en_US"},
        {"zh_CN", "zh_CN"},  {"zh_TW", "zh_CN"},
    };
    return table.value(systemLocaleName, QStringLiteral("en_US"));
}
