/* Starts a command line as a key press of Stream Deck or a shortcut key does: from a
 * windowless process that has no console, with no flags. Waits up to the given seconds
 * and exits with the child's exit code (259 while it still runs, 255 when it could not
 * start). Usage: launch_probe.exe <seconds> <program> <arguments...>, no spaces inside
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
    WaitForSingleObject(child.hProcess, seconds * 1000);
    DWORD code = 255;
    GetExitCodeProcess(child.hProcess, &code);
    return (int)code;
}
