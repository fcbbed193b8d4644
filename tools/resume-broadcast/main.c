/* quorvix-resume-broadcast.exe: tells every top-level window that the computer has
 * resumed from sleep, as Windows itself does (WM_POWERBROADCAST with
 * PBT_APMRESUMEAUTOMATIC), or with the word "suspend" that it is about to sleep
 * (PBT_APMSUSPEND), for the Windows tests under Wine, where nothing sleeps. It returns
 * once every window has handled the message: exit 0, or 1 when it could not be sent. */
#include <windows.h>

#include <stdio.h>
#include <string.h>

int main(int argc, char** argv)
{
    const WPARAM event =
        argc > 1 && strcmp(argv[1], "suspend") == 0 ? PBT_APMSUSPEND : PBT_APMRESUMEAUTOMATIC;
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutW(HWND_BROADCAST, WM_POWERBROADCAST, event, 0, SMTO_ABORTIFHUNG, 5000,
                             &answer)) {
        fprintf(stderr, "quorvix-resume-broadcast: not sent, error %lu\n", GetLastError());
        return 1;
    }
    return 0;
}
