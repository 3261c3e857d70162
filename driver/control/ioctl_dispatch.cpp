// Open, close and the control-request dispatcher: the removal reference,
// the exact match of the code, and completion before return.
#include "control/control_codes.h"
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
    if (!AcquisitionControl(deviceObject, irp, code, &status) && !UsbControl(deviceObject, irp, code, &status)) {
        VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: ACQ IOCTL:%08X NOT SUPPORTED \n", code);
        status = STATUS_INVALID_PARAMETER;
    }
    irp->IoStatus.Status = status;
    UnlockDevice(deviceObject);
    status = irp->IoStatus.Status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    VELNOR_TRACE(tracing, "Velnor> Velnor_ProcessIOCTL() - EXIT (0x%X)\n", status);
    return status;
}
