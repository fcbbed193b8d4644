// The bus driver: sixteen devices \Device\QuorvixAudioBus0..15. Each open handle is one
// connection that the relay joins to the Linux socket of the same name; each device I/O
// control request goes there as one request frame and comes back as one reply frame.
#include "BusDriver.h"

#include "BusPresence.h"
#include "RelayLink.h"

#define DEFAULT_RELAY_PORT 47810
#define FRAME_HEADER_SIZE 12

typedef struct
{
    ULONG bus;
} BusExtension;

// One open handle. Once its link breaks, times out or gets a bad reply, framing is
// lost: every later request fails with the same code, unsent, until the handle closes.
typedef struct
{
    SOCKET link;
    ULONG deadError;
} HandleContext;

static PDEVICE_OBJECT devices[QBUS_COUNT];
static WSADATA_STORAGE winsock;
// The service's key, kept for the held-request fault that tests switch while it runs.
static UNICODE_STRING serviceKey;

// The "StuckRequests" value of the service's key: a driver that never answers, as one
// may across a surprise removal or a resume. Every request is held unsent while it is set.
enum
{
    STUCK_NONE = 0,
    STUCK_UNTIL_CANCELLED = 1, // completed with STATUS_CANCELLED when cancelled
    STUCK_IGNORING_CANCEL = 2  // completed 5 s later whatever happens, its output written
};
#define LATE_COMPLETION_MS 5000

static NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS failWith(PIRP irp, ULONG error)
{
    return complete(irp, QBUS_ERROR_STATUS(error), 0);
}

static NTSTATUS NTAPI dispatchCreate(PDEVICE_OBJECT device, PIRP irp)
{
    const BusExtension* bus = device->DeviceExtension;
    HandleContext* handle = ExAllocatePoolWithTag(NonPagedPool, sizeof *handle, QBUS_POOL_TAG);
    if (!handle)
        return complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    handle->deadError = RelayOpenBus(bus->bus, &handle->link);
    IoGetCurrentIrpStackLocation(irp)->FileObject->FsContext = handle;
    // Wine hands out the handle however the open ends; a failed one then fails every
    // request with the open's code (170 when the Linux side's listener is full).
    return handle->deadError ? failWith(irp, handle->deadError) : complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI dispatchCleanup(PDEVICE_OBJECT device, PIRP irp)
{
    (void)device;
    HandleContext* handle = IoGetCurrentIrpStackLocation(irp)->FileObject->FsContext;
    if (handle && handle->link != INVALID_SOCKET) {
        // The Linux side sees the handle's close as the end of its connection.
        RelayClose(handle->link);
        handle->link = INVALID_SOCKET;
        if (!handle->deadError)
            handle->deadError = QBUS_ERROR_INVALID_HANDLE;
    }
    return complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI dispatchClose(PDEVICE_OBJECT device, PIRP irp)
{
    (void)device;
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    HandleContext* handle = file->FsContext;
    if (handle) {
        RelayClose(handle->link);
        ExFreePoolWithTag(handle, QBUS_POOL_TAG);
        file->FsContext = NULL;
    }
    return complete(irp, STATUS_SUCCESS, 0);
}

static BOOLEAN readDword(PUNICODE_STRING keyPath, const WCHAR* valueName, ULONG* out)
{
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, keyPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    HANDLE key;
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes)))
        return FALSE;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, valueName);
    union {
        KEY_VALUE_PARTIAL_INFORMATION info;
        UCHAR space[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
    } value;
    ULONG length = 0;
    const BOOLEAN found = NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, &value,
                                                     sizeof value, &length)) &&
                          value.info.Type == REG_DWORD && value.info.DataLength == sizeof(ULONG);
    if (found)
        *out = *(const ULONG*)value.info.Data;
    ZwClose(key);
    return found;
}

static ULONG stuckMode(void)
{
    ULONG mode = STUCK_NONE;
    if (serviceKey.Buffer)
        readDword(&serviceKey, L"StuckRequests", &mode);
    return mode;
}

static VOID NTAPI cancelHeld(PDEVICE_OBJECT device, PIRP irp)
{
    (void)device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    complete(irp, STATUS_CANCELLED, 0);
}

static VOID NTAPI completeLate(PVOID context)
{
    PIRP irp = context;
    LARGE_INTEGER interval;
    interval.QuadPart = -10000LL * LATE_COMPLETION_MS;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    // Written late on purpose: the caller must still hold the buffer it gave.
    const ULONG outLength =
        IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
    if (irp->AssociatedIrp.SystemBuffer)
        RtlFillMemory(irp->AssociatedIrp.SystemBuffer, outLength, 0xEE);
    complete(irp, STATUS_SUCCESS, outLength);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// Holds the request: pending until cancelled, or until a late completion that no
// cancellation stops.
static NTSTATUS hold(PIRP irp, ULONG mode)
{
    IoMarkIrpPending(irp);
    if (mode == STUCK_IGNORING_CANCEL) {
        HANDLE thread;
        if (!NT_SUCCESS(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL,
                                             completeLate, irp)))
            return failWith(irp, QBUS_ERROR_GEN_FAILURE);
        ZwClose(thread);
        return STATUS_PENDING;
    }
    IoSetCancelRoutine(irp, cancelHeld);
    // Cancelled before the routine was set: nobody else will complete it.
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL))
        complete(irp, STATUS_CANCELLED, 0);
    return STATUS_PENDING;
}

