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
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, registryPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               NULL, NULL);
    HANDLE key;
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes)))
        return DEFAULT_RELAY_PORT;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"RelayPort");
    union {
        KEY_VALUE_PARTIAL_INFORMATION info;
        UCHAR space[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
    } value;
    ULONG length = 0;
    USHORT port = DEFAULT_RELAY_PORT;
    if (NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, &value, sizeof value,
                                   &length)) &&
        value.info.Type == REG_DWORD && value.info.DataLength == sizeof(ULONG)) {
        const ULONG configured = *(const ULONG*)value.info.Data;
        if (configured > 0 && configured < 65536)
            port = (USHORT)configured;
    }
    ZwClose(key);
    return port;
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
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    QbusRelayPort = relayPort(registryPath);
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
