/* Measures how long the program's GUI thread stops answering, for the Windows tour.
 * Sends WM_NULL to the program's hidden tray window (which its GUI thread serves) every
 * 50 ms for the given number of seconds and prints "longest <ms> answers <n>": the
 * longest wait for one answer, and how many answers came. Exits 1 when the window is
 * missing or its last message got no answer within 15 s.
 * usage: stall_probe SECONDS */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv)
{
    const ULONGLONG span = (argc > 1 ? strtoul(argv[1], NULL, 10) : 5) * 1000ull;
    const HWND window = FindWindowW(NULL, L"QTrayIconMessageWindow");
    ULONGLONG longest = 0, start = GetTickCount64();
    unsigned answers = 0;
    BOOL answered = FALSE;
    if (!window) {
        printf("no window\n");
        return 1;
    }
    while (GetTickCount64() - start < span) {
        const ULONGLONG sent = GetTickCount64();
        DWORD_PTR result = 0;
        answered = SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 15000, &result) != 0;
        const ULONGLONG waited = GetTickCount64() - sent;
        if (waited > longest)
            longest = waited;
        if (!answered)
            break;
        answers++;
        Sleep(50);
    }
    printf("longest %llu answers %u\n", longest, answers);
    return answered ? 0 : 1;
}
