/* Prints the title of the window that Windows (or Wine) has in the foreground, and
 * whether the keyboard focus is inside it, as "<title>|focus" or "<title>|nofocus". */
#include <windows.h>

#include <stdio.h>

int main(void)
{
    const HWND front = GetForegroundWindow();
    wchar_t title[256] = L"";
    if (front)
        GetWindowTextW(front, title, 256);
    GUITHREADINFO input = {sizeof input};
    const BOOL known = GetGUIThreadInfo(0, &input);
    const BOOL inside = known && input.hwndFocus &&
                        (input.hwndFocus == front || IsChild(front, input.hwndFocus));
    printf("%ls|%s\n", title, inside ? "focus" : "nofocus");
    return front ? 0 : 1;
}
