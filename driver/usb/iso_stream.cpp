// The mechanics the isochronous IN and OUT streams share.
#include "usb/iso_stream.h"
#include "usb/usb_request.h"

namespace {

constexpr ULONG kUrbExtra = 152;        // the URB is 12 bytes per packet plus this
constexpr ULONG kSlotOffsetLimit = 65534;  // slot offsets are formed in 16 bits
constexpr ULONG kMaxPacketsPerUrb = 255;   // full-speed isochronous packets one URB may carry
// Transfers a stream keeps in flight: a handful covers any latency (four at
// the recommended parameters); more would only let a request make the
// driver allocate non-paged pool without bound.
constexpr ULONG kMaxTransfers = 64;
constexpr ULONGLONG kStopGrace100ns = 2500000;  // 250 ms

ULONG IsoUrbSize(ULONG packets) { return sizeof(USBD_ISO_PACKET_DESCRIPTOR) * packets + kUrbExtra; }

// 1 while a stream owns the direction's pipe; indexed by IsoStreamDirection.
volatile LONG IsoStreamOwned[2] = {0, 0};
// The pipe each owned direction's stream runs on; null while none does.
PVOID volatile IsoStreamPipeHandle[2] = {nullptr, nullptr};

}  // namespace

BOOLEAN ClaimIsoStream(IsoStreamDirection direction) {
    return InterlockedCompareExchange(&IsoStreamOwned[direction], 1, 0) == 0;
}

VOID ReleaseIsoStream(IsoStreamDirection direction) {
    WriteShared(IsoStreamPipeHandle[direction], nullptr);
    InterlockedExchange(&IsoStreamOwned[direction], 0);
}

VOID RecordIsoStreamPipe(IsoStreamDirection direction, USBD_PIPE_HANDLE pipeHandle) {
    WriteShared(IsoStreamPipeHandle[direction], pipeHandle);
}

VOID AbortIsoStreamPipes(PDEVICE_OBJECT deviceObject) {
    for (LONG d = IsoStreamIn; d <= IsoStreamOut; ++d) {
        const IsoStreamDirection direction = static_cast<IsoStreamDirection>(d);
        // A stream that ends meanwhile leaves its pipe idle, and aborting an
        // idle pipe is harmless; a stale handle is refused by the stack.
        USBD_PIPE_HANDLE pipe = ReadShared(IsoStreamPipeHandle[direction]);
        if (pipe && IsoStreamClaimed(direction)) Velnor_AbortPipe(deviceObject, pipe);
    }
}

BOOLEAN IsoStreamClaimed(IsoStreamDirection direction) { return ReadShared(IsoStreamOwned[direction]) != 0; }

VOID StartWaitBound(WaitBound* bound, ULONGLONG limit100ns) {
    LARGE_INTEGER now;
    KeQueryTickCount(&now);
    bound->startTick = static_cast<ULONGLONG>(now.QuadPart);
    bound->limit100ns = limit100ns;
}

BOOLEAN WaitBoundPassed(const WaitBound* bound) {
    LARGE_INTEGER now;
    KeQueryTickCount(&now);
    const ULONGLONG ticks = static_cast<ULONGLONG>(now.QuadPart) - bound->startTick;
    return ticks * KeQueryTimeIncrement() > bound->limit100ns;
}

