#pragma once
// The support report: one zip file that a user can send when something goes wrong.
//
// It holds report.txt (the version, the OS name and build, the install scope, the
// autostart value and what was or was not included), the panels' and the settings
// dialog's ini files (ini/), the names of the saved setups (setups.txt), the log files
// (logs/) and, when the program runs, its status (status.json). Everything is read from
// the program's own data folder only: no link is followed out of it, files owned by
// someone else and anything but regular files are left out, and every file is read up to
// a fixed size. The user's name and home folder are replaced by "<user>" and "<home>" in
// every entry.
//
// The archive is written to a temporary file in the folder that zipPath names and then
// renamed to zipPath, so nothing is written anywhere else and no half-written report is
// ever left under that name. Works whether the program runs or not, in any executable:
// Qt Core only.
#include <QByteArray>
#include <QString>

struct SupportReportRequest
{
    QString zipPath;
    // Replace a file that already exists at zipPath.
    bool force = false;
    // The program's status as JSON; empty when the program is not running.
    QByteArray statusJson;
};

// 0: written. 2: refused, nothing written (zipPath exists and force is off, or it names
// no file in an existing folder). 1: the report could not be written (the folder is not
// writable, the disk is full). On a non-zero result *error (when given) says why.
int writeSupportReport(const SupportReportRequest& request, QString* error);
