#pragma once
// Where the program keeps its files, the same answer in every executable of the project:
// the folder is QuorvixDriver's application-data folder (QStandardPaths::AppDataLocation
// under the program's application name, without an organisation), whichever executable
// asks.
#include <QString>

namespace programfolders {

// The program's application name, from which its data folder is named.
inline constexpr char kApplicationName[] = "QuorvixDriver";
// The current log file and the one older file kept beside it.
inline constexpr char kLogFileName[] = "QuorvixMixer.log";
inline constexpr char kOlderLogFileName[] = "QuorvixMixer.log.1";

// The program's application-data folder (not created). In an executable of another name
// it borrows the program's name for the one query: call it from the main thread, after
// the application object exists (before, the program's name stays set).
QString appData();
// appData() + "/logs".
QString logs();

} // namespace programfolders
