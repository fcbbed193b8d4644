/* Measures how long the program's GUI thread stops answering, for the Windows tour.
 * Sends WM_NULL to the program's hidden tray window (which its GUI thread serves) every
 * 50 ms for the given number of seconds and prints "longest <ms> answers <n>": the
 * longest wait for one answer, and how many answers came; then "slow <n> stalled <ms>":
 * how many answers took longer than 500 ms, and how long those took together; and every
 * 10 s (and at the end) "memory <s> <private KiB> <handles>" of the program, -1 where the
 * system does not tell (psapi first, else the system's process list). Exits 1 when the window is missing or its last message got no
 * answer within 15 s.
 * usage: stall_probe SECONDS */
#include <windows.h>

#include <psapi.h>
#include <winternl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The program's entry in the system's process list, into `entry`; FALSE when missing. */
static BOOL processEntry(DWORD pid, SYSTEM_PROCESS_INFORMATION* entry)
{
    static char buffer[1 << 20];
    ULONG offset = 0;
    if (NtQuerySystemInformation(SystemProcessInformation, buffer, sizeof buffer, NULL) != 0)
        return FALSE;
    for (;;) {
        const SYSTEM_PROCESS_INFORMATION* info = (const SYSTEM_PROCESS_INFORMATION*)(buffer + offset);
        if ((DWORD)(ULONG_PTR)info->UniqueProcessId == pid) {
            *entry = *info;
            return TRUE;
        }
        if (!info->NextEntryOffset)
            return FALSE;
        offset += info->NextEntryOffset;
    }
}

/* Appends one "memory" line to `lines`, printed after the first line, which the tour
 * reads on its own. A figure the system gives as 0 (Wine does for another process) is
 * not told: -1. */
static void noteMemory(HANDLE program, DWORD pid, ULONGLONG seconds, char* lines, size_t size)
{
    PROCESS_MEMORY_COUNTERS_EX counters;
    SYSTEM_PROCESS_INFORMATION entry;
    DWORD handles = 0;
    long long privateKb = -1, handleCount = -1;
    size_t used;
    ZeroMemory(&counters, sizeof counters);
    if (program && GetProcessMemoryInfo(program, (PROCESS_MEMORY_COUNTERS*)&counters,
                                        sizeof counters) &&
        counters.PrivateUsage > 0)
        privateKb = (long long)(counters.PrivateUsage / 1024);
    if (program && GetProcessHandleCount(program, &handles) && handles > 0)
        handleCount = handles;
    if ((privateKb < 0 || handleCount < 0) && processEntry(pid, &entry)) {
        if (privateKb < 0 && entry.VirtualMemoryCounters.PagefileUsage > 0)
            privateKb = (long long)(entry.VirtualMemoryCounters.PagefileUsage / 1024);
        if (handleCount < 0 && entry.HandleCount > 0)
            handleCount = entry.HandleCount;
    }
    used = strlen(lines);
    snprintf(lines + used, size - used, "memory %llu %lld %lld\n", seconds, privateKb,
             handleCount);
}

int main(int argc, char** argv)
{
    const ULONGLONG span = (argc > 1 ? strtoul(argv[1], NULL, 10) : 5) * 1000ull;
    const HWND window = FindWindowW(NULL, L"QTrayIconMessageWindow");
    ULONGLONG longest = 0, stalled = 0, start = GetTickCount64(), nextMemory = 0;
    unsigned answers = 0, slow = 0;
    BOOL answered = FALSE;
    DWORD pid = 0;
    HANDLE program = NULL;
    char memory[2048] = "";
    if (!window) {
        printf("no window\n");
        return 1;
    }
    GetWindowThreadProcessId(window, &pid);
    program = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    while (GetTickCount64() - start < span) {
        const ULONGLONG sent = GetTickCount64();
        DWORD_PTR result = 0;
        ULONGLONG waited;
        if (sent - start >= nextMemory) {
            noteMemory(program, pid, (sent - start) / 1000, memory, sizeof memory);
            nextMemory += 10000;
        }
        answered = SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 15000, &result) != 0;
        waited = GetTickCount64() - sent;
        if (waited > longest)
            longest = waited;
        if (waited > 500) {
            slow++;
            stalled += waited;
        }
        if (!answered)
            break;
        answers++;
        Sleep(50);
    }
    noteMemory(program, pid, (GetTickCount64() - start) / 1000, memory, sizeof memory);
    printf("longest %llu answers %u\nslow %u stalled %llu\n", longest, answers, slow, stalled);
    printf("%s", memory);
    if (program)
        CloseHandle(program);
    return answered ? 0 : 1;
}
