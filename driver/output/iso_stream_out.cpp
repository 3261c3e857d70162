// The isochronous OUT stream: transfers of output packets kept in flight on
// the output pipe; each completion has the output builder compute the next
// packets for its slice of IsoOutBuffer and resubmits.
#include "output/packet_builder.h"
#include "usb/iso_stream.h"

namespace {

constexpr ULONG kIsoOutBufferBytes = 10000;

const IsoStreamNames OutNames = {
    "Velnor> ERROR: Velnor_StartIsoStreamOut() - no interface info\n",
    "Velnor> ERROR: Velnor_StartIsoStreamOut() - invalid pipe num\n",
    "Velnor> Velnor_StartIsoStreamOut PipeNum: %d\n",
    "Velnor> ERROR: Velnor_StartIsoStreamOut() - invalid pipe type\n",
    "Velnor> Velnor_StartIsoStreamOut PipeType: %d\n",
    "Velnor> Velnor_StartIsoStreamOut EndpointAddress: = %x\n",
    "Velnor> ERROR: Velnor_StartIsoStreamOut() - invalid pipe handle\n",
    "Velnor> ERROR: Velnor_StartIsoStreamOut() - unable to allocate stream object\n",
    "Velnor> ERROR: Velnor_StartIsoStreamOut() - unable to allocate transfer buffer\n",
    "Velnor> ERROR: Velnor_StartIsoStreamOut() - unable to allocate transfer object\n",
    "Velnor> ERROR: InitTransferObjectOut() - no urb\n",
    "Velnor> ERROR: Velnor_StartIsoStreamOut() - invalid stream parameters\n",
    "Velnor> ERROR: Velnor_StartIsoStreamOut() - %lu packets per transfer, at most 255\n",
    "Velnor> ERROR: Velnor_StartIsoStreamOut() - packet size %lu above the pipe's maximum of %lu\n",
};

PUCHAR SliceOf(IsoStreamObject* stream, ULONG firstPacket) { return IsoOutBuffer + stream->PacketSize * firstPacket; }

// A slice sent again without passing through the builder: its trigger and
// beep marks fired when it was last sent and must not fire twice.
VOID ClearMarks(IsoStreamObject* stream, PUCHAR slice) {
    for (ULONG k = 0; k < stream->PacketsPerTransfer; ++k) {
        PUCHAR packet = slice + stream->PacketSize * k;
        packet[offsetof(OutputPacket, trig)] = 0;
        packet[offsetof(OutputPacket, beep)] = 0;
    }
}

}  // namespace

// The builder's state is driver-wide and unlocked. The USB stack completes a
// pipe's transfers one at a time; should two completions ever meet, the
// second resubmits its slice, without marks, rather than run the builder twice.
volatile LONG OutBuilderBusy = 0;

NTSTATUS InitTransferObjectOut(IsoStreamObject* stream, ULONG t) {
    return InitIsoTransfer(stream, t, SliceOf(stream, stream->PacketsPerTransfer * t), OutNames);
}

