#pragma once
// Opening the program's ini stores. QSettings guards each ini file with a ".lock" file
// beside it and waits up to 30 s for a lock it thinks is held; a process killed between
// creating that lock and writing its pid into it leaves an empty one behind. Opening a
// store through here clears such a lock first, so a start after a crash never freezes.
#include <QString>

class QObject;
class QSettings;

// Creates the application-data folder (QStandardPaths::AppDataLocation) if missing,
// removes a stale lock beside the ini file and the lines QSettings must not decode (see
// dropUndecodableIniLines) from the file, and returns a QSettings in ini format over
// the folder plus fileName (which starts with a slash), owned by parent.
QSettings* openIniStore(const QString& fileName, QObject* parent);

// Writes the store's changes to its file at once and tells whether the file took them.
// QSettings keeps the first error it met for the rest of its life, so a store that
// failed before is first replaced by a fresh one over the same file (owned by the same
// parent, with the unsaved values); `store` then points at the new one. A failure is
// logged with the file's path.
bool syncIniStore(QSettings*& store);

// Removes from iniPath every line whose value holds an '@' or a '\\'. QSettings decodes
// a value that reads "@Variant(...)" or "@DateTime(...)" (also behind quotes or escapes)
// as a serialized Qt type, and a damaged one can ask for gigabytes and end the program.
// The program only ever writes plain numbers, words and true/false, so such a line is
// never one of its settings. The file is rewritten, and the removal logged, only when
// there is such a line; false when it could not be rewritten.
bool dropUndecodableIniLines(const QString& iniPath);

// Removes the lock file beside iniPath when no live process holds it: an empty or
// unreadable lock, or one whose owner has ended. A lock of a live owner is left alone.
// True when no lock remains afterwards.
bool removeStaleIniLock(const QString& iniPath);
