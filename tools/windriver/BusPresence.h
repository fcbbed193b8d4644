#pragma once
// Keeps each bus's \DosDevices link in step with the Linux side: a bus is there while
// its Unix socket is, as the relay reports it. Without a relay no bus is there. Wine
// hands out a handle even when the driver fails the open, so a missing link is the only
// way the program sees "file not found".
#include "BusDriver.h"

NTSTATUS BusPresenceStart(void);
// Stops the watch and removes every link.
void BusPresenceStop(void);
