/* Starts a command line as a key press of Stream Deck or a shortcut key does: from a
 * windowless process that has no console, with no flags. Waits up to the given seconds
 * and exits with the child's exit code; a child still running then is ended and gives
 * 259, one that could not start 255. Usage: launch_probe.exe <seconds> <program> <arguments...>, no spaces inside
 * the program's path. */
#include <windows.h>

#include <stdlib.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR line, int show)
{
    (void)instance;
    (void)previous;
    (void)show;
    wchar_t* rest = NULL;
    const DWORD seconds = wcstoul(line, &rest, 10);
    while (*rest == L' ')
        ++rest;
    STARTUPINFOW startup = {sizeof startup};
    PROCESS_INFORMATION child;
    if (!CreateProcessW(NULL, rest, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &child))
        return 255;
    if (WaitForSingleObject(child.hProcess, seconds * 1000) == WAIT_TIMEOUT) {
        TerminateProcess(child.hProcess, STILL_ACTIVE);
        return STILL_ACTIVE;
    }
    DWORD code = 255;
    GetExitCodeProcess(child.hProcess, &code);
    return (int)code;
}
