#pragma once
// Which translation a system locale gets: exact, case-sensitive names; anything not
// listed falls back to "en_US".
#include <QString>

QString translationLocaleFor(const QString& systemLocaleName);
