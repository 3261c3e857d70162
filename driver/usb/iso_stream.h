// What the two isochronous streams share: the stream and transfer records,
// the start-request checks, the transfer set-up, the URB of one transfer and
// its (re)submission, and the release of a finished transfer.
#pragma once

#include "core/device_extension.h"
#include "velnor/velnor_ioctl.h"

struct IsoTransferObject;

struct IsoStreamObject {
    PDEVICE_OBJECT DeviceObject;
    ULONG PacketSize;
    USBD_PIPE_INFORMATION Pipe;   // the stream's own copy: the pipe table may be replaced meanwhile
    PUCHAR TransferBuffer;        // PacketSize x PacketsPerTransfer x TransferCount bytes
    ULONG TransferBufferSize;
    ULONG PacketsPerTransfer;
    ULONG TransferCount;
    volatile LONG PendingTransfers;  // interlocked: transfers not yet released
    RingBuffer* DescriptorRing;      // IN only
    IsoTransferObject* TransferObjects;
    volatile LONG ArmSequenceCheck;  // IN only: the first packet stored arms the block reader's check
};

struct IsoTransferObject {
    ULONG FirstPacket;  // PacketsPerTransfer x the transfer's index
    IsoStreamObject* Stream;
    PURB Urb;
    PIRP Irp;
    ULONG UnsuccessfulInARow;  // OUT: completions with STATUS_UNSUCCESSFUL since the last success
};

// The log lines of the start and set-up, which name the stream's routines.
struct IsoStreamNames {
    const char* noInterface;
    const char* badPipeNum;
    const char* pipeNum;
    const char* badPipeType;
    const char* pipeType;
    const char* endpoint;
    const char* badPipeHandle;
    const char* noStream;
    const char* noBuffer;
    const char* noTransfers;
    const char* noUrb;
    const char* badRequest;
    const char* tooManyPackets;  // PacketsPerTransfer above what one URB may carry
    const char* packetTooLarge;  // PacketSize above the pipe's MaximumPacketSize
};

// The pipe a stream runs on. One stream per direction: a start claims its
// direction (interlocked) before it allocates anything, and the claim goes
// back when the stream's last transfer has ended and released everything,
// or when the start fails. Until then no other stream may take the pipe,
// the descriptor ring or the slices of IsoOutBuffer.
enum IsoStreamDirection { IsoStreamIn = 0, IsoStreamOut = 1 };
BOOLEAN ClaimIsoStream(IsoStreamDirection direction);
VOID ReleaseIsoStream(IsoStreamDirection direction);
BOOLEAN IsoStreamClaimed(IsoStreamDirection direction);
// The pipe handle of the stream that holds a direction, recorded by its
// start before the first submission and cleared when the claim goes back.
VOID RecordIsoStreamPipe(IsoStreamDirection direction, USBD_PIPE_HANDLE pipeHandle);
// Aborts the pipe of every stream still holding its direction, which makes
// the USB stack cancel every transfer queued on it, a hung one included.
// Called with StopIsoStream set; a completion that read the flag just
// before it was set may still resubmit once, which AwaitIsoStreamsStopped
// catches.
VOID AbortIsoStreamPipes(PDEVICE_OBJECT deviceObject);
// With StopIsoStream set every transfer of both streams ends at its next
// completion; this waits for that, so that the pipes are free for the next
// start or for deconfiguring. A transfer the USB stack never completes (a
// hung one), or one an abort that completed first left behind, would hold
// its stream for good: after 250 ms the pipes still held are aborted
// (logged at level 1 as "Velnor> ERROR: <caller> - transfers still pending,
// aborting the stream pipes"), and the wait gives up a second later. FALSE
// if a stream still holds its pipe then. With `yieldToStart`, a start that
// has cleared the flag again ends the wait (TRUE: the stream it set up is
// not this stop's to end); without it (the device is being deconfigured, so
// no stream may go on) the flag is set again and the wait goes on.
BOOLEAN AwaitIsoStreamsStopped(PDEVICE_OBJECT deviceObject, PCSTR caller, BOOLEAN yieldToStart);