VOID DelayFor(LONGLONG relative100ns) {
    LARGE_INTEGER interval;
    interval.QuadPart = relative100ns;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

BOOLEAN AwaitIsoStreamsStopped(PDEVICE_OBJECT deviceObject, PCSTR caller, BOOLEAN yieldToStart) {
    WaitBound bound;
    StartWaitBound(&bound, kStopGrace100ns);
    BOOLEAN aborted = FALSE;
    while (IsoStreamClaimed(IsoStreamIn) || IsoStreamClaimed(IsoStreamOut)) {
        if (!ReadShared(StopIsoStream)) {
            if (yieldToStart) return TRUE;
            WriteShared(StopIsoStream, 1);
        }
        if (WaitBoundPassed(&bound)) {
            if (aborted) return FALSE;
            VELNOR_LOG(1, "Velnor> ERROR: %s - transfers still pending, aborting the stream pipes\n", caller);
            AbortIsoStreamPipes(deviceObject);
            aborted = TRUE;
            StartWaitBound(&bound);
        }
        DelayFor(kEndPollInterval);
    }
    return TRUE;
}

NTSTATUS CheckIsoStreamRequest(DeviceExtension* ext, PIRP irp, const IsoStreamNames& names,
                               IsoStreamRequest* request, USBD_PIPE_INFORMATION* pipe) {
    if (!HasInterfaceInfo(ext)) {
        VELNOR_LOG(1, names.noInterface);
        return STATUS_UNSUCCESSFUL;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (!irp->AssociatedIrp.SystemBuffer ||
        stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(IsoStreamRequest)) {
        VELNOR_LOG(1, names.badRequest);
        return STATUS_INVALID_PARAMETER;
    }
    RtlCopyMemory(request, irp->AssociatedIrp.SystemBuffer, sizeof(IsoStreamRequest));
    const PipeLookup found = LookUpPipe(ext, request->PipeNum, pipe);
    if (found == NoInterfaceInfo) {
        VELNOR_LOG(1, names.noInterface);
        return STATUS_UNSUCCESSFUL;
    }
    if (found == NoSuchPipe) {
        VELNOR_LOG(1, names.badPipeNum);
        return STATUS_INVALID_PARAMETER;
    }
    VELNOR_LOG(2, names.pipeNum, request->PipeNum);
    if (pipe->PipeType != UsbdPipeTypeIsochronous) {
        VELNOR_LOG(1, names.badPipeType);
        return STATUS_INVALID_PARAMETER;
    }
    VELNOR_LOG(2, names.pipeType, pipe->PipeType);
    VELNOR_LOG(2, names.endpoint, pipe->EndpointAddress);
    if (!pipe->PipeHandle) {
        VELNOR_LOG(1, names.badPipeHandle);
        return STATUS_UNSUCCESSFUL;
    }
    // What the USB stack refuses anyway: more packets in one URB than a
    // full-speed isochronous transfer may carry (the module is a full-speed
    // device; high speed would allow 1024 in multiples of 8), and packets
    // larger than the endpoint takes in a frame.
    if (request->PacketsPerTransfer > kMaxPacketsPerUrb) {
        VELNOR_LOG(1, names.tooManyPackets, request->PacketsPerTransfer);
        return STATUS_INVALID_PARAMETER;
    }
    if (request->PacketSize > pipe->MaximumPacketSize) {
        VELNOR_LOG(1, names.packetTooLarge, request->PacketSize,
                   static_cast<ULONG>(pipe->MaximumPacketSize));
        return STATUS_INVALID_PARAMETER;
    }
    // A transfer needs at least one packet, and its slot offsets must fit
    // the 16 bits they are formed in; a stream needs at least one transfer.
    ULONGLONG sliceBytes = static_cast<ULONGLONG>(request->PacketSize) * request->PacketsPerTransfer;
    if (request->PacketSize == 0 || request->PacketsPerTransfer == 0 || request->TransferCount == 0 ||
        request->TransferCount > kMaxTransfers || sliceBytes >= kSlotOffsetLimit) {
        VELNOR_LOG(1, names.badRequest);
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

IsoStreamObject* AllocateIsoStream(PDEVICE_OBJECT deviceObject, const IsoStreamRequest& request,
                                   const USBD_PIPE_INFORMATION& pipe, const IsoStreamNames& names) {
    auto* stream =
        static_cast<IsoStreamObject*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(IsoStreamObject), VELNOR_POOL_TAG));
    if (!stream) {
        VELNOR_LOG(1, names.noStream);
        return nullptr;
    }
    RtlZeroMemory(stream, sizeof(*stream));
    stream->DeviceObject = deviceObject;
    stream->PacketSize = request.PacketSize;
    stream->Pipe = pipe;
    stream->PacketsPerTransfer = request.PacketsPerTransfer;
    stream->TransferCount = request.TransferCount;
    stream->PendingTransfers = static_cast<LONG>(request.TransferCount);
    stream->TransferBufferSize = request.PacketSize * request.PacketsPerTransfer * request.TransferCount;
    stream->TransferBuffer =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, stream->TransferBufferSize, VELNOR_POOL_TAG));
    if (!stream->TransferBuffer) {
        VELNOR_LOG(1, names.noBuffer);
        ExFreePool(stream);
        return nullptr;
    }
    RtlZeroMemory(stream->TransferBuffer, stream->TransferBufferSize);
    return stream;
}

