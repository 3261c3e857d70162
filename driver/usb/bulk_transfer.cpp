// Bulk and interrupt transfers for the control codes BULK_READ and
// BULK_WRITE: one transfer over the caller's locked buffer, in the direction
// of the pipe's endpoint whichever code asked for it.
#include "usb/usb_request.h"

namespace {

constexpr ULONG kDumpBytes = 32;
// The maximum transfer size configuration asks for on every pipe. The
// stored pipe record is not the limit: Windows' USB stack does not report
// the field back to the client driver.
constexpr ULONG kBulkMaximumTransferSize = 0x18FFF;

// The first bytes of the transfer buffer for the level-3 log. Only bytes the
// transfer covered are read; the rest of the dump shows zeros.
VOID DumpTransfer(PMDL mdl, ULONG transferred, BOOLEAN in) {
    if (ReadShared(DebugLevel) < 3 || !mdl) return;
    const auto* data = static_cast<const UCHAR*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    if (!data) return;
    UCHAR b[kDumpBytes];
    RtlZeroMemory(b, sizeof(b));
    RtlCopyMemory(b, data, transferred < kDumpBytes ? transferred : kDumpBytes);
    DbgPrint("Velnor> Velnor_Read_Write: BULK %s: %2x %2x %2x %2x %2x %2x %2x %2x %2x %2x %2x %2x %2x %2x %2x %2x "
             "%2x %2x %2x %2x %2x %2x %2x %2x %2x %2x %2x %2x %2x %2x %2x %2x\n",
             in ? "IN " : "OUT", b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12],
             b[13], b[14], b[15], b[16], b[17], b[18], b[19], b[20], b[21], b[22], b[23], b[24], b[25], b[26], b[27],
             b[28], b[29], b[30], b[31]);
}

}  // namespace

NTSTATUS Velnor_Read_Write(PDEVICE_OBJECT deviceObject, PIRP irp) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> Velnor_Read_Write() - START\n");
    auto* ext = static_cast<DeviceExtension*>(deviceObject->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG pipeNumber = 0;
    USBD_PIPE_INFORMATION pipe;
    RtlZeroMemory(&pipe, sizeof(pipe));
    if (!HasInterfaceInfo(ext)) {
        VELNOR_LOG(1, "Velnor> ERROR: Velnor_Read_Write() - no interface info\n");
        status = STATUS_UNSUCCESSFUL;
    } else if (inputLength < sizeof(ULONG)) {
        // The pipe number is the whole input; without it nothing is read.
        VELNOR_LOG(1, "Velnor> ERROR: Velnor_Read_Write() - no pipe number in %u input bytes\n", inputLength);
        status = STATUS_INVALID_PARAMETER;
    } else {
        RtlCopyMemory(&pipeNumber, irp->AssociatedIrp.SystemBuffer, sizeof(pipeNumber));
        const PipeLookup found = LookUpPipe(ext, pipeNumber, &pipe);
        if (found == NoInterfaceInfo) {
            VELNOR_LOG(1, "Velnor> ERROR: Velnor_Read_Write() - no interface info\n");
            status = STATUS_UNSUCCESSFUL;
        } else if (found == NoSuchPipe) {
            VELNOR_LOG(1, "Velnor> ERROR: Velnor_Read_Write() - invalid pipe num\n");
            status = STATUS_INVALID_PARAMETER;
        }
    }
    if (!NT_SUCCESS(status)) {
        VELNOR_TRACE(tracing, "Velnor> Velnor_Read_Write() - EXIT (0x%X)\n", status);
        return status;
    }
    VELNOR_LOG(2, "Velnor> Velnor_Read_Write PipeNum: %d\n", pipeNumber);
    if (pipe.PipeType != UsbdPipeTypeBulk && pipe.PipeType != UsbdPipeTypeInterrupt) {
        VELNOR_LOG(1, "Velnor> ERROR: Velnor_Read_Write() - invalid pipe type\n");
        status = STATUS_INVALID_PARAMETER;
    } else {
        VELNOR_LOG(2, "Velnor> Velnor_Read_Write PipeType: %d\n", pipe.PipeType);
        VELNOR_LOG(2, "Velnor> Velnor_Read_Write EndpointAddress: %x\n", pipe.EndpointAddress);
        if (!pipe.PipeHandle) {
            VELNOR_LOG(1, "Velnor> ERROR: Velnor_Read_Write() - invalid pipe\n");
            status = STATUS_UNSUCCESSFUL;
        } else if (length > kBulkMaximumTransferSize || (length && !irp->MdlAddress)) {
            // A length the data buffer does not back is refused the same way.
            VELNOR_LOG(1, "Velnor> ERROR: Velnor_Read_Write() - invalid transfer size\n");
            status = STATUS_INVALID_PARAMETER;
        }
    }
    if (!NT_SUCCESS(status)) {
        VELNOR_TRACE(tracing, "Velnor> Velnor_Read_Write() - EXIT (0x%X)\n", status);
        return status;
    }
    constexpr ULONG size = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    auto* urb = AllocateUrb(size, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    if (!urb) {
        VELNOR_LOG(1, "Velnor> ERROR: Velnor_Read_Write() - unable to alloc URB\n");
        VELNOR_TRACE(tracing, "Velnor> Velnor_Read_Write() - EXIT (0x%X)\n", STATUS_NO_MEMORY);
        return STATUS_NO_MEMORY;
    }
    const BOOLEAN in = USB_ENDPOINT_DIRECTION_IN(pipe.EndpointAddress) ? TRUE : FALSE;
    auto& t = urb->UrbBulkOrInterruptTransfer;
    t.PipeHandle = pipe.PipeHandle;
    t.TransferFlags = in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : USBD_SHORT_TRANSFER_OK;
    t.TransferBufferLength = length;
    t.TransferBuffer = nullptr;
    t.TransferBufferMDL = length ? irp->MdlAddress : nullptr;
    t.UrbLink = nullptr;
    status = Velnor_CallUSBD(deviceObject, urb);
    if (NT_SUCCESS(status)) {
        ULONG transferred = t.TransferBufferLength;
        if (transferred > length) transferred = length;
        irp->IoStatus.Information = transferred;
        VELNOR_LOG(3, "Velnor> Velnor_Read_Write: Successfully transfered 0x%x bytes\n", transferred);
        DumpTransfer(irp->MdlAddress, transferred, in);
    }
    ExFreePool(urb);
    VELNOR_TRACE(tracing, "Velnor> Velnor_Read_Write() - EXIT (0x%X)\n", status);
    return status;
}