// The bound of the stream waits, taken from the tick count: on Windows a
// KeDelayExecutionThread sleep lasts at least until the next clock tick
// (15.6 ms by default), so a count of sleeps says little about the time.
struct WaitBound {
    ULONGLONG startTick;
    ULONGLONG limit100ns;
};
constexpr ULONGLONG kWaitLimit100ns = 10000000;  // one second
constexpr LONGLONG kEndPollInterval = -10000;     // 1 ms, relative: polling for streams to end
VOID StartWaitBound(WaitBound* bound, ULONGLONG limit100ns = kWaitLimit100ns);
BOOLEAN WaitBoundPassed(const WaitBound* bound);
VOID DelayFor(LONGLONG relative100ns);  // relative, in 100 ns units (negative)

// Reads and checks the start request and the pipe it names. On success
// `request` and `pipe` are filled in.
NTSTATUS CheckIsoStreamRequest(DeviceExtension* ext, PIRP irp, const IsoStreamNames& names,
                               IsoStreamRequest* request, USBD_PIPE_INFORMATION* pipe);

// Allocates the stream record and its zeroed transfer buffer (null and a
// level-1 line on failure, with nothing left allocated).
IsoStreamObject* AllocateIsoStream(PDEVICE_OBJECT deviceObject, const IsoStreamRequest& request,
                                   const USBD_PIPE_INFORMATION& pipe, const IsoStreamNames& names);

// Allocates the transfer records (a level-1 line on failure).
BOOLEAN AllocateIsoTransfers(IsoStreamObject* stream, const IsoStreamNames& names);

// Builds transfer t's URB and IRP over `buffer` (the transfer's first slot).
NTSTATUS InitIsoTransfer(IsoStreamObject* stream, ULONG t, PUCHAR buffer, const IsoStreamNames& names);

// Rebuilds the URB of a transfer over `buffer` as at set-up.
VOID BuildIsoUrb(IsoTransferObject* transfer, PUCHAR buffer);

// (Re)initialises the IRP, sets its next stack location and completion
// routine, and passes it to the USB stack; returns the stack's status.
NTSTATUS SubmitIsoTransfer(IsoTransferObject* transfer, PIO_COMPLETION_ROUTINE completion);

// Frees a finished transfer's IRP and URB and counts it off; TRUE for the
// stream's last transfer, whose caller then releases the stream.
BOOLEAN ReleaseIsoTransfer(IsoTransferObject* transfer);

// Frees the stream record with its transfer buffer and transfer records.
VOID FreeIsoStream(IsoStreamObject* stream);

// The IN start comes in two steps, so that the start request resets the
// acquisition state only once nothing can refuse the stream any more, and
// never under another stream. Velnor_StartIsoStreamIn checks the request,
// claims the IN pipe and builds every transfer; a refusal or failure leaves
// nothing changed and nothing claimed. SubmitIsoStreamIn then publishes the
// descriptor ring, clears StopIsoStream and submits the transfers.
NTSTATUS Velnor_StartIsoStreamIn(PDEVICE_OBJECT deviceObject, PIRP irp, IsoStreamObject** stream);
VOID SubmitIsoStreamIn(IsoStreamObject* stream);
NTSTATUS Velnor_StartIsoStreamOut(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS InitTransferObjectIn(IsoStreamObject* stream, ULONG t);
NTSTATUS InitTransferObjectOut(IsoStreamObject* stream, ULONG t);
IO_COMPLETION_ROUTINE IsoStreamTransferCompleteIn;
IO_COMPLETION_ROUTINE IsoStreamTransferCompleteOut;

// Set (interlocked) while an OUT completion runs the output builder, whose
// state is driver-wide and unlocked; a completion that finds it set sends
// its slice again without running the builder.
extern volatile LONG OutBuilderBusy;
