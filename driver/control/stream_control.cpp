// Stream control requests.
#include "control/stream_control.h"

#include "acquisition/block_reader.h"
#include "output/packet_builder.h"
#include "output/signal_filter.h"
#include "usb/iso_stream.h"

namespace {

VOID ResetRings(DeviceExtension* ext) {
    if (ext->DataRingBuffer) ResetRingBuffer(ext->DataRingBuffer);
    if (ext->IsoPacketRingBuffer) ResetRingBuffer(ext->IsoPacketRingBuffer);
}

// Sleeps 100 us at a time until an IN completion has happened, then clears
// it. Bounded: an IN stream that ends or stalls meanwhile would otherwise
// hold the request forever; one second without a completion gives up.
constexpr ULONG kAwaitPolls = 10000;

BOOLEAN AwaitInCompletion(DeviceExtension* ext) {
    LARGE_INTEGER interval;
    interval.QuadPart = -1000;
    for (ULONG polls = 0; !ReadShared(IsoInCompleted); ++polls) {
        if (polls >= kAwaitPolls || !ReadShared(ext->DescriptorRingBuffer)) return FALSE;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
    WriteShared(IsoInCompleted, 0);
    return TRUE;
}

}  // namespace

VOID ResetOutputStage() {
    ResetOutputState();
    RtlZeroMemory(TriggerBuffer, 100);
}

NTSTATUS ControlStartIsoStreamIn(PDEVICE_OBJECT deviceObject, PIRP irp) {
    auto* ext = static_cast<DeviceExtension*>(deviceObject->DeviceExtension);
    irp->IoStatus.Information = 0;
    DisarmSequenceCheck();
    WriteShared(AcqModuleConnected, 0);
    WriteShared(IsoInCompleted, 0);
    ResetRings(ext);
    ResetOutputStage();
    VELNOR_LOG(5, "AcqModuleConnected_4  %x\n", 0);
    return Velnor_StartIsoStreamIn(deviceObject, irp);
}

NTSTATUS ControlStartIsoStreamOut(PDEVICE_OBJECT deviceObject, PIRP irp) {
    irp->IoStatus.Information = 0;
    WriteShared(IsoInCompleted, 0);
    // Start just after the second IN completion that follows the request.
    auto* ext = static_cast<DeviceExtension*>(deviceObject->DeviceExtension);
    NTSTATUS status;
    if (!AwaitInCompletion(ext) || !AwaitInCompletion(ext)) {
        VELNOR_LOG(1, "Velnor> ERROR: Velnor_ProcessIOCTL: IOCTL_VELNOR_START_ISO_STREAM_OUT - no IN stream running\n");
        status = STATUS_IO_TIMEOUT;
    } else {
        status = Velnor_StartIsoStreamOut(deviceObject, irp);
    }
    WriteShared(ctr_notempty, 0);
    WriteShared(FlushPacketRing, 1);
    VELNOR_LOG(3, "Velnor> Velnor_ProcessIOCTL: IOCTL_VELNOR_START_ISO_STREAM_OUT end\n");
    return status;
}

NTSTATUS ControlStopIsoStream(PDEVICE_OBJECT deviceObject, PIRP irp) {
    auto* ext = static_cast<DeviceExtension*>(deviceObject->DeviceExtension);
    WriteShared(AcqModuleConnected, 0);
    WriteShared(StopIsoStream, 1);
    ResetRings(ext);
    velnor_filter_load_defaults();
    WriteShared(IsoInCompleted, 0);
    ResetOutputStage();
    VELNOR_LOG(5, "AcqModuleConnected_3  %x\n", 0);
    irp->IoStatus.Information = 0;
    return STATUS_SUCCESS;
}

NTSTATUS ControlReadIsoBuffer(PDEVICE_OBJECT deviceObject, PIRP irp) {
    auto* ext = static_cast<DeviceExtension*>(deviceObject->DeviceExtension);
    VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: IOCTL_VELNOR_READ_ISO_BUFFER In\n");
    if (!ext->DataRingBuffer || !ReadShared(ext->DescriptorRingBuffer)) {
        irp->IoStatus.Information = 0;
        VELNOR_LOG(1, "Velnor> Velnor_ProcessIOCTL: no ring buffer 1\n");
        return STATUS_UNSUCCESSFUL;
    }
    NTSTATUS status = Velnor_ReadBlock(ext, irp);
    VELNOR_LOG(3, "ioBuffer  %p\n", irp->AssociatedIrp.SystemBuffer);
    VELNOR_LOG(3, "Information  %8x\n", static_cast<ULONG>(irp->IoStatus.Information));
    VELNOR_LOG(3, "IOCTL_VELNOR_READ_ISO_BUFFER Out Status: %x\n", status);
    return status;
}
