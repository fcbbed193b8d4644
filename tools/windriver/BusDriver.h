#pragma once
// What the bus driver's parts share: the sixteen buses, the relay's port and the
// Windows error codes that reach the caller's GetLastError.
#include <ntddk.h>

#define QBUS_COUNT 16
// Pool tag "QBus" as it reads in a pool dump.
#define QBUS_POOL_TAG ((ULONG)'Q' | (ULONG)'B' << 8 | (ULONG)'u' << 16 | (ULONG)'s' << 24)

// An IRP completed with this status makes GetLastError() return `code`.
#define QBUS_ERROR_STATUS(code) ((NTSTATUS)(0xC0070000u | (code)))

enum
{
    QBUS_ERROR_INVALID_FUNCTION = 1,
    QBUS_ERROR_FILE_NOT_FOUND = 2,
    QBUS_ERROR_ACCESS_DENIED = 5,
    QBUS_ERROR_INVALID_HANDLE = 6,
    QBUS_ERROR_INVALID_DATA = 13,
    QBUS_ERROR_GEN_FAILURE = 31,
    QBUS_ERROR_BUSY = 170,
    QBUS_ERROR_DEVICE_NOT_CONNECTED = 1167,
    QBUS_ERROR_TIMEOUT = 1460,
};

// The whole request, from its first byte sent to the last byte of the reply.
#define QBUS_REQUEST_LIMIT_MS 2000

// TCP port of the relay on 127.0.0.1; set once in DriverEntry.
extern USHORT QbusRelayPort;

// `prefix` followed by the bus number in decimal: the devices' and links' names.
static inline void QbusName(WCHAR* out, const WCHAR* prefix, ULONG bus)
{
    while (*prefix)
        *out++ = *prefix++;
    if (bus >= 10)
        *out++ = (WCHAR)(L'0' + bus / 10);
    *out++ = (WCHAR)(L'0' + bus % 10);
    *out = 0;
}
