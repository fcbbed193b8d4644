/* quorvix-resume-broadcast.exe: tells every top-level window that the computer has
 * resumed from sleep, as Windows itself does (WM_POWERBROADCAST with
 * PBT_APMRESUMEAUTOMATIC), for the Windows tests under Wine, where nothing sleeps. It
 * returns once every window has handled the message: exit 0, or 1 when it could not be
 * sent. */
#include <windows.h>

#include <stdio.h>

int main(void)
{
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutW(HWND_BROADCAST, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0,
                             SMTO_ABORTIFHUNG, 5000, &answer)) {
        fprintf(stderr, "quorvix-resume-broadcast: not sent, error %lu\n", GetLastError());
        return 1;
    }
    return 0;
}