// Called with the OUT pipe claimed by the request (so that no other start
// touches the builder meanwhile); a start that fails gives the claim back.
NTSTATUS Velnor_StartIsoStreamOut(PDEVICE_OBJECT deviceObject, PIRP irp) {
    VELNOR_LOG(5, "Velnor> Velnor_StartIsoStreamOut() - START\n");
    auto* ext = static_cast<DeviceExtension*>(deviceObject->DeviceExtension);
    IsoStreamRequest request;
    USBD_PIPE_INFORMATION pipe;
    RtlZeroMemory(&pipe, sizeof(pipe));
    NTSTATUS status = CheckIsoStreamRequest(ext, irp, OutNames, &request, &pipe);
    // The builder serves 1 to 50 packets of at least 13 bytes, and every
    // transfer's slice must lie inside IsoOutBuffer.
    if (NT_SUCCESS(status) &&
        (request.PacketsPerTransfer > VELNOR_OUT_MAX_PACKETS || request.PacketSize < VELNOR_OUT_PACKET_BYTES ||
         static_cast<ULONGLONG>(request.PacketSize) * request.PacketsPerTransfer * request.TransferCount >
             kIsoOutBufferBytes)) {
        VELNOR_LOG(1, OutNames.badRequest);
        status = STATUS_INVALID_PARAMETER;
    }
    if (NT_SUCCESS(status) && !IsoOutBuffer) {
        VELNOR_LOG(1, "Velnor> ERROR: Velnor_StartIsoStreamOut() - no output buffer\n");
        status = STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(status)) {
        ReleaseIsoStream(IsoStreamOut);
        VELNOR_LOG(5, "Velnor> Velnor_StartIsoStreamOut() - EXIT (0x%X)\n", status);
        return status;
    }

    IsoStreamObject* stream = AllocateIsoStream(deviceObject, request, pipe, OutNames);
    BOOLEAN ready = stream && AllocateIsoTransfers(stream, OutNames);
    ULONG built = 0;
    while (ready && built < request.TransferCount) {
        ready = NT_SUCCESS(InitTransferObjectOut(stream, built));
        ++built;
    }
    if (!ready) {
        // A start that cannot set up every transfer releases what it had.
        if (stream) {
            for (ULONG t = 0; t < built; ++t) ReleaseIsoTransfer(&stream->TransferObjects[t]);
            FreeIsoStream(stream);
        }
        ReleaseIsoStream(IsoStreamOut);
        VELNOR_LOG(5, "Velnor> Velnor_StartIsoStreamOut() - EXIT (0x%X)\n", STATUS_INSUFFICIENT_RESOURCES);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // A stack that fails a submission at once runs the completion inside
    // IofCallDriver, and the last one frees the stream: nothing of it is
    // read after the last submission.
    RecordIsoStreamPipe(IsoStreamOut, stream->Pipe.PipeHandle);
    const ULONG count = stream->TransferCount;
    IsoTransferObject* transfers = stream->TransferObjects;
    for (ULONG t = 0; t < count; ++t) SubmitIsoTransfer(&transfers[t], IsoStreamTransferCompleteOut);
    VELNOR_LOG(5, "Velnor> Velnor_StartIsoStreamOut() - EXIT (0x%X)\n", STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

// Completions with STATUS_UNSUCCESSFUL a transfer goes on after in a row:
// 16 transfers of missed frames is no longer a passing fault.
constexpr ULONG kMaxUnsuccessfulInARow = 16;

NTSTATUS IsoStreamTransferCompleteOut(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* transfer = static_cast<IsoTransferObject*>(context);
    VELNOR_LOG(5, "Velnor> IsoStreamTransferCompleteOut In\n");
    VELNOR_LOG(5, "Velnor> IsoStreamTransferCompleteOut Irp Status 0x%x\n", irp->IoStatus.Status);
    // Defensive only: none of these occurs in operation. The request is the
    // driver's own, so it is kept (STATUS_MORE_PROCESSING_REQUIRED): any
    // other status would let the I/O manager complete it past its last
    // stack location, into a request that has no thread.
    if (!transfer) {
        VELNOR_LOG(1, "Velnor> ERROR: IsoStreamTransferCompleteOut() - no transferObject\n");
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    IsoStreamObject* stream = transfer->Stream;
    if (!stream || !transfer->Urb) {
        VELNOR_LOG(1, "Velnor> ERROR: IsoStreamTransferCompleteOut() - no streamObject\n");
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (!stream->DeviceObject) {
        VELNOR_LOG(1, "Velnor> ERROR: IsoStreamTransferCompleteOut() - no fdo\n");
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    auto* ext = static_cast<DeviceExtension*>(stream->DeviceObject->DeviceExtension);
    const NTSTATUS irpStatus = irp->IoStatus.Status;

    // STATUS_UNSUCCESSFUL (a missed frame) goes on like success, but not
    // without end: a stack that refuses the resubmission inside IofCallDriver
    // runs this routine again one call deeper each time, until the stack
    // overflowed. A transfer never pending was refused outright; one refused
    // after being marked pending (as some stacks do) is caught by the count.
    const UCHAR stop = ReadShared(StopIsoStream);
    if (irpStatus >= 0) transfer->UnsuccessfulInARow = 0;
    if (irpStatus == STATUS_UNSUCCESSFUL) ++transfer->UnsuccessfulInARow;
    const BOOLEAN goesOn =
        irpStatus >= 0 || (irpStatus == STATUS_UNSUCCESSFUL && irp->PendingReturned &&
                           transfer->UnsuccessfulInARow <= kMaxUnsuccessfulInARow);
    if (goesOn && !stop) {
        PUCHAR slice = SliceOf(stream, transfer->FirstPacket);
        BuildIsoUrb(transfer, slice);
        VELNOR_LOG(5, "Velnor_ReadPacket\n");
        if (InterlockedCompareExchange(&OutBuilderBusy, 1, 0) == 0) {
            Velnor_ReadPacket(ext, stream->PacketsPerTransfer);
            FormatIsoOutPackets(slice, stream->PacketsPerTransfer, stream->PacketSize);
            InterlockedExchange(&OutBuilderBusy, 0);
        } else {
            ClearMarks(stream, slice);
        }
        // A submission that fails at once ends this transfer inside
        // IofCallDriver, and may free the stream with it: what is logged
        // afterwards is taken now.
        const LONG pending = ReadShared(stream->PendingTransfers);
        NTSTATUS submitted = SubmitIsoTransfer(transfer, IsoStreamTransferCompleteOut);
        VELNOR_LOG(5, "Velnor> IsoStreamTransferCompleteOut: IsoStreamTransferCompleteOut Resubmit Irp Status 0x%x\n",
                   submitted);
        VELNOR_LOG(5, "Velnor> IsoStreamTransferCompleteOut: PendingTransfers %d\n", pending);
        VELNOR_LOG(5, "Velnor> IsoStreamTransferCompleteOut Out\n");
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    VELNOR_LOG(5, "Velnor> IsoStreamTransferCompleteOut: IsoStreamTransferCompleteOut All done, setting event\n");
    VELNOR_LOG(5, "Velnor> IsoStreamTransferCompleteOut: Irp->IoStatus.Status  %x\n", irpStatus);
    VELNOR_LOG(5, "Velnor> IsoStreamTransferCompleteOut: StopIsoStream  %x\n", stop);
    const BOOLEAN last = ReleaseIsoTransfer(transfer);
    if (last) FreeIsoStream(stream);
    VELNOR_LOG(5, "Velnor> IsoStreamTransferCompleteOut Out\n");
    // The very last statement, as in the IN completion.
    if (last) ReleaseIsoStream(IsoStreamOut);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
