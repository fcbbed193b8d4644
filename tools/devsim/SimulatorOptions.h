#pragma once
// The simulator's command line.
#include "DeviceState.h"

#include <QString>
#include <QStringList>

struct SimulatorOptions
{
    int bus = 0;
    DeviceState initial;
    bool unplugged = false;
    QString journalPath;
    QString controlPath;
    bool briefMatrixJournal = false;
    QString meters = QStringLiteral("sine");
    bool quiet = false;
    QString clientCommand; // --ctl: send this one command to a running simulator
    bool clientMode = false;

    // Parses the arguments (handles --help and --version itself, exiting). False with
    // the reason in `error` on a bad option.
    bool parse(const QStringList& arguments, QString& error);
};
