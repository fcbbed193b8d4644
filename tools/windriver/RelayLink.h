#pragma once
// A TCP connection to the relay on the Linux side. Every transfer is bounded by a
// deadline, so a peer that stops answering never holds the caller past it.
#include "BusDriver.h"
#include "Winsock.h"

// Milliseconds since boot, for deadlines.
ULONGLONG RelayNowMs(void);

// Connects to the relay and sends `hello` (one line). 0 and *link on success, else a
// Windows error code (2 when no relay listens).
ULONG RelayConnect(const char* hello, SOCKET* link);

// Opens a connection that the relay joins to the bus's Unix socket. 0 on success, else
// the code the Linux side got (2 no socket or no listener, 170 listener busy, ...).
ULONG RelayOpenBus(ULONG bus, SOCKET* link);

// 0 when every byte moved before the deadline; else 1460 (deadline), 1167 (the peer
// closed or reset) or 31.
ULONG RelaySend(SOCKET link, const void* data, ULONG size, ULONGLONG deadlineMs);
ULONG RelayReceive(SOCKET link, void* data, ULONG size, ULONGLONG deadlineMs);

// Waits up to `ms` for bytes (or the peer's close): 1 readable, 0 not yet, -1 failed.
int RelayWaitReadable(SOCKET link, ULONG ms);

void RelayClose(SOCKET link);

ULONG RelayGetLe32(const UCHAR* p);
void RelayPutLe32(UCHAR* p, ULONG value);