// Sends one request frame and takes its reply into `buffer` (the buffered I/O system
// buffer, which holds the input first). Returns 0 when the link did its part; then
// *status and *error are the reply's words and *returned its byte count.
static ULONG forward(SOCKET link, ULONG code, UCHAR* buffer, ULONG inLength, ULONG outLength,
                     ULONG* status, ULONG* error, ULONG* returned)
{
    const ULONGLONG deadline = RelayNowMs() + QBUS_REQUEST_LIMIT_MS;
    UCHAR header[FRAME_HEADER_SIZE];
    RelayPutLe32(header, code);
    RelayPutLe32(header + 4, inLength);
    RelayPutLe32(header + 8, outLength);
    ULONG failure = RelaySend(link, header, sizeof header, deadline);
    if (!failure && inLength)
        failure = RelaySend(link, buffer, inLength, deadline);
    if (!failure)
        failure = RelayReceive(link, header, sizeof header, deadline);
    if (failure)
        return failure;
    *status = RelayGetLe32(header);
    *error = RelayGetLe32(header + 4);
    *returned = RelayGetLe32(header + 8);
    if (*status > 1 || *returned > outLength)
        return QBUS_ERROR_INVALID_DATA;
    return *returned ? RelayReceive(link, buffer, *returned, deadline) : 0;
}

static NTSTATUS NTAPI dispatchControl(PDEVICE_OBJECT device, PIRP irp)
{
    (void)device;
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    HandleContext* handle = stack->FileObject->FsContext;
    if (!handle)
        return failWith(irp, QBUS_ERROR_INVALID_HANDLE);
    if (handle->deadError)
        return failWith(irp, handle->deadError);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    // The device's requests all use buffered I/O; the other methods' buffers are not
    // carried over the link.
    if ((code & 3) != METHOD_BUFFERED)
        return failWith(irp, QBUS_ERROR_INVALID_FUNCTION);
    const ULONG stuck = stuckMode();
    if (stuck == STUCK_UNTIL_CANCELLED || stuck == STUCK_IGNORING_CANCEL)
        return hold(irp, stuck);

    ULONG status = 0, error = 0, returned = 0;
    const ULONG failure =
        forward(handle->link, code, irp->AssociatedIrp.SystemBuffer,
                stack->Parameters.DeviceIoControl.InputBufferLength,
                stack->Parameters.DeviceIoControl.OutputBufferLength, &status, &error, &returned);
    if (failure) {
        handle->deadError = failure;
        return failWith(irp, failure);
    }
    // The I/O manager copies `returned` bytes to the front of the caller's buffer, and
    // nothing when the request failed.
    return status == 1 ? complete(irp, STATUS_SUCCESS, returned) : failWith(irp, error);
}

static USHORT relayPort(PUNICODE_STRING registryPath)
{
    ULONG configured = 0;
    if (readDword(registryPath, L"RelayPort", &configured) && configured > 0 && configured < 65536)
        return (USHORT)configured;
    return DEFAULT_RELAY_PORT;
}

static void deleteDevices(void)
{
    for (ULONG bus = 0; bus < QBUS_COUNT; ++bus)
        if (devices[bus]) {
            IoDeleteDevice(devices[bus]);
            devices[bus] = NULL;
        }
}

static VOID NTAPI driverUnload(PDRIVER_OBJECT driver)
{
    (void)driver;
    BusPresenceStop();
    deleteDevices();
    WSACleanup();
    if (serviceKey.Buffer)
        ExFreePoolWithTag(serviceKey.Buffer, QBUS_POOL_TAG);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    QbusRelayPort = relayPort(registryPath);
    serviceKey.Buffer = ExAllocatePoolWithTag(PagedPool, registryPath->Length, QBUS_POOL_TAG);
    if (serviceKey.Buffer) {
        RtlCopyMemory(serviceKey.Buffer, registryPath->Buffer, registryPath->Length);
        serviceKey.Length = serviceKey.MaximumLength = registryPath->Length;
    }
    if (WSAStartup(0x0202, &winsock) != 0)
        return STATUS_UNSUCCESSFUL;
    for (ULONG bus = 0; bus < QBUS_COUNT; ++bus) {
        WCHAR text[48];
        QbusName(text, L"\\Device\\QuorvixAudioBus", bus);
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, text);
        const NTSTATUS status = IoCreateDevice(driver, sizeof(BusExtension), &name,
                                               FILE_DEVICE_UNKNOWN, 0, FALSE, &devices[bus]);
        if (!NT_SUCCESS(status)) {
            deleteDevices();
            WSACleanup();
            return status;
        }
        ((BusExtension*)devices[bus]->DeviceExtension)->bus = bus;
        devices[bus]->Flags |= DO_BUFFERED_IO;
    }
    driver->MajorFunction[IRP_MJ_CREATE] = dispatchCreate;
    driver->MajorFunction[IRP_MJ_CLEANUP] = dispatchCleanup;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatchClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatchControl;
    driver->DriverUnload = driverUnload;
    const NTSTATUS status = BusPresenceStart();
    if (!NT_SUCCESS(status)) {
        deleteDevices();
        WSACleanup();
    }
    return status;
}
