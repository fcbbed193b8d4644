#pragma once
// Carries out control commands (see quorvix-devsim --help) on a Simulator and returns
// the reply line: "ok ..." or "error <reason>".
#include <QString>
#include <QStringList>

class Simulator;

class CommandInterpreter
{
public:
    explicit CommandInterpreter(Simulator& simulator) : sim(simulator) {}

    QString execute(const QString& line);

private:
    QString setField(const QStringList& words);
    QString refuse(const QStringList& words);
    QString dumpMatrix(const QString& path);
    static QString help();

    Simulator& sim;
};
