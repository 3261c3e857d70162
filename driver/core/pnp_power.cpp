// Binding and letting go: add-device, the Plug and Play dispatcher with its
// start and remove handling, and the power pass-through.
#include "acquisition/ring_buffer.h"
#include "core/device_core.h"
#include "usb/iso_stream.h"
#include "usb/usb_request.h"

namespace {

// Removal waits for the streams' last completions before it frees what
// they use (the rings, IsoOutBuffer, the device record itself). The pipes
// are aborted by then, and the USB stack owes every aborted transfer back,
// so the wait has no limit, as the remove lock's has none; a stack that
// never returns them is named in the log every few seconds.
constexpr ULONG kStreamWaitReportMs = 5000;

VOID SleepOneMillisecond() {
    LARGE_INTEGER interval;
    interval.QuadPart = -10000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// Milliseconds of the tick count: a 1 ms sleep lasts at least a clock tick.
ULONGLONG TickMilliseconds() {
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    return static_cast<ULONGLONG>(ticks.QuadPart) * KeQueryTimeIncrement() / 10000;
}

VOID AwaitStreamsEnded() {
    const ULONGLONG start = TickMilliseconds();
    ULONGLONG reported = 0;
    while (IsoStreamClaimed(IsoStreamIn) || IsoStreamClaimed(IsoStreamOut)) {
        SleepOneMillisecond();
        const ULONGLONG waited = TickMilliseconds() - start;
        if (waited >= reported + kStreamWaitReportMs) {
            reported = waited;
            VELNOR_LOG(1, "Velnor> ERROR: Velnor_RemoveDevice() - isochronous transfers still not returned after %u ms\n",
                       static_cast<ULONG>(waited));
        }
    }
}

// Aborts every pipe of the current table, in pipe order.
VOID AbortEveryPipe(PDEVICE_OBJECT deviceObject, DeviceExtension* ext) {
    USBD_PIPE_INFORMATION pipe;
    for (ULONG p = 0; LookUpPipe(ext, p, &pipe) == PipeFound; ++p) Velnor_AbortPipe(deviceObject, pipe.PipeHandle);
}

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace

NTSTATUS Velnor_PnPAddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> Velnor_PnPAddDevice() - START\n");
    if (!ReadShared(DeviceRemoved)) {
        VELNOR_LOG(1, "Velnor> ERROR: Velnor_PnPAddDevice() - Device not removed\n");
        VELNOR_TRACE(tracing, "Velnor> Velnor_PnPAddDevice() - EXIT\n");
        return STATUS_DELETE_PENDING;
    }
    WriteShared(DeviceRemoved, 0);
    PDEVICE_OBJECT deviceObject = nullptr;
    const NTSTATUS status = Velnor_CreateDeviceObject(driverObject, &deviceObject);
    if (!NT_SUCCESS(status)) {
        VELNOR_LOG(1, "Velnor> ERROR: Velnor_PnPAddDevice() - Failed to create device object\n");
        if (deviceObject) IoDeleteDevice(deviceObject);
        VELNOR_TRACE(tracing, "Velnor> Velnor_PnPAddDevice() - EXIT (0x%X)\n", status);
        return status;
    }
    auto* ext = static_cast<DeviceExtension*>(deviceObject->DeviceExtension);
    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    deviceObject->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
    ext->StackDeviceObject = IoAttachDeviceToDeviceStack(deviceObject, physicalDeviceObject);
    if (!ext->StackDeviceObject) {
        // Creation's buffers go with the device: nothing else will free them.
        ReleaseDeviceBuffers(ext);
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, ext->DeviceLinkName);
        IoDeleteSymbolicLink(&link);
        IoDeleteDevice(deviceObject);
        VELNOR_LOG(1, "Velnor> ERROR: Velnor_PnPAddDevice() - no StackDeviceObject\n");
        VELNOR_TRACE(tracing, "Velnor> Velnor_PnPAddDevice() - EXIT (0x%X)\n", STATUS_NO_SUCH_DEVICE);
        return STATUS_NO_SUCH_DEVICE;
    }
    ext->LastError = 0;
    // Once for the device's life: a start after a stop must not reset it
    // under a control request that holds it or waits for it.
    KeInitializeSemaphore(&ext->CallUsbdSemaphore, 1, 1);
    KeInitializeEvent(&ext->RemoveEvent, NotificationEvent, FALSE);
    ext->PendingIoCount = 1;
    VELNOR_LOG(5, "Velnor> Velnor_PnPAddDevice() - EXIT (0x%X)\n", status);
    return status;
}

