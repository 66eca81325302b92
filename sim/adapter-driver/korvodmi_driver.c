/* The simulated adapter's driver as a Windows kernel driver: it creates the control device
 * \Device\korvodmi with the name \\.\korvodmi.vxd that the agent opens, and answers each device
 * call from the adapter model that the socket simulator serves too. A second control code lets a
 * user-mode tool change the model (fail over, make requests fail) while the agent runs. */
#include <ddk/wdm.h>

#include "device_protocol.h"
#include "model_bridge.h"

static const WCHAR kDeviceName[] = L"\\Device\\korvodmi";
static const WCHAR kLinkName[] = L"\\DosDevices\\korvodmi.vxd";

/* The transfer method sits in the two low bits of a control code. */
#define TRANSFER_METHOD_MASK 3u

/* One model, one caller at a time: the model's own mutex is not a kernel object (see
 * kernel_runtime.cpp), so this mutex serialises every call into it. */
static KMUTEX modelMutex;
static ULONGLONG startTime;

static void LockModel(void) {
    KeWaitForSingleObject(&modelMutex, Executive, KernelMode, FALSE, NULL);
}

static void UnlockModel(void) {
    KeReleaseMutex(&modelMutex, FALSE);
}

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* A request the model never answers stays pending until its caller cancels it or ends. */
static void NTAPI CancelUnanswered(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Complete(irp, STATUS_CANCELLED, 0);
}

static NTSTATUS LeaveUnanswered(PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelUnanswered);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
        /* Cancelled before the routine was set: nobody else will complete it. */
        Complete(irp, STATUS_CANCELLED, 0);
    }
    return STATUS_PENDING;
}

static NTSTATUS ServeModelCall(PIRP irp, PIO_STACK_LOCATION stack) {
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    const UCHAR* input = irp->AssociatedIrp.SystemBuffer;
    UCHAR* output = NULL;
    switch (code & TRANSFER_METHOD_MASK) {
        case METHOD_BUFFERED:
            /* Input and output share the system buffer; the model reads both before it writes. */
            output = irp->AssociatedIrp.SystemBuffer;
            break;
        case METHOD_IN_DIRECT:
        case METHOD_OUT_DIRECT:
            if (irp->MdlAddress != NULL) {
                output = MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
                if (output == NULL) {
                    return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
                }
            }
            break;
        default:
            return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }

    LockModel();
    const struct KorvoCallResult result =
        KorvoServeCall(code, input, input != NULL ? inputLength : 0, output,
                       output != NULL ? outputLength : 0, KeQueryInterruptTime() - startTime);
    UnlockModel();

    switch (result.outcome) {
        case KorvoCallCompleted:
            return Complete(irp, STATUS_SUCCESS, result.bytesReturned);
        case KorvoCallFailed:
            return Complete(irp, STATUS_UNSUCCESSFUL, 0);
        case KorvoCallNotAnswering:
            return Complete(irp, STATUS_DEVICE_NOT_READY, 0);
        case KorvoCallPending:
            return LeaveUnanswered(irp);
    }
    return Complete(irp, STATUS_UNSUCCESSFUL, 0);
}

static NTSTATUS RunControlCommand(PIRP irp, PIO_STACK_LOCATION stack) {
    const ULONG lineLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG replyCapacity = stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (lineLength == 0 || lineLength > KORVO_MAX_COMMAND_LENGTH || replyCapacity == 0) {
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    }
    /* The line and the reply share the system buffer, which the bridge allows. */
    UCHAR* buffer = irp->AssociatedIrp.SystemBuffer;
    LockModel();
    const size_t replyLength =
        KorvoRunControlCommand((const char*)buffer, lineLength, buffer, replyCapacity);
    UnlockModel();
    return Complete(irp, STATUS_SUCCESS, replyLength);
}

static NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode == KORVO_CONTROL_COMMAND_CODE) {
        return RunControlCommand(irp, stack);
    }
    return ServeModelCall(irp, stack);
}

static void NTAPI Unload(PDRIVER_OBJECT driver) {
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, kLinkName);
    IoDeleteSymbolicLink(&link);
    if (driver->DeviceObject != NULL) {
        IoDeleteDevice(driver->DeviceObject);
    }
    KorvoDestroyModel();
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    (void)registryPath;
    KeInitializeMutex(&modelMutex, 0);
    startTime = KeQueryInterruptTime();
    if (!KorvoCreateModel()) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, kDeviceName);
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status =
        IoCreateDevice(driver, 0, &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        KorvoDestroyModel();
        return status;
    }
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, kLinkName);
    status = IoCreateSymbolicLink(&link, &deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        KorvoDestroyModel();
        return status;
    }

    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->DriverUnload = Unload;
    DbgPrint("korvodmi: control device ready\n");
    return STATUS_SUCCESS;
}
