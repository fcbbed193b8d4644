#include "BusPresence.h"

#include "RelayLink.h"

// How often the watch looks at its stop flag, and waits before calling the relay again.
#define WATCH_TICK_MS 100

// Exported by ntoskrnl, left out of the kernel headers.
NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE object, BOOLEAN alertable, PLARGE_INTEGER timeout);

static HANDLE watchThread;
static volatile LONG stopRequested;
static ULONG linkedBuses; // bit N: \DosDevices\QuorvixAudioBusN exists

static void linkNames(ULONG bus, UNICODE_STRING* link, WCHAR* linkText, UNICODE_STRING* device,
                      WCHAR* deviceText)
{
    QbusName(linkText, L"\\DosDevices\\QuorvixAudioBus", bus);
    QbusName(deviceText, L"\\Device\\QuorvixAudioBus", bus);
    RtlInitUnicodeString(link, linkText);
    RtlInitUnicodeString(device, deviceText);
}

static void applyMask(ULONG present)
{
    for (ULONG bus = 0; bus < QBUS_COUNT; ++bus) {
        const ULONG bit = 1u << bus;
        if (((present ^ linkedBuses) & bit) == 0)
            continue;
        WCHAR linkText[48], deviceText[48];
        UNICODE_STRING link, device;
        linkNames(bus, &link, linkText, &device, deviceText);
        if (present & bit) {
            if (NT_SUCCESS(IoCreateSymbolicLink(&link, &device)))
                linkedBuses |= bit;
        } else {
            IoDeleteSymbolicLink(&link);
            linkedBuses &= ~bit;
        }
    }
}

static void pause(ULONG ms)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -(LONGLONG)ms * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// One watch connection: the relay sends the mask of present buses (a little-endian
// word) at once and again on every change. Returns when it breaks or on stop.
static void followRelay(SOCKET link)
{
    while (!stopRequested) {
        const int ready = RelayWaitReadable(link, WATCH_TICK_MS);
        if (ready < 0)
            return;
        if (ready == 0)
            continue;
        UCHAR mask[4];
        if (RelayReceive(link, mask, sizeof mask, RelayNowMs() + QBUS_REQUEST_LIMIT_MS) != 0)
            return;
        applyMask(RelayGetLe32(mask) & ((1u << QBUS_COUNT) - 1));
    }
}

static VOID NTAPI watch(PVOID unused)
{
    (void)unused;
    while (!stopRequested) {
        SOCKET link;
        if (RelayConnect("watch\n", &link) == 0) {
            followRelay(link);
            RelayClose(link);
        }
        applyMask(0);
        if (!stopRequested)
            pause(WATCH_TICK_MS);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS BusPresenceStart(void)
{
    stopRequested = 0;
    return PsCreateSystemThread(&watchThread, THREAD_ALL_ACCESS, NULL, NULL, NULL, watch, NULL);
}

void BusPresenceStop(void)
{
    if (!watchThread)
        return;
    InterlockedExchange(&stopRequested, 1);
    ZwWaitForSingleObject(watchThread, FALSE, NULL);
    ZwClose(watchThread);
    watchThread = NULL;
    applyMask(0);
}
