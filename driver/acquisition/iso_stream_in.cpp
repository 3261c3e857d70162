// The isochronous IN stream: transfers kept in flight on the acquisition
// pipe, whose completions append the module's words to both rings and
// resubmit. The USB stack completes one pipe's transfers in order, one at a
// time, which the stream relies on for the order of the data anyway; the
// only count shared between completions is decremented atomically.
#include "acquisition/block_reader.h"
#include "usb/iso_stream.h"

namespace {

constexpr ULONG kSlotHeader = 6;      // unused, buffer status, word count, unused
constexpr ULONG kSlotWordCount = 4;   // the header byte with the number of data words
constexpr ULONG kMaxSlotData = 102;   // three acquisition packets
constexpr ULONG kDescriptorBytes = 12;
// The descriptor ring is never read or written, only its existence counts;
// a bound keeps a request from asking for gigabytes of non-paged pool.
constexpr ULONG kMaxDescriptors = 65536;

const IsoStreamNames InNames = {
    "Velnor> ERROR: Velnor_StartIsoStreamIn() - no interface info\n",
    "Velnor> ERROR: Velnor_StartIsoStreamIn() - invalid pipe num\n",
    "Velnor> Velnor_StartIsoStreamIn PipeNum: %d\n",
    "Velnor> ERROR: Velnor_StartIsoStreamIn() - invalid pipe type\n",
    "Velnor> Velnor_StartIsoStreamIn PipeType: %d\n",
    "Velnor> Velnor_StartIsoStreamIn EndpointAddress: %x\n",
    "Velnor> ERROR: Velnor_StartIsoStreamIn() - invalid pipe handle\n",
    "Velnor> ERROR: Velnor_StartIsoStreamIn() - unable to allocate stream object\n",
    "Velnor> ERROR: Velnor_StartIsoStreamIn() - unable to allocate transfer buffer\n",
    "Velnor> ERROR: Velnor_StartIsoStreamIn() - unable to allocate transfer object\n",
    "Velnor> ERROR: Velnor_StartIsoStreamIn() - STATUS_UNSUCCESSFUL\n",
    "Velnor> ERROR: Velnor_StartIsoStreamIn() - invalid stream parameters\n",
    "Velnor> ERROR: Velnor_StartIsoStreamIn() - %lu packets per transfer, at most 255\n",
    "Velnor> ERROR: Velnor_StartIsoStreamIn() - packet size %lu above the pipe's maximum of %lu\n",
};

PUCHAR SliceOf(IsoStreamObject* stream, ULONG firstPacket) {
    return stream->TransferBuffer + stream->PacketSize * firstPacket;
}

// Frees transfers 0..count-1 of a stream that never started, then the
// stream; the caller gives the IN pipe back.
VOID DiscardStream(IsoStreamObject* stream, ULONG count) {
    for (ULONG t = 0; t < count; ++t) ReleaseIsoTransfer(&stream->TransferObjects[t]);
    if (stream->DescriptorRing) FreeRingBuffer(stream->DescriptorRing);
    FreeIsoStream(stream);
}

// Appends one slot's words to both rings; a refused write stops the stream.
VOID StoreSlot(DeviceExtension* ext, IsoStreamObject* stream, const UCHAR* slot) {
    ULONG n = 2u * slot[kSlotWordCount];
    if (n > kMaxSlotData) {
        VELNOR_LOG(5, "Velnor> IsoStreamTransferCompleteIn: bufferstatus %d\n", slot[2] | slot[3] << 8);
        VELNOR_LOG(5, "Velnor> IsoStreamTransferCompleteIn: len > 102 %d\n", n);
        return;
    }
    if (kSlotHeader + n > stream->PacketSize) {
        // The slot cannot hold what it claims: reading on would leave the slot.
        VELNOR_LOG(5, "Velnor> IsoStreamTransferCompleteIn: len > slot %d\n", n);
        return;
    }
    if (n == 0) return;
    USHORT words[kMaxSlotData / 2];
    for (ULONG i = 0; i < n / 2; ++i)
        words[i] = static_cast<USHORT>(slot[kSlotHeader + 2 * i] << 8 | slot[kSlotHeader + 2 * i + 1]);
    VELNOR_LOG(5, "Velnor> IsoStreamTransferCompleteIn: WriteRingBuffer length %d\n", n);
    if (ReadShared(FirstIsoPacket) == 1) {
        ResetRingBuffer(ext->DataRingBuffer);
        ResetRingBuffer(ext->IsoPacketRingBuffer);
        WriteShared(FirstIsoPacket, 0);
    }
    // The first data of each stream sets the block reader's sequence
    // reference when it begins with a whole packet (one is enough); a stream
    // whose first data does not runs without the check.
    if (ReadShared(stream->ArmSequenceCheck) && InterlockedExchange(&stream->ArmSequenceCheck, 0) &&
        n >= VELNOR_PACKET_BYTES && words[VELNOR_W_SYNC] == VELNOR_SYNC_WORD)
        ArmSequenceCheck(words[VELNOR_W_SEQU]);
    auto* bytes = reinterpret_cast<const UCHAR*>(words);
    if (!WriteRingBuffer(ext->DataRingBuffer, bytes, n)) WriteShared(StopIsoStream, 1);
    if (!WriteRingBuffer(ext->IsoPacketRingBuffer, bytes, n)) WriteShared(StopIsoStream, 1);
}

// Clears the word count of every slot of a transfer before it goes to the
// bus. A packet the controller does not access (scheduled too late) keeps
// its buffer untouched, and its slot would otherwise be stored again with
// the header of its previous round; cleared, it contributes nothing. The
// reported packet lengths and statuses are not looked at.
VOID ClearSlotWordCounts(IsoStreamObject* stream, PUCHAR slice) {
    for (ULONG p = 0; p < stream->PacketsPerTransfer; ++p)
        slice[static_cast<USHORT>(stream->PacketSize * p) + kSlotWordCount] = 0;
}

}  // namespace

