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

constexpr LONGLONG kInPollInterval = -1000;      // 100 us, relative
constexpr LONGLONG kBlockTurnWait100ns = 20000000;  // two seconds: two blocks without data

// Sleeps 100 us at a time until an IN completion has happened, then clears
// it. An IN stream that ends or stalls meanwhile would otherwise hold the
// request forever: one second without a completion gives up, and so does
// finding no IN stream at all.
BOOLEAN AwaitInCompletion() {
    WaitBound bound;
    StartWaitBound(&bound);
    while (!ReadShared(IsoInCompleted)) {
        if (!IsoStreamClaimed(IsoStreamIn) || WaitBoundPassed(&bound)) return FALSE;
        DelayFor(kInPollInterval);
    }
    WriteShared(IsoInCompleted, 0);
    return TRUE;
}

BOOLEAN StreamsOwnPipes() { return IsoStreamClaimed(IsoStreamIn) || IsoStreamClaimed(IsoStreamOut); }

// How START_ISO_STREAM_IN treats the streams of the previous start:
// - none left (neither pipe owned): the start goes on;
// - still running (a pipe owned and StopIsoStream clear): refused with
//   STATUS_DEVICE_BUSY at once;
// - winding down (a pipe owned, StopIsoStream set by STOP, by an overflow
//   or by a failed transfer): every transfer of both streams ends at its
//   next completion, so the start waits for both streams to let go of their
//   pipes, up to a second by the tick count in 1 ms sleeps, and is refused
//   with STATUS_DEVICE_BUSY if they have not by then.
// Both old streams must be gone: clearing StopIsoStream under a pending OUT
// transfer would carry the old OUT stream on. A refusal changes nothing.
NTSTATUS AwaitPreviousStreams() {
    WaitBound bound;
    StartWaitBound(&bound);
    while (StreamsOwnPipes()) {
        if (!ReadShared(StopIsoStream)) {
            VELNOR_LOG(1, "Velnor> ERROR: Velnor_ProcessIOCTL: IOCTL_VELNOR_START_ISO_STREAM_IN - "
                          "a stream is still running\n");
            return STATUS_DEVICE_BUSY;
        }
        if (WaitBoundPassed(&bound)) {
            VELNOR_LOG(1, "Velnor> ERROR: Velnor_ProcessIOCTL: IOCTL_VELNOR_START_ISO_STREAM_IN - "
                          "the previous streams did not end\n");
            return STATUS_DEVICE_BUSY;
        }
        DelayFor(kEndPollInterval);
    }
    return STATUS_SUCCESS;
}

}  // namespace

VOID ResetOutputStage() {
    ResetOutputState();
    RtlZeroMemory(TriggerBuffer, 100);
}

NTSTATUS ControlStartIsoStreamIn(PDEVICE_OBJECT deviceObject, PIRP irp) {
    auto* ext = static_cast<DeviceExtension*>(deviceObject->DeviceExtension);
    irp->IoStatus.Information = 0;
    NTSTATUS status = AwaitPreviousStreams();
    IsoStreamObject* stream = nullptr;
    if (NT_SUCCESS(status)) status = Velnor_StartIsoStreamIn(deviceObject, irp, &stream);
    if (!NT_SUCCESS(status)) return status;
    // The stream is set up and owns the IN pipe, and no OUT stream runs:
    // only now is the state of the previous stream put aside.
    DisarmSequenceCheck();
    WriteShared(AcqModuleConnected, 0);
    WriteShared(IsoInCompleted, 0);
    ResetRings(ext);
    ResetOutputStage();
    VELNOR_LOG(5, "AcqModuleConnected_4  %x\n", 0);
    SubmitIsoStreamIn(stream);
    return STATUS_SUCCESS;
}

