#pragma once
// The few winsock calls the bus driver makes. Declared by hand: the kernel's headers
// and winsock's user-mode headers cannot be included together.
#include <ntddk.h>

typedef ULONG_PTR SOCKET;
#define INVALID_SOCKET ((SOCKET) ~(ULONG_PTR)0)
#define SOCKET_ERROR (-1)

#define AF_INET 2
#define SOCK_STREAM 1
#define IPPROTO_TCP 6
#define TCP_NODELAY 1
#define FIONBIO 0x8004667E
#define SD_BOTH 2

#define WSAEWOULDBLOCK 10035
#define WSAENOTCONN 10057
#define WSAESHUTDOWN 10058
#define WSAECONNABORTED 10053
#define WSAECONNRESET 10054
#define WSAENETRESET 10052

struct sockaddr_in
{
    short sin_family;
    USHORT sin_port;
    ULONG sin_addr;
    char sin_zero[8];
};

struct fd_set
{
    unsigned int fd_count;
    SOCKET fd_array[64];
};

struct timeval
{
    LONG tv_sec;
    LONG tv_usec;
};

// WSADATA's layout does not matter to the driver, only its size and alignment.
typedef struct
{
    ULONGLONG opaque[64];
} WSADATA_STORAGE;

int __stdcall WSAStartup(USHORT version, WSADATA_STORAGE* data);
int __stdcall WSACleanup(void);
int __stdcall WSAGetLastError(void);
SOCKET __stdcall socket(int family, int type, int protocol);
int __stdcall connect(SOCKET s, const struct sockaddr_in* address, int length);
int __stdcall send(SOCKET s, const char* data, int length, int flags);
int __stdcall recv(SOCKET s, char* data, int length, int flags);
int __stdcall select(int ignored, struct fd_set* readable, struct fd_set* writable,
                     struct fd_set* failed, const struct timeval* timeout);
int __stdcall ioctlsocket(SOCKET s, LONG command, ULONG* argument);
int __stdcall setsockopt(SOCKET s, int level, int name, const char* value, int length);
int __stdcall shutdown(SOCKET s, int how);
int __stdcall closesocket(SOCKET s);