NTSTATUS Velnor_DefaultPnpHandler(PDEVICE_OBJECT deviceObject, PIRP irp) {
    auto* ext = static_cast<DeviceExtension*>(deviceObject->DeviceExtension);
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->StackDeviceObject, irp);
}

NTSTATUS OnRequestComplete(PDEVICE_OBJECT, PIRP, PVOID context) {
    if (context) KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(PDEVICE_OBJECT deviceObject, PIRP irp) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> ForwardAndWait() - START\n");
    auto* ext = static_cast<DeviceExtension*>(deviceObject->DeviceExtension);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, OnRequestComplete, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(ext->StackDeviceObject, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    VELNOR_TRACE(tracing, "Velnor> ForwardAndWait() - EXIT (0x%X)\n", status);
    return status;
}

NTSTATUS Velnor_HandleStartDevice(PDEVICE_OBJECT deviceObject, PIRP irp) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> Velnor_HandleStartDevice() - START\n");
    NTSTATUS status = ForwardAndWait(deviceObject, irp);
    if (!NT_SUCCESS(status)) {
        VELNOR_LOG(1, "Velnor> ERROR: Velnor_HandleStartDevice() - ForwardAndWait error\n");
        CompleteWith(irp, status);
        VELNOR_TRACE(tracing, "Velnor> Velnor_HandleStartDevice() - EXIT (0x%X)\n", status);
        return status;
    }
    status = Velnor_StartDevice(deviceObject);
    irp->IoStatus.Information = 0;
    CompleteWith(irp, status);
    VELNOR_TRACE(tracing, "Velnor> Velnor_HandleStartDevice() - EXIT (0x%X)\n", status);
    return status;
}

VOID Velnor_RemoveDevice(PDEVICE_OBJECT deviceObject, PIRP* foundPendingIrp) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> Velnor_RemoveDevice() - START\n");
    auto* ext = static_cast<DeviceExtension*>(deviceObject->DeviceExtension);
    // The streams' completions write into the rings, IsoOutBuffer and the
    // device record until each stream has released its last transfer.
    AwaitStreamsEnded();
    if (ext->DeviceDescriptor) ExFreePool(ext->DeviceDescriptor);
    ext->DeviceDescriptor = nullptr;
    ReplaceInterfaceInfo(ext, nullptr);
    ReleaseDeviceBuffers(ext);
    if (ext->SymbolicLinkActive) {
        ext->SymbolicLinkActive = 0;
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, ext->DeviceLinkName);
        IoDeleteSymbolicLink(&link);
    }
    // Every Velnor_CallUSBD runs under a removal reference and clears
    // PendingIrp before it returns, so with the references gone this is null.
    KIRQL irql;
    KeAcquireSpinLock(&ext->PendingIrpLock, &irql);
    *foundPendingIrp = ext->PendingIrp;
    ext->PendingIrp = nullptr;
    KeReleaseSpinLock(&ext->PendingIrpLock, irql);
    PDEVICE_OBJECT stack = ext->StackDeviceObject;
    IoDetachDevice(stack);
    IoDeleteDevice(deviceObject);
    VELNOR_TRACE(tracing, "Velnor> Velnor_RemoveDevice() - EXIT (0x%X)\n", 0);
}

NTSTATUS Velnor_HandleRemoveDevice(PDEVICE_OBJECT deviceObject, PIRP irp, PIRP* foundPendingIrp) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> Velnor_HandleRemoveDevice() - START\n");
    auto* ext = static_cast<DeviceExtension*>(deviceObject->DeviceExtension);
    WriteShared(ext->Removing, 1);
    // No completion may resubmit into a pipe being aborted.
    WriteShared(StopIsoStream, 1);
    AbortEveryPipe(deviceObject, ext);
    UnlockDevice(deviceObject);  // this request's reference
    UnlockDevice(deviceObject);  // the device's own
    KeWaitForSingleObject(&ext->RemoveEvent, Executive, KernelMode, FALSE, nullptr);
    // A stream start that was inside the driver when the pipes were aborted
    // may have started a stream since: stop and abort once more, with no
    // request left to start another.
    WriteShared(StopIsoStream, 1);
    AbortEveryPipe(deviceObject, ext);
    PDEVICE_OBJECT stack = ext->StackDeviceObject;
    Velnor_RemoveDevice(deviceObject, foundPendingIrp);
    // The device object is gone: only the kept lower device is used now.
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    const NTSTATUS status = IoCallDriver(stack, irp);
    VELNOR_TRACE(tracing, "Velnor> Velnor_HandleRemoveDevice() - EXIT (0x%X)\n", status);
    return status;
}

