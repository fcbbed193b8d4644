/* A stand-in for Windows' Restart Manager (rstrtmgr.dll) in the installer's wine test:
 * wine's answers every call with success and lists no process for any file. Built into
 * the test prefix's system32 and loaded only by runs that ask for it
 * (WINEDLLOVERRIDES=rstrtmgr=n). One Restart Manager session open at a time, so a
 * caller that does not end its session finds the next start refused.
 *   RmRegisterResources  appends "<own session>\tRmRegisterResources <file>" per file to
 *                        the file named by QV_STANDIN_LOG;
 *   RmGetList            lists the processes whose executable is a registered file (a
 *                        running program holds its own file), with their real process
 *                        ids and sessions; QV_RM_OTHER_SESSION=1 reports every holder but
 *                        the caller in session N+1, another user's copy, which wine
 *                        cannot have; QV_RM_SERVICE=1 adds two holders of the registered
 *                        files that are no user's copy, a service (as a virus scanner
 *                        reading the file) and a critical system process, both with
 *                        made-up process ids in session N+1; QV_RM_GROW=1 answers the
 *                        first call of a session
 *                        with ERROR_MORE_DATA and one more than the room given, and so
 *                        every later call with less room than that: a list that grew
 *                        between two calls. */
#include <windows.h>

#include <restartmanager.h>
#include <stdio.h>
#include <tlhelp32.h>
#include <wchar.h>

#define MAX_FILES 8
#ifndef ERROR_MAX_SESSIONS_REACHED
#define ERROR_MAX_SESSIONS_REACHED 353
#endif

static wchar_t files[MAX_FILES][MAX_PATH];
static UINT file_count;
static DWORD open_session, last_session;
static int listed;
static UINT least; /* QV_RM_GROW: the size the list grew to */

static int env_is(const wchar_t* name, const wchar_t* value)
{
    wchar_t buf[32];
    DWORD n = GetEnvironmentVariableW(name, buf, 32);
    return n > 0 && n < 32 && wcscmp(buf, value) == 0;
}

static void log_file(const wchar_t* file)
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
    fprintf(f, "%lu\tRmRegisterResources %ls\n", (unsigned long)session, file);
    fclose(f);
}

__declspec(dllexport) DWORD WINAPI RmStartSession(DWORD* handle, DWORD flags, WCHAR key[])
{
    if (!handle || !key || flags)
        return ERROR_BAD_ARGUMENTS;
    if (open_session)
        return ERROR_MAX_SESSIONS_REACHED;
    open_session = ++last_session;
    *handle = open_session;
    swprintf(key, CCH_RM_SESSION_KEY + 1, L"%032lx", (unsigned long)open_session);
    file_count = 0;
    listed = 0;
    least = 0;
    return ERROR_SUCCESS;
}

__declspec(dllexport) DWORD WINAPI RmEndSession(DWORD handle)
{
    if (!open_session || handle != open_session)
        return ERROR_INVALID_HANDLE;
    open_session = 0;
    return ERROR_SUCCESS;
}

__declspec(dllexport) DWORD WINAPI
    RmRegisterResources(DWORD handle, UINT n, LPCWSTR names[], UINT apps,
                        RM_UNIQUE_PROCESS app_list[], UINT services, LPCWSTR service_names[])
{
    (void)app_list;
    (void)service_names;
    if (!open_session || handle != open_session)
        return ERROR_INVALID_HANDLE;
    if ((n && !names) || apps || services)
        return ERROR_BAD_ARGUMENTS;
    for (UINT i = 0; i < n; i++) {
        if (file_count == MAX_FILES || !names[i] || wcslen(names[i]) >= MAX_PATH)
            return ERROR_BAD_ARGUMENTS;
        wcscpy(files[file_count++], names[i]);
        log_file(names[i]);
    }
    return ERROR_SUCCESS;
}

static int registered(const wchar_t* path)
{
    for (UINT i = 0; i < file_count; i++)
        if (_wcsicmp(files[i], path) == 0)
            return 1;
    return 0;
}

/* Fills up to room entries and returns how many processes hold a registered file. */
static UINT holders(RM_PROCESS_INFO* out, UINT room)
{
    UINT count = 0;
    int other = env_is(L"QV_RM_OTHER_SESSION", L"1");
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W pe;
    pe.dwSize = sizeof pe;
    for (BOOL ok = Process32FirstW(snap, &pe); ok; ok = Process32NextW(snap, &pe)) {
        wchar_t image[MAX_PATH];
        DWORD len = MAX_PATH, session = RM_INVALID_TS_SESSION;
        FILETIME created, exited, kernel, user;
        HANDLE p = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pe.th32ProcessID);
        if (!p)
            continue;
        if (QueryFullProcessImageNameW(p, 0, image, &len) && registered(image)) {
            if (count < room) {
                RM_PROCESS_INFO* info = &out[count];
                memset(info, 0, sizeof *info);
                info->Process.dwProcessId = pe.th32ProcessID;
                if (GetProcessTimes(p, &created, &exited, &kernel, &user))
                    info->Process.ProcessStartTime = created;
                wcsncpy(info->strAppName, pe.szExeFile, CCH_RM_MAX_APP_NAME);
                info->ApplicationType = RmUnknownApp;
                info->AppStatus = RmStatusRunning;
                ProcessIdToSessionId(pe.th32ProcessID, &session);
                if (other && pe.th32ProcessID != GetCurrentProcessId())
                    session++;
                info->TSSessionId = session;
            }
            count++;
        }
        CloseHandle(p);
    }
    CloseHandle(snap);
    if (file_count && env_is(L"QV_RM_SERVICE", L"1")) {
        static const RM_APP_TYPE types[] = {RmService, RmCritical};
        DWORD own = 0;
        ProcessIdToSessionId(GetCurrentProcessId(), &own);
        for (int i = 0; i < 2; i++, count++) {
            RM_PROCESS_INFO* info = &out[count];
            if (count >= room)
                continue;
            memset(info, 0, sizeof *info);
            info->Process.dwProcessId = 0x7FF0 + 4 * i;
            wcscpy(info->strAppName, i ? L"qvcritical.exe" : L"Quorvix Scan Service");
            if (!i)
                wcscpy(info->strServiceShortName, L"QvScan");
            info->ApplicationType = types[i];
            info->AppStatus = RmStatusRunning;
            info->TSSessionId = own + 1;
            info->bRestartable = !i;
        }
    }
    return count;
}

__declspec(dllexport) DWORD WINAPI
    RmGetList(DWORD handle, UINT* needed, UINT* n, RM_PROCESS_INFO apps[], LPDWORD reasons)
{
    UINT room;
    if (!open_session || handle != open_session)
        return ERROR_INVALID_HANDLE;
    if (!needed || !n || !reasons || (*n && !apps))
        return ERROR_BAD_ARGUMENTS;
    *reasons = RmRebootReasonNone;
    room = *n;
    *needed = holders(apps, room);
    if (!listed++ && env_is(L"QV_RM_GROW", L"1"))
        least = room + 1;
    if (*needed < least && room < least)
        *needed = least;
    if (*needed > room) {
        *n = 0;
        return ERROR_MORE_DATA;
    }
    *n = *needed;
    return ERROR_SUCCESS;
}
