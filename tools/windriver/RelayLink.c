#include "RelayLink.h"

USHORT QbusRelayPort;

// The performance counter: monotonic, and under Wine it counts real time, where the
// interrupt time and tick count do not keep their Windows units.
ULONGLONG RelayNowMs(void)
{
    LARGE_INTEGER frequency;
    const LARGE_INTEGER now = KeQueryPerformanceCounter(&frequency);
    const ULONGLONG perMs = frequency.QuadPart >= 1000 ? (ULONGLONG)frequency.QuadPart / 1000 : 1;
    return (ULONGLONG)now.QuadPart / perMs;
}

ULONG RelayGetLe32(const UCHAR* p)
{
    return (ULONG)p[0] | (ULONG)p[1] << 8 | (ULONG)p[2] << 16 | (ULONG)p[3] << 24;
}

void RelayPutLe32(UCHAR* p, ULONG value)
{
    p[0] = (UCHAR)value;
    p[1] = (UCHAR)(value >> 8);
    p[2] = (UCHAR)(value >> 16);
    p[3] = (UCHAR)(value >> 24);
}

static ULONG linkError(int wsaError)
{
    switch (wsaError) {
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAENETRESET:
    case WSAENOTCONN:
    case WSAESHUTDOWN:
        return QBUS_ERROR_DEVICE_NOT_CONNECTED;
    default:
        return QBUS_ERROR_GEN_FAILURE;
    }
}

// Waits until the link is ready to read (or write) or the deadline passes. 0 when ready.
static ULONG waitReady(SOCKET link, BOOLEAN forWrite, ULONGLONG deadlineMs)
{
    for (;;) {
        const ULONGLONG now = RelayNowMs();
        if (now >= deadlineMs)
            return QBUS_ERROR_TIMEOUT;
        const ULONGLONG left = deadlineMs - now;
        struct fd_set set = {1, {link}};
        struct timeval timeout = {(LONG)(left / 1000), (LONG)(left % 1000) * 1000};
        const int ready = select(0, forWrite ? NULL : &set, forWrite ? &set : NULL, NULL, &timeout);
        if (ready > 0)
            return 0; // a close or reset shows in the send or recv that follows
        if (ready < 0)
            return linkError(WSAGetLastError());
    }
}

ULONG RelaySend(SOCKET link, const void* data, ULONG size, ULONGLONG deadlineMs)
{
    const char* bytes = data;
    while (size > 0) {
        const int sent = send(link, bytes, (int)size, 0);
        if (sent == SOCKET_ERROR) {
            const int wsaError = WSAGetLastError();
            if (wsaError != WSAEWOULDBLOCK)
                return linkError(wsaError);
            const ULONG failure = waitReady(link, TRUE, deadlineMs);
            if (failure)
                return failure;
            continue;
        }
        bytes += sent;
        size -= (ULONG)sent;
    }
    return 0;
}

ULONG RelayReceive(SOCKET link, void* data, ULONG size, ULONGLONG deadlineMs)
{
    char* bytes = data;
    while (size > 0) {
        const int got = recv(link, bytes, (int)size, 0);
        if (got == 0)
            return QBUS_ERROR_DEVICE_NOT_CONNECTED;
        if (got == SOCKET_ERROR) {
            const int wsaError = WSAGetLastError();
            if (wsaError != WSAEWOULDBLOCK)
                return linkError(wsaError);
            const ULONG failure = waitReady(link, FALSE, deadlineMs);
            if (failure)
                return failure;
            continue;
        }
        bytes += got;
        size -= (ULONG)got;
    }
    return 0;
}

int RelayWaitReadable(SOCKET link, ULONG ms)
{
    struct fd_set set = {1, {link}};
    struct timeval timeout = {(LONG)(ms / 1000), (LONG)(ms % 1000) * 1000};
    const int ready = select(0, &set, NULL, NULL, &timeout);
    return ready < 0 ? -1 : ready > 0;
}

ULONG RelayConnect(const char* hello, SOCKET* link)
{
    *link = INVALID_SOCKET;
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return QBUS_ERROR_GEN_FAILURE;
    struct sockaddr_in address = {0};
    address.sin_family = AF_INET;
    address.sin_port = (USHORT)((QbusRelayPort >> 8) | (QbusRelayPort << 8));
    address.sin_addr = 0x0100007F; // 127.0.0.1 in network order
    if (connect(s, &address, sizeof address) == SOCKET_ERROR) {
        closesocket(s);
        return QBUS_ERROR_FILE_NOT_FOUND;
    }
    // Request frames are small and answered one at a time: never hold one back.
    const int on = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char*)&on, sizeof on);
    ULONG nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    const ULONG failure =
        RelaySend(s, hello, (ULONG)strlen(hello), RelayNowMs() + QBUS_REQUEST_LIMIT_MS);
    if (failure) {
        closesocket(s);
        return failure;
    }
    *link = s;
    return 0;
}

ULONG RelayOpenBus(ULONG bus, SOCKET* link)
{
    WCHAR name[32];
    QbusName(name, L"open QuorvixAudioBus", bus);
    char hello[40];
    ULONG at = 0;
    while (name[at]) {
        hello[at] = (char)name[at];
        ++at;
    }
    hello[at++] = '\n';
    hello[at] = 0;
    ULONG failure = RelayConnect(hello, link);
    UCHAR answer[4];
    if (!failure)
        failure = RelayReceive(*link, answer, sizeof answer, RelayNowMs() + QBUS_REQUEST_LIMIT_MS);
    if (!failure)
        failure = RelayGetLe32(answer);
    else if (failure == QBUS_ERROR_DEVICE_NOT_CONNECTED)
        failure = QBUS_ERROR_FILE_NOT_FOUND; // the relay went away: no device either
    if (failure && *link != INVALID_SOCKET) {
        RelayClose(*link);
        *link = INVALID_SOCKET;
    }
    return failure;
}

void RelayClose(SOCKET link)
{
    if (link == INVALID_SOCKET)
        return;
    shutdown(link, SD_BOTH);
    closesocket(link);
}