NTSTATUS InitTransferObjectIn(IsoStreamObject* stream, ULONG t) {
    return InitIsoTransfer(stream, t, SliceOf(stream, stream->PacketsPerTransfer * t), InNames);
}

// Everything is allocated and built before anything is submitted; a start
// that cannot set up every transfer releases what it had (null).
IsoStreamObject* BuildIsoStreamIn(PDEVICE_OBJECT deviceObject, const IsoStreamRequest& request,
                                  const USBD_PIPE_INFORMATION& pipe) {
    IsoStreamObject* stream = AllocateIsoStream(deviceObject, request, pipe, InNames);
    if (!stream) return nullptr;
    stream->DescriptorRing = AllocRingBuffer(kDescriptorBytes * request.DescriptorCount);
    if (!stream->DescriptorRing) {
        VELNOR_LOG(1, "Velnor> ERROR: Velnor_StartIsoStreamIn() - unable to allocate descriptor ring buffer\n");
        DiscardStream(stream, 0);
        return nullptr;
    }
    if (!AllocateIsoTransfers(stream, InNames)) {
        DiscardStream(stream, 0);
        return nullptr;
    }
    for (ULONG t = 0; t < stream->TransferCount; ++t) {
        if (!NT_SUCCESS(InitTransferObjectIn(stream, t))) {
            DiscardStream(stream, t + 1);
            return nullptr;
        }
    }
    stream->ArmSequenceCheck = 1;
    return stream;
}