BOOLEAN AllocateIsoTransfers(IsoStreamObject* stream, const IsoStreamNames& names) {
    SIZE_T bytes = sizeof(IsoTransferObject) * static_cast<SIZE_T>(stream->TransferCount);
    stream->TransferObjects = static_cast<IsoTransferObject*>(ExAllocatePoolWithTag(NonPagedPool, bytes, VELNOR_POOL_TAG));
    if (!stream->TransferObjects) {
        VELNOR_LOG(1, names.noTransfers);
        return FALSE;
    }
    RtlZeroMemory(stream->TransferObjects, bytes);
    return TRUE;
}

VOID BuildIsoUrb(IsoTransferObject* transfer, PUCHAR buffer) {
    IsoStreamObject* stream = transfer->Stream;
    const ULONG packets = stream->PacketsPerTransfer;
    const ULONG size = IsoUrbSize(packets);
    PURB urb = transfer->Urb;
    RtlZeroMemory(urb, size);
    struct _URB_ISOCH_TRANSFER& iso = urb->UrbIsochronousTransfer;
    iso.Hdr.Length = static_cast<USHORT>(size);
    iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    iso.PipeHandle = stream->Pipe.PipeHandle;
    // IN endpoints give 7 (IN, short transfer OK, ASAP), OUT endpoints 6.
    iso.TransferFlags = (static_cast<ULONG>(stream->Pipe.EndpointAddress) | 0x300) >> 7;
    iso.TransferBufferLength = packets * stream->PacketSize;
    iso.TransferBuffer = buffer;
    iso.NumberOfPackets = packets;
    for (ULONG p = 0; p < packets; ++p) {
        iso.IsoPacket[p].Offset = stream->PacketSize * p;
        iso.IsoPacket[p].Length = stream->PacketSize;
    }
}

NTSTATUS InitIsoTransfer(IsoStreamObject* stream, ULONG t, PUCHAR buffer, const IsoStreamNames& names) {
    IsoTransferObject* transfer = &stream->TransferObjects[t];
    transfer->FirstPacket = stream->PacketsPerTransfer * t;
    transfer->Stream = stream;
    transfer->Urb = static_cast<PURB>(
        ExAllocatePoolWithTag(NonPagedPool, IsoUrbSize(stream->PacketsPerTransfer), VELNOR_POOL_TAG));
    if (!transfer->Urb) {
        VELNOR_LOG(1, names.noUrb);
        return STATUS_UNSUCCESSFUL;
    }
    BuildIsoUrb(transfer, buffer);
    auto* ext = static_cast<DeviceExtension*>(stream->DeviceObject->DeviceExtension);
    transfer->Irp = IoAllocateIrp(static_cast<CCHAR>(ext->StackDeviceObject->StackSize + 1), FALSE);
    if (!transfer->Irp) {
        VELNOR_LOG(1, names.noUrb);
        ExFreePool(transfer->Urb);
        transfer->Urb = nullptr;
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS SubmitIsoTransfer(IsoTransferObject* transfer, PIO_COMPLETION_ROUTINE completion) {
    auto* ext = static_cast<DeviceExtension*>(transfer->Stream->DeviceObject->DeviceExtension);
    const CCHAR stackSize = static_cast<CCHAR>(ext->StackDeviceObject->StackSize + 1);
    IoInitializeIrp(transfer->Irp, IoSizeOfIrp(stackSize), stackSize);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(transfer->Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = transfer->Urb;
    IoSetCompletionRoutine(transfer->Irp, completion, transfer, TRUE, TRUE, TRUE);
    return IofCallDriver(ext->StackDeviceObject, transfer->Irp);
}

BOOLEAN ReleaseIsoTransfer(IsoTransferObject* transfer) {
    if (transfer->Irp) IoFreeIrp(transfer->Irp);
    if (transfer->Urb) ExFreePool(transfer->Urb);
    transfer->Irp = nullptr;
    transfer->Urb = nullptr;
    // Interlocked, so no decrement is lost whatever CPU each completion runs on.
    return InterlockedDecrement(&transfer->Stream->PendingTransfers) == 0;
}

VOID FreeIsoStream(IsoStreamObject* stream) {
    if (stream->TransferBuffer) ExFreePool(stream->TransferBuffer);
    if (stream->TransferObjects) ExFreePool(stream->TransferObjects);
    stream->TransferBuffer = nullptr;
    stream->TransferObjects = nullptr;
    ExFreePool(stream);
}