NTSTATUS Velnor_DispatchPnp(PDEVICE_OBJECT deviceObject, PIRP irp) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> Velnor_DispatchPnp() - START\n");
    auto* ext = static_cast<DeviceExtension*>(deviceObject->DeviceExtension);
    if (!LockDevice(deviceObject)) {
        VELNOR_LOG(1, "Velnor> ERROR: Velnor_DispatchPnp() - device not locked\n");
        VELNOR_TRACE(tracing, "Velnor> Velnor_DispatchPnp() - EXIT\n");
        irp->IoStatus.Information = 0;
        return CompleteWith(irp, STATUS_DELETE_PENDING);
    }
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    NTSTATUS status;
    switch (minor) {
    case IRP_MN_START_DEVICE:
        VELNOR_LOG(2, "Velnor> Velnor_DispatchPnp: IRP_MN_START_DEVICE\n");
        status = Velnor_HandleStartDevice(deviceObject, irp);
        WriteShared(IsoInCompleted, 0);
        if (status == STATUS_SUCCESS) WriteShared(DeviceStarted, 1);
        break;
    case IRP_MN_STOP_DEVICE:
        VELNOR_LOG(2, "Velnor> Velnor_DispatchPnp: IRP_MN_STOP_DEVICE\n");
        WriteShared(DeviceStarted, 0);
        // Deconfiguring takes the pipes away under running streams: they
        // are stopped, what they have queued is aborted while the pipe
        // handles still name the pipes, and the stop waits (bounded) until
        // every transfer is back, since an abort may complete before them.
        WriteShared(StopIsoStream, 1);
        AbortIsoStreamPipes(deviceObject);
        if (!AwaitIsoStreamsStopped(deviceObject, "Velnor_DispatchPnp: IRP_MN_STOP_DEVICE", FALSE))
            VELNOR_LOG(1, "Velnor> ERROR: Velnor_DispatchPnp: IRP_MN_STOP_DEVICE - the streams did not end\n");
        Velnor_StopDevice(deviceObject);
        irp->IoStatus.Status = STATUS_SUCCESS;  // a driver that handles it says so on the way down
        status = Velnor_DefaultPnpHandler(deviceObject, irp);
        if (CancelPendingIrp(ext))
            VELNOR_LOG(2, "Velnor> Velnor_DispatchPnp: IRP_MN_STOP_DEVICE IoCancelIrp (%x)\n", status);
        WriteShared(IsoInCompleted, 0);
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        VELNOR_LOG(2, "Velnor> Velnor_DispatchPnp: IRP_MN_SURPRISE_REMOVAL\n");
        WriteShared(DeviceStarted, 0);
        irp->IoStatus.Status = STATUS_SUCCESS;
        status = Velnor_DefaultPnpHandler(deviceObject, irp);
        WriteShared(AcqModuleConnected, 0);
        WriteShared(StopIsoStream, 1);
        if (CancelPendingIrp(ext))
            VELNOR_LOG(2, "Velnor> Velnor_DispatchPnp: IRP_MN_SURPRISE_REMOVAL IoCancelIrp (%x)\n", status);
        // A transfer the stack still holds would keep its stream, and the
        // pipe, until remove; the abort hands every one of them back now.
        // After the cancel, so the abort's request block has the semaphore.
        AbortIsoStreamPipes(deviceObject);
        WriteShared(IsoInCompleted, 0);
        break;
    case IRP_MN_REMOVE_DEVICE: {
        VELNOR_LOG(2, "Velnor> Velnor_DispatchPnp: IRP_MN_REMOVE_DEVICE\n");
        WriteShared(DeviceStarted, 0);
        PIRP found = nullptr;
        status = Velnor_HandleRemoveDevice(deviceObject, irp, &found);
        WriteShared(AcqModuleConnected, 0);
        WriteShared(StopIsoStream, 1);
        // With no reference left nothing waits on a request any more: one
        // found here was never sent or is already freed, and is not touched.
        if (found) VELNOR_LOG(2, "Velnor> Velnor_DispatchPnp: IRP_MN_REMOVE_DEVICE IoCancelIrp (%x)\n", status);
        WriteShared(IsoInCompleted, 0);
        WriteShared(DeviceRemoved, 1);
        VELNOR_LOG(2, "Velnor> Velnor_DispatchPnp: IRP_MN_REMOVE_DEVICE AcqModuleConnected (%x)\n",
                   ReadShared(AcqModuleConnected));
        // The remove handling has released this request's reference itself.
        VELNOR_TRACE(tracing, "Velnor> Velnor_DispatchPnp() - EXIT (0x%X)\n", status);
        return status;
    }
    case IRP_MN_QUERY_CAPABILITIES: {
        VELNOR_LOG(2, "Velnor> Velnor_DispatchPnp: IRP_MN_QUERY_CAPABILITIES\n");
        PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
        if (caps && caps->Version >= 1) {
            status = ForwardAndWait(deviceObject, irp);
            if (NT_SUCCESS(status)) caps->SurpriseRemovalOK = TRUE;
            CompleteWith(irp, status);
        } else {
            status = Velnor_DefaultPnpHandler(deviceObject, irp);
        }
        break;
    }
    default:
        status = Velnor_DefaultPnpHandler(deviceObject, irp);
        VELNOR_LOG(2, "Velnor> Velnor_DispatchPnp: Passing down unhandled PnP IOCTL 0x%x\n", minor);
        break;
    }
    UnlockDevice(deviceObject);
    VELNOR_TRACE(tracing, "Velnor> Velnor_DispatchPnp() - EXIT (0x%X)\n", status);
    return status;
}