NTSTATUS Velnor_StartIsoStreamIn(PDEVICE_OBJECT deviceObject, PIRP irp, IsoStreamObject** prepared) {
    VELNOR_LOG(5, "Velnor> Velnor_StartIsoStreamIn() - START\n");
    *prepared = nullptr;
    auto* ext = static_cast<DeviceExtension*>(deviceObject->DeviceExtension);
    IsoStreamRequest request;
    USBD_PIPE_INFORMATION pipe;
    RtlZeroMemory(&pipe, sizeof(pipe));
    NTSTATUS status = CheckIsoStreamRequest(ext, irp, InNames, &request, &pipe);
    if (NT_SUCCESS(status) && (request.PacketSize < kSlotHeader || request.DescriptorCount == 0 ||
                               request.DescriptorCount > kMaxDescriptors)) {
        VELNOR_LOG(1, InNames.badRequest);
        status = STATUS_INVALID_PARAMETER;
    }
    // A stream owns the pipe and the descriptor ring until its last transfer
    // has ended; the claim is taken atomically, so of two concurrent starts
    // exactly one goes on.
    if (NT_SUCCESS(status) && !ClaimIsoStream(IsoStreamIn)) {
        VELNOR_LOG(1, "Velnor> ERROR: Velnor_StartIsoStreamIn() - a stream is still running\n");
        status = STATUS_DEVICE_BUSY;
    }
    if (NT_SUCCESS(status)) {
        *prepared = BuildIsoStreamIn(deviceObject, request, pipe);
        if (!*prepared) {
            ReleaseIsoStream(IsoStreamIn);
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    VELNOR_LOG(5, "Velnor> Velnor_StartIsoStreamIn() - EXIT (0x%X)\n", status);
    return status;
}

VOID SubmitIsoStreamIn(IsoStreamObject* stream) {
    auto* ext = static_cast<DeviceExtension*>(stream->DeviceObject->DeviceExtension);
    WriteShared(ext->DescriptorRingBuffer, stream->DescriptorRing);
    RecordIsoStreamPipe(IsoStreamIn, stream->Pipe.PipeHandle);
    WriteShared(StopIsoStream, 0);
    // A stack that fails a submission at once runs the completion inside
    // IofCallDriver, and the last one frees the stream: nothing of it is
    // read after the last submission.
    const ULONG count = stream->TransferCount;
    IsoTransferObject* transfers = stream->TransferObjects;
    for (ULONG t = 0; t < count; ++t) SubmitIsoTransfer(&transfers[t], IsoStreamTransferCompleteIn);
}

NTSTATUS IsoStreamTransferCompleteIn(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* transfer = static_cast<IsoTransferObject*>(context);
    IsoStreamObject* stream = transfer->Stream;
    auto* ext = static_cast<DeviceExtension*>(stream->DeviceObject->DeviceExtension);
    struct _URB_ISOCH_TRANSFER& iso = transfer->Urb->UrbIsochronousTransfer;
    PUCHAR slice = SliceOf(stream, transfer->FirstPacket);
    const NTSTATUS irpStatus = irp->IoStatus.Status;

    VELNOR_LOG(5, "Velnor> IsoStreamTransferCompleteIn  In\n");
    VELNOR_LOG(5, "Velnor> IsoStreamTransferCompleteIn Irp Status 0x%x\n", irpStatus);
    if (ReadShared(DebugLevel) >= 5) {
        for (ULONG p = 0; p < iso.NumberOfPackets; ++p)
            DbgPrint("Velnor> IsoStreamTransferCompleteIn   Packet %d length = %d status = 0x%x\n", p,
                     iso.IsoPacket[p].Length, iso.IsoPacket[p].Status);
    }
    VELNOR_LOG(5, "Velnor> IsoStreamTransferCompleteIn: TransferBuffer %p\n", slice);
    WriteShared(IsoStreamStopped, 0);

    if (irpStatus >= 0 && !ReadShared(StopIsoStream) && !ReadFullFlag(ext->DataRingBuffer)) {
        for (ULONG p = 0; p < stream->PacketsPerTransfer; ++p)
            StoreSlot(ext, stream, slice + static_cast<USHORT>(stream->PacketSize * p));
        WriteShared(IsoInCompleted, 1);
        BuildIsoUrb(transfer, slice);
        ClearSlotWordCounts(stream, slice);
        // A submission that fails at once ends this transfer inside
        // IofCallDriver, and may free the stream with it: what is logged
        // afterwards is taken now.
        const LONG pending = ReadShared(stream->PendingTransfers);
        NTSTATUS submitted = SubmitIsoTransfer(transfer, IsoStreamTransferCompleteIn);
        VELNOR_LOG(5, "Velnor> IsoStreamTransferCompleteIn: WriteRingBuffer done\n");
        VELNOR_LOG(5, "Velnor> IsoStreamTransferCompleteIn: IsoStreamTransferCompleteIn Resubmit Irp Status 0x%x\n",
                   submitted);
        VELNOR_LOG(5, "Velnor> IsoStreamTransferCompleteIn: PendingTransfers %d\n", pending);
        KIRQL irql = KeGetCurrentIrql();
        if (irql == DISPATCH_LEVEL)
            VELNOR_LOG(5, "Velnor> IsoStreamTransferCompleteIn: DISPATCH_LEVEL %x\n", irql);
        else
            VELNOR_LOG(5, "Velnor> IsoStreamTransferCompleteIn: PASSIVE LEVEL %x\n", irql);
        VELNOR_LOG(5, "IsoStreamTransferCompleteIn  Out\n");
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    // The transfer ends; the first to end stops the others at their next completion.
    VELNOR_LOG(5, "Velnor> IsoStreamTransferCompleteIn: IsoStreamTransferCompleteIn All done, setting event\n");
    VELNOR_LOG(5, "Velnor> IsoStreamTransferCompleteIn: Irp->IoStatus.Status %x\n", irpStatus);
    WriteShared(StopIsoStream, 1);
    VELNOR_LOG(5, "Velnor> IsoStreamTransferCompleteIn: StopIsoStream %x\n", 1);
    VELNOR_LOG(5, "Velnor> IsoStreamTransferCompleteIn: ringBuffer->full %x\n", ReadFullFlag(ext->DataRingBuffer));
    VELNOR_LOG(5, "Velnor> IsoStreamTransferCompleteIn: PendingTransfers %d\n", ReadShared(stream->PendingTransfers));
    const BOOLEAN last = ReleaseIsoTransfer(transfer);
    if (last) {
        // The stream's own ring: the claim kept any other stream from
        // replacing the device's reference meanwhile.
        WriteShared(ext->DescriptorRingBuffer, nullptr);
        FreeRingBuffer(stream->DescriptorRing);
        WriteShared(IsoStreamStopped, 1);
        VELNOR_LOG(5, "Velnor> IsoStreamTransferCompleteIn: IsoStreamStopped  %x\n", 1);
        FreeIsoStream(stream);
        VELNOR_LOG(5, "Velnor> IsoStreamTransferCompleteIn: release resources, setting event\n");
    }
    VELNOR_LOG(5, "IsoStreamTransferCompleteIn  Out\n");
    // The very last statement: once the pipe is free a new start may set
    // everything up again, and removal may free the device and unload.
    if (last) ReleaseIsoStream(IsoStreamIn);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
