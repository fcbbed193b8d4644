/* Runs a command line as a standard user would, for the wine tests: wine gives every
 * process an administrator's token, so this starts the rest of its own command line with
 * a copy of its token in which the Administrators group is deny-only (what UAC's filtered
 * token holds), waits for it and exits with its exit code (100 + step when it could not
 * start it). */
#include <windows.h>

#include <wchar.h>

int wmain(void)
{
    BYTE admins[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof admins, code = 0;
    SID_AND_ATTRIBUTES deny = {admins, 0};
    HANDLE own, limited;
    STARTUPINFOW si;
    PROCESS_INFORMATION pi;
    wchar_t* rest = GetCommandLineW();

    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;

    /* The command line after this program's own name, as the shell gave it. */
    if (*rest == L'"') {
        rest = wcschr(rest + 1, L'"');
        rest = rest ? rest + 1 : L"";
    } else {
        rest += wcscspn(rest, L" \t");
    }
    rest += wcsspn(rest, L" \t");
    if (!*rest || !CreateWellKnownSid(WinBuiltinAdministratorsSid, NULL, admins, &size))
        return 100;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &own) ||
        !CreateRestrictedToken(own, 0, 1, &deny, 0, NULL, 0, NULL, &limited))
        return 101;
    if (!CreateProcessAsUserW(limited, NULL, rest, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
        return 102;
    WaitForSingleObject(pi.hProcess, INFINITE);
    GetExitCodeProcess(pi.hProcess, &code);
    return (int)code;
}
