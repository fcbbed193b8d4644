/* Prints what the system shows of the program's control pipe in this session, one
 * "key: value" line each: whether a first instance of the same name can still be made
 * (squatting), the pipe's type, its owner and integrity label, and every entry of its
 * DACL next to this user's SID and integrity level. Then plays hostile clients and prints the first line
 * each got back: garbage bytes, eight silent clients that fill the endpoint, and a
 * ninth client beyond them.
 * "watch SECONDS" instead waits up to 60 s for the name to appear and then, for SECONDS,
 * asks every few milliseconds whether it still exists, without connecting; it prints
 * how often it asked and how often the name was gone. */
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void printSid(const char* what, PSID sid)
{
    wchar_t* text = NULL;
    if (ConvertSidToStringSidW(sid, &text)) {
        printf("%s: %ls\n", what, text);
        LocalFree(text);
    }
}

/* Whether any instance of the pipe exists: a listening one answers at once, a busy one
 * lets the wait time out, and only a name without instances is not found. */
static int pipeExists(const wchar_t* name)
{
    return WaitNamedPipeW(name, 1) || GetLastError() != ERROR_FILE_NOT_FOUND;
}

static int watch(const wchar_t* name, DWORD seconds)
{
    const DWORD start = GetTickCount();
    while (!pipeExists(name)) {
        if (GetTickCount() - start > 60000) {
            printf("seen: no\n");
            return 1;
        }
        Sleep(2);
    }
    const DWORD seen = GetTickCount();
    unsigned checks = 0, gaps = 0;
    while (GetTickCount() - seen < seconds * 1000) {
        ++checks;
        if (!pipeExists(name))
            ++gaps;
        Sleep(2);
    }
    printf("seen: yes\nchecks: %u\ngaps: %u\n", checks, gaps);
    return 0;
}

static HANDLE openClient(const wchar_t* name)
{
    for (int tries = 0; tries < 50; ++tries) {
        HANDLE pipe = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                  SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, NULL);
        if (pipe != INVALID_HANDLE_VALUE || GetLastError() != ERROR_PIPE_BUSY)
            return pipe;
        WaitNamedPipeW(name, 200);
    }
    return INVALID_HANDLE_VALUE;
}

/* Reads until the server ends the connection; prints the reply's first line, or
 * "closed" when nothing came. */
static void printReply(const char* what, HANDLE pipe)
{
    char reply[512];
    DWORD total = 0, got = 0;
    while (total < sizeof reply - 1 &&
           ReadFile(pipe, reply + total, (DWORD)(sizeof reply - 1 - total), &got, NULL) && got)
        total += got;
    reply[total] = 0;
    char* end = strchr(reply, '\n');
    if (end)
        *end = 0;
    printf("%s: %s\n", what, total ? reply : "closed");
}

static void hostileClients(const wchar_t* name)
{
    HANDLE garbage = openClient(name);
    DWORD written = 0;
    WriteFile(garbage, "\xff\xfe\x80\n", 4, &written, NULL);
    printReply("garbage", garbage);
    CloseHandle(garbage);

    HANDLE silent[8];
    for (int i = 0; i < 8; ++i)
        silent[i] = openClient(name);
    Sleep(200);
    HANDLE ninth = openClient(name);
    printReply("ninth", ninth);
    CloseHandle(ninth);
    printReply("silent", silent[0]);
    for (int i = 0; i < 8; ++i)
        CloseHandle(silent[i]);
}

int main(int argc, char** argv)
{
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    wchar_t name[96];
    swprintf(name, 96, L"\\\\.\\pipe\\QuorvixMixer.Control.%lu", session);
    if (argc == 3 && strcmp(argv[1], "watch") == 0)
        return watch(name, (DWORD)atoi(argv[2]));

    HANDLE squat = CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                    PIPE_TYPE_BYTE, PIPE_UNLIMITED_INSTANCES, 512, 512, 0, NULL);
    if (squat == INVALID_HANDLE_VALUE) {
        printf("first-instance: refused %lu\n", GetLastError());
    } else {
        printf("first-instance: granted\n");
        CloseHandle(squat);
    }

    HANDLE pipe = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, NULL);
    if (pipe == INVALID_HANDLE_VALUE) {
        printf("open: failed %lu\n", GetLastError());
        return 1;
    }
    DWORD flags = 0;
    if (GetNamedPipeInfo(pipe, &flags, NULL, NULL, NULL))
        printf("type: %s\n", (flags & PIPE_TYPE_MESSAGE) ? "message" : "byte");

    HANDLE token = NULL;
    BYTE user[256];
    DWORD size = 0;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
        GetTokenInformation(token, TokenUser, user, sizeof user, &size))
        printSid("user", ((TOKEN_USER*)user)->User.Sid);
    BYTE level[64];
    if (token && GetTokenInformation(token, TokenIntegrityLevel, level, sizeof level, &size))
        printSid("integrity", ((TOKEN_MANDATORY_LABEL*)level)->Label.Sid);

    PSID owner = NULL;
    PACL sacl = NULL;
    PSECURITY_DESCRIPTOR about = NULL;
    const DWORD got = GetSecurityInfo(pipe, SE_KERNEL_OBJECT,
                                      OWNER_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION,
                                      &owner, NULL, NULL, &sacl, &about);
    if (got != ERROR_SUCCESS) {
        printf("owner: unreadable %lu\n", got);
    } else {
        printSid("owner", owner);
        ACE_HEADER* ace = NULL;
        if (sacl && sacl->AceCount && GetAce(sacl, 0, (void**)&ace) &&
            ace->AceType == SYSTEM_MANDATORY_LABEL_ACE_TYPE)
            printSid("label", &((SYSTEM_MANDATORY_LABEL_ACE*)ace)->SidStart);
        else
            printf("label: none\n");
        LocalFree(about);
    }

    PACL dacl = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    const DWORD rc = GetSecurityInfo(pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, NULL,
                                     NULL, &dacl, NULL, &descriptor);
    if (rc != ERROR_SUCCESS) {
        printf("dacl: unreadable %lu\n", rc);
    } else if (!dacl) {
        printf("dacl: none\n");
    } else {
        printf("dacl: %u entries\n", dacl->AceCount);
        for (DWORD i = 0; i < dacl->AceCount; ++i) {
            ACCESS_ALLOWED_ACE* ace = NULL;
            if (GetAce(dacl, i, (void**)&ace) && ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE)
                printSid("allow", &ace->SidStart);
            else
                printf("other-entry: %lu\n", i);
        }
        LocalFree(descriptor);
    }
    CloseHandle(pipe);
    hostileClients(name);
    return 0;
}
