#pragma once
// Loads the translation that matches the system locale from the program's folder and
// installs it, logging each step; falls back to the en_US file, then to the built-in
// texts. Runs before any window exists so every window is built translated.
#include <QString>

class QCoreApplication;
class QTranslator;

// Returns true when a translation was installed.
bool installTranslation(QCoreApplication& app, QTranslator& translator, const QString& directory,
                        const QString& systemLocaleName);