NTSTATUS ControlStartIsoStreamOut(PDEVICE_OBJECT deviceObject, PIRP irp) {
    irp->IoStatus.Information = 0;
    NTSTATUS status = STATUS_SUCCESS;
    // The OUT pipe is claimed first: a second start, also one racing this
    // one, is then refused before it touches the running stream's builder
    // (the flush below would empty its packet ring), and nothing else runs
    // the builder while this request resets it.
    if (!ClaimIsoStream(IsoStreamOut)) {
        VELNOR_LOG(1, "Velnor> ERROR: Velnor_ProcessIOCTL: IOCTL_VELNOR_START_ISO_STREAM_OUT - "
                      "a stream is still running\n");
        status = STATUS_DEVICE_BUSY;
    } else {
        WriteShared(IsoInCompleted, 0);
        // Start just after the second IN completion that follows the request.
        if (!AwaitInCompletion() || !AwaitInCompletion()) {
            VELNOR_LOG(1, "Velnor> ERROR: Velnor_ProcessIOCTL: IOCTL_VELNOR_START_ISO_STREAM_OUT - "
                          "no IN completion within a second\n");
            status = STATUS_IO_TIMEOUT;
        }
        // The builder's first step empties IsoPacketRingBuffer, so the stream
        // starts from fresh packets; set before the first completion can run.
        WriteShared(ctr_notempty, 0);
        WriteShared(FlushPacketRing, 1);
        if (NT_SUCCESS(status))
            status = Velnor_StartIsoStreamOut(deviceObject, irp);  // gives the claim back if it fails
        else
            ReleaseIsoStream(IsoStreamOut);
    }
    VELNOR_LOG(3, "Velnor> Velnor_ProcessIOCTL: IOCTL_VELNOR_START_ISO_STREAM_OUT end\n");
    return status;
}

NTSTATUS ControlStopIsoStream(PDEVICE_OBJECT deviceObject, PIRP irp) {
    auto* ext = static_cast<DeviceExtension*>(deviceObject->DeviceExtension);
    WriteShared(AcqModuleConnected, 0);
    WriteShared(StopIsoStream, 1);
    if (!AwaitIsoStreamsStopped(deviceObject, "Velnor_ProcessIOCTL: IOCTL_VELNOR_STOP_ISO_STREAM", TRUE))
        VELNOR_LOG(1, "Velnor> ERROR: Velnor_ProcessIOCTL: IOCTL_VELNOR_STOP_ISO_STREAM - "
                      "the streams did not end\n");
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
    // A second reader waits for the block in progress (at most about a
    // second) and then finds the rings as that block left them; a reader
    // with more than one block ahead of it is refused after two seconds
    // instead of waiting a second for each.
    LARGE_INTEGER turnLimit;
    turnLimit.QuadPart = -kBlockTurnWait100ns;
    if (KeWaitForSingleObject(&BlockReaderTurn, Executive, KernelMode, FALSE, &turnLimit) == STATUS_TIMEOUT) {
        VELNOR_LOG(1, "Velnor> ERROR: Velnor_ProcessIOCTL: IOCTL_VELNOR_READ_ISO_BUFFER - "
                      "other block reads still in progress\n");
        irp->IoStatus.Information = 0;
        return STATUS_DEVICE_BUSY;
    }
    // A full data ring has stopped the stream and freed its descriptor
    // ring: the read still goes on, so the loss shows as a FIFO-full block.
    const BOOLEAN overflowed = ext->DataRingBuffer && ReadFullFlag(ext->DataRingBuffer);
    if (!ext->DataRingBuffer || (!ReadShared(ext->DescriptorRingBuffer) && !overflowed)) {
        irp->IoStatus.Information = 0;
        VELNOR_LOG(1, "Velnor> Velnor_ProcessIOCTL: no ring buffer 1\n");
        KeSetEvent(&BlockReaderTurn, IO_NO_INCREMENT, FALSE);
        return STATUS_UNSUCCESSFUL;
    }
    NTSTATUS status = Velnor_ReadBlock(ext, irp);
    KeSetEvent(&BlockReaderTurn, IO_NO_INCREMENT, FALSE);
    VELNOR_LOG(3, "ioBuffer  %p\n", irp->AssociatedIrp.SystemBuffer);
    VELNOR_LOG(3, "Information  %8x\n", static_cast<ULONG>(irp->IoStatus.Information));
    VELNOR_LOG(3, "IOCTL_VELNOR_READ_ISO_BUFFER Out Status: %x\n", status);
    return status;
}
