/* Stand-ins for Windows' taskkill.exe and tasklist.exe in the wine tests (the installer
 * test and the Windows tour): wine's own know no /fi filters. Built with -DTASKKILL or
 * -DTASKLIST into the test prefix's system32. Each appends "<own session>\t<command line>" to the file
 * named by QV_STANDIN_LOG, then does what Windows' tool does for the installer's
 * filters (IMAGENAME eq, SESSION eq|ne) and /im:
 *   taskkill /f /fi "SESSION eq N" /im NAME   ends NAME's processes in session N, or
 *                                             none with QV_TASKKILL=inert (a copy that
 *                                             will not end); while the file named by
 *                                             QV_STANDIN_STUCK exists it ends nothing and
 *                                             exits 1 only after 8 s (a taskkill that
 *                                             does not come back);
 *   tasklist /fi "IMAGENAME eq NAME" /fi "SESSION ne N" /fo csv /nh   one CSV line per
 *                                             match; QV_TASKLIST_OTHER=1 adds a copy in
 *                                             session N+1, which wine cannot have. */
#include <windows.h>

#include <shellapi.h>
#include <stdio.h>
#include <tlhelp32.h>
#include <wchar.h>

static void log_call(void)
{
    wchar_t path[MAX_PATH];
    DWORD session = 0;
    FILE* f;
    if (!GetEnvironmentVariableW(L"QV_STANDIN_LOG", path, MAX_PATH))
        return;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    f = _wfopen(path, L"a");
    if (!f)
        return;
    fprintf(f, "%lu\t%ls\n", (unsigned long)session, GetCommandLineW());
    fclose(f);
}

static int env_is(const wchar_t* name, const wchar_t* value)
{
    wchar_t buf[32];
    DWORD n = GetEnvironmentVariableW(name, buf, 32);
    return n > 0 && n < 32 && wcscmp(buf, value) == 0;
}

int wmain(void)
{
    int argc, i, matched = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    const wchar_t* image = NULL;
    wchar_t op[3] = L"";
    unsigned long session = 0;
    int have_session = 0;
    HANDLE snap;
    PROCESSENTRY32W pe;

    log_call();
#ifdef TASKKILL
    {
        wchar_t stuck[MAX_PATH];
        if (GetEnvironmentVariableW(L"QV_STANDIN_STUCK", stuck, MAX_PATH) &&
            GetFileAttributesW(stuck) != INVALID_FILE_ATTRIBUTES) {
            Sleep(8000);
            return 1;
        }
    }
#endif
    for (i = 1; argv && i + 1 < argc; i++) {
        if (_wcsicmp(argv[i], L"/im") == 0) {
            image = argv[++i];
        } else if (_wcsicmp(argv[i], L"/fi") == 0) {
            const wchar_t* fi = argv[++i];
            if (_wcsnicmp(fi, L"IMAGENAME eq ", 13) == 0)
                image = fi + 13;
            else if (swscanf(fi, L"SESSION %2ls %lu", op, &session) == 2)
                have_session = 1;
        }
    }
    if (!image || !have_session || (wcscmp(op, L"eq") != 0 && wcscmp(op, L"ne") != 0)) {
        fprintf(stderr, "ERROR: Invalid argument/option.\n");
        return 1;
    }
    snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    pe.dwSize = sizeof pe;
    for (BOOL ok = Process32FirstW(snap, &pe); ok; ok = Process32NextW(snap, &pe)) {
        DWORD s = 0;
        if (_wcsicmp(pe.szExeFile, image) != 0 || !ProcessIdToSessionId(pe.th32ProcessID, &s))
            continue;
        if ((wcscmp(op, L"eq") == 0) != (s == session))
            continue;
        matched++;
#ifdef TASKKILL
        if (!env_is(L"QV_TASKKILL", L"inert")) {
            HANDLE p = OpenProcess(PROCESS_TERMINATE, FALSE, pe.th32ProcessID);
            if (p) {
                TerminateProcess(p, 1);
                CloseHandle(p);
            }
        }
#else
        printf("\"%ls\",\"%lu\",\"Console\",\"%lu\",\"10,000 K\"\n", pe.szExeFile,
               (unsigned long)pe.th32ProcessID, (unsigned long)s);
#endif
    }
    CloseHandle(snap);
#ifdef TASKLIST
    if (wcscmp(op, L"ne") == 0 && env_is(L"QV_TASKLIST_OTHER", L"1")) {
        printf("\"%ls\",\"4242\",\"RDP-Tcp#0\",\"%lu\",\"10,000 K\"\n", image, session + 1);
        matched++;
    }
    if (!matched)
        printf("INFO: No tasks are running which match the specified criteria.\n");
    return 0;
#else
    return matched ? 0 : 128;
#endif
}
