#pragma once
// What the installer or the package left on this machine, in the words of the support
// report: how the program is installed and whether it starts at log-in. Reads only what
// every user may read (the installer's registry values, the package's files, the
// autostart entries), never another user's files.
#include <QString>

struct InstallFacts
{
    QString scope;     // "per user", "all users" or "none", with where it was found
    QString autostart; // "on" or "off" with the entry that says so, or "none"
};

InstallFacts readInstallFacts();
