/* Stands in for Windows' taskkill.exe in the Windows tour: Wine's own knows no /fi.
 * Appends its command line and its own session id to the file named by
 * QUORVIX_TASKKILL_LOG and ends nothing. Exits 0 when the command line asks for
 * explorer.exe with a session filter, 1 otherwise, as taskkill fails an invalid filter. */
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

int main(void)
{
    const wchar_t* line = GetCommandLineW();
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    wchar_t path[MAX_PATH];
    if (GetEnvironmentVariableW(L"QUORVIX_TASKKILL_LOG", path, MAX_PATH)) {
        FILE* log = _wfopen(path, L"a");
        if (log) {
            fwprintf(log, L"session %lu: %ls\n", session, line);
            fclose(log);
        }
    }
    return wcsstr(line, L"/fi \"SESSION eq ") && wcsstr(line, L"/im explorer.exe") ? 0 : 1;
}