NTSTATUS Velnor_DispatchPower(PDEVICE_OBJECT deviceObject, PIRP irp) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> Velnor_DispatchPower() - START\n");
    auto* ext = static_cast<DeviceExtension*>(deviceObject->DeviceExtension);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const UCHAR minor = stack->MinorFunction;
    const POWER_STATE_TYPE type = stack->Parameters.Power.Type;
    const ULONG state = static_cast<ULONG>(stack->Parameters.Power.State.DeviceState);
    VELNOR_LOG(2, "Velnor> Velnor_DispatchPower: IRP_MJ_POWER MIN=0x%x Type=0x%x State=0x%x\n", minor, type, state);
    if (minor == IRP_MN_SET_POWER) {
        VELNOR_LOG(2, "Velnor> Velnor_DispatchPower: IRP_MN_SET_POWER\n");
        if (type == SystemPowerState) {
            VELNOR_LOG(2, "Velnor> Velnor_DispatchPower: SystemPowerState\n");
        } else if (type == DevicePowerState) {
            if (state == PowerDeviceD0) VELNOR_LOG(2, "Velnor> Velnor_DispatchPower: IRP_MN_SET_D0\n");
            else if (state == PowerDeviceD1) VELNOR_LOG(2, "Velnor> Velnor_DispatchPower: IRP_MN_SET_D1\n");
            else if (state == PowerDeviceD2) VELNOR_LOG(2, "Velnor> Velnor_DispatchPower: IRP_MN_SET_D2\n");
            else if (state == PowerDeviceD3) VELNOR_LOG(2, "Velnor> Velnor_DispatchPower: IRP_MN_SET_D3\n");
        }
    } else if (minor == IRP_MN_QUERY_POWER) {
        VELNOR_LOG(2, "Velnor> Velnor_DispatchPower: IRP_MN_QUERY_POWER\n");
        if (type == SystemPowerState) {
            VELNOR_LOG(2, "Velnor> Velnor_DispatchPower: SystemPowerState\n");
        } else if (type == DevicePowerState) {
            if (state == PowerDeviceD1) VELNOR_LOG(2, "Velnor_DispatchPower: IRP_MN_QUERY_D1\n");
            else if (state == PowerDeviceD2) VELNOR_LOG(2, "Velnor_DispatchPower: IRP_MN_QUERY_D2\n");
            else if (state == PowerDeviceD3) VELNOR_LOG(2, "Velnor_DispatchPower: IRP_MN_QUERY_D3\n");
        }
    } else {
        VELNOR_LOG(2, "Velnor_DispatchPower: Power IOCTL not handled\n");
    }
    IoCopyCurrentIrpStackLocationToNext(irp);
    VELNOR_LOG(2, "Velnor_DispatchPower: Passing Power Irp down\n");
    PoStartNextPowerIrp(irp);
    const NTSTATUS status = PoCallDriver(ext->StackDeviceObject, irp);
    // The request belongs to the lower drivers now and is not touched: with
    // no completion routine of ours, the I/O manager carries their pending
    // mark up to this stack location itself.
    if (status == STATUS_PENDING) {
        VELNOR_LOG(2, "Velnor_DispatchPower: Power Irp came back with STATUS_PENDING (%x)\n", STATUS_PENDING);
    } else {
        VELNOR_LOG(2, "Velnor_DispatchPower: Power Irp came back, status = %x\n", status);
    }
    VELNOR_TRACE(tracing, "Velnor> Velnor_DispatchPower() - EXIT (0x%X)\n", status);
    return status;
}
