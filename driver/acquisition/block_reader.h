// The block reader: turns acquisition packets from DataRingBuffer into the
// channel-major blocks of IOCTL_VELNOR_READ_ISO_BUFFER, with the pace
// detector, the packet checks and the per-block key step.
#pragma once

#include "core/device_extension.h"
#include "velnor/velnor_ioctl.h"

// Largest read unit: ten 34-byte packets (200 samples/s).
#define VELNOR_MAX_READ_UNIT 340

// Settings the control requests write; read by every block.
extern volatile USHORT PacketReadSize;     // bytes per block sample: 34, 68, 136 or 340
extern volatile ULONG ElectrodeReference;  // channel selection bits
extern volatile USHORT PaceThresh;         // halved pulse sum that flags a pace pulse

// PacketReadSize kept within one to ten packets, the size of the readers'
// unit buffers.
ULONG ReadUnitBytes();

// One block request at a time, whatever the handle or thread: the block
// reader's state below is driver-wide, and two readers draining the ring
// together would each get a block with gaps and the other's status. A
// synchronization event, signalled while no block is being read.
extern KEVENT BlockReaderTurn;

// Driver-wide state of the block reader, kept across blocks.
extern USHORT PacketStatus;
extern ULONG HwStat;  // 0x10 pulse in the current packet, 0x08 inside a pulse
extern USHORT PaceCount;
extern USHORT PaceSum;
extern USHORT PrevPaceSum;

// Sequence check. The module numbers its packets 2 apart (16-bit wrap).
// The IN stream arms the check when it stores the first packet after a
// start, with that packet's number; from then on every examined packet must
// carry ExpectedSeqNum + SeqSkip, where SeqSkip accounts for the packets a
// multi-packet read unit drops unexamined. A stream start disarms it.
extern volatile UCHAR SeqCheckArmed;
extern volatile USHORT ExpectedSeqNum;
extern volatile USHORT SeqSkip;
VOID ArmSequenceCheck(USHORT firstSequence);
VOID DisarmSequenceCheck();

// IOCTL_VELNOR_READ_ISO_BUFFER, at passive level; may wait about a second
// for data. Sets Information; the caller completes the request.
NTSTATUS Velnor_ReadBlock(DeviceExtension* deviceExtension, PIRP irp);
