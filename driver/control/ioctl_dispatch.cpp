// Open, close and the control-request dispatcher: the removal reference,
// the exact match of the code, and completion before return.
#include "acquisition/key_events.h"
#include "control/stream_control.h"
#include "core/device_core.h"
#include "velnor/velnor_ioctl.h"

NTSTATUS Velnor_Create(PDEVICE_OBJECT deviceObject, PIRP irp) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> Velnor_Create() - START\n");
    auto* ext = static_cast<DeviceExtension*>(deviceObject->DeviceExtension);
    NTSTATUS status = STATUS_SUCCESS;
    if (!ReadShared(DeviceStarted)) {
        VELNOR_LOG(1, "Velnor> ERROR: Velnor_Create() - Device not started\n");
        status = STATUS_UNSUCCESSFUL;
    } else {
        InterlockedIncrement(&ext->OpenCount);
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    VELNOR_TRACE(tracing, "Velnor> Velnor_Create() - EXIT (0x%X)\n", status);
    return status;
}

NTSTATUS Velnor_Close(PDEVICE_OBJECT deviceObject, PIRP irp) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> Velnor_Close() - START\n");
    auto* ext = static_cast<DeviceExtension*>(deviceObject->DeviceExtension);
    VELNOR_LOG(2, "Velnor> Velnor_Close\n");
    InterlockedDecrement(&ext->OpenCount);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    VELNOR_TRACE(tracing, "Velnor> Velnor_Close() - EXIT (0x%X)\n", STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

NTSTATUS Velnor_ProcessIOCTL(PDEVICE_OBJECT deviceObject, PIRP irp) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> Velnor_ProcessIOCTL() - START\n");
    auto* ext = static_cast<DeviceExtension*>(deviceObject->DeviceExtension);
    if (!LockDevice(deviceObject)) {
        VELNOR_LOG(1, "Velnor> ERROR: Velnor_ProcessIOCTL() - device not locked\n");
        irp->IoStatus.Status = STATUS_DELETE_PENDING;
        irp->IoStatus.Information = 0;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        VELNOR_TRACE(tracing, "Velnor> Velnor_ProcessIOCTL() - EXIT (0x%X)\n", STATUS_DELETE_PENDING);
        return STATUS_DELETE_PENDING;
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    const ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
    NTSTATUS status;
    switch (code) {
    case IOCTL_VELNOR_START_ISO_STREAM_IN:
        VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: IOCTL_VELNOR_START_ISO_STREAM_IN\n");
        status = ControlStartIsoStreamIn(deviceObject, irp);
        break;
    case IOCTL_VELNOR_START_ISO_STREAM_OUT:
        VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: IOCTL_VELNOR_START_ISO_STREAM_OUT\n");
        status = ControlStartIsoStreamOut(deviceObject, irp);
        break;
    case IOCTL_VELNOR_STOP_ISO_STREAM:
        VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: IOCTL_VELNOR_STOP_ISO_STREAM\n");
        status = ControlStopIsoStream(deviceObject, irp);
        break;
    case IOCTL_VELNOR_READ_ISO_BUFFER:
        status = ControlReadIsoBuffer(deviceObject, irp);
        break;
    case IOCTL_VELNOR_ENABLE:
        VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: IOCTL_VELNOR_ENABLE\n");
        WriteShared(AcqModuleConnected, 1);
        VELNOR_LOG(5, "AcqModuleConnected_5  %x\n", 1);
        status = STATUS_SUCCESS;
        break;
    case IOCTL_VELNOR_KEYPAD_FLUSH:
        VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: IOCTL_VELNOR_KEYPAD_FLUSH\n");
        Velnor_KeypadFlush(ext);
        status = STATUS_SUCCESS;
        break;
    case IOCTL_VELNOR_KEYPAD_GETKEY:
        VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: IOCTL_VELNOR_KEYPAD_GETKEY\n");
        status = Velnor_GetKey(ext, irp);
        break;
    default:
        VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: ACQ IOCTL:%08X NOT SUPPORTED \n", code);
        status = STATUS_INVALID_PARAMETER;
        break;
    }
    irp->IoStatus.Status = status;
    UnlockDevice(deviceObject);
    status = irp->IoStatus.Status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    VELNOR_TRACE(tracing, "Velnor> Velnor_ProcessIOCTL() - EXIT (0x%X)\n", status);
    return status;
}
