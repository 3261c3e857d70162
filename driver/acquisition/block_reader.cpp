// The block reader of IOCTL_VELNOR_READ_ISO_BUFFER.
#include "acquisition/block_reader.h"

#include "acquisition/key_events.h"
#include "velnor/velnor_ioctl.h"

volatile USHORT PacketReadSize = VELNOR_PACKET_BYTES;
volatile ULONG ElectrodeReference = 0xFF;
volatile USHORT PaceThresh = 4;

KEVENT BlockReaderTurn;

USHORT PacketStatus = 0;
ULONG HwStat = 0;
USHORT PaceCount = 0;
USHORT PaceSum = 0;
USHORT PrevPaceSum = 0;

volatile UCHAR SeqCheckArmed = 0;
volatile USHORT ExpectedSeqNum = 0;
volatile USHORT SeqSkip = 0;

namespace {

constexpr ULONG kMaxChannels = 12;
constexpr USHORT kSequenceStep = 2;     // the module's numbering per packet
constexpr ULONG kChecksumLimit = 5;     // failures per block that mark the block
constexpr ULONG kSequenceLimit = 5;
constexpr ULONG kSyncLimit = 90;        // sync errors per block that mean no module
constexpr ULONG kPrintPerLine = 20;
constexpr ULONG kPrintLines = 10;
constexpr ULONG kHwPulseNow = 0x10;
constexpr ULONG kHwInPulse = 0x08;

// Electrode words in block row order, with their selection bits.
struct ChannelSource {
    ULONG bit;
    ULONG word;
};
const ChannelSource ChannelSources[kMaxChannels] = {
    {VELNOR_REF_LA, VELNOR_W_LA}, {VELNOR_REF_LL, VELNOR_W_LL}, {VELNOR_REF_V1, VELNOR_W_V1},
    {VELNOR_REF_V2, VELNOR_W_V2}, {VELNOR_REF_V3, VELNOR_W_V3}, {VELNOR_REF_V4, VELNOR_W_V4},
    {VELNOR_REF_V5, VELNOR_W_V5}, {VELNOR_REF_V6, VELNOR_W_V6}, {VELNOR_REF_H, VELNOR_W_H},
    {VELNOR_REF_E, VELNOR_W_E},   {VELNOR_REF_I, VELNOR_W_I},   {VELNOR_REF_M, VELNOR_W_M},
};

const char* const RowLabels[kMaxChannels + 1] = {"L : ", "F : ", "C1: ", "C2: ", "C3: ", "C4: ", "C5: ",
                                                 "C6: ", "A1: ", "A2: ", "A3: ", "A4: ", "PAC"};

ULONG SelectedChannels(ULONG reference) {
    ULONG count = 0;
    for (const ChannelSource& source : ChannelSources) count += (reference & source.bit) ? 1 : 0;
    return count;
}

// Fills `vector` with the selected electrode words of one packet.
VOID BuildChannelVector(const USHORT* packet, ULONG reference, USHORT* vector) {
    ULONG n = 0;
    for (const ChannelSource& source : ChannelSources)
        if (reference & source.bit) vector[n++] = packet[source.word];
}

// The timeout check after each poll and after each sample. A tick count
// below the start means it wrapped; the start moves there.
BOOLEAN TimedOut(ULONG* start, ULONG limit, LONG level) {
    LARGE_INTEGER now;
    KeQueryTickCount(&now);
    ULONG ticks = now.LowPart;
    if (ticks < *start) {
        *start = ticks;
        return FALSE;
    }
    ULONG elapsed = ticks - *start;
    if (elapsed > limit) {
        VELNOR_LOG(level, "Velnor> Velnor_ReadBlock: diffTime %x\n", elapsed);
        return TRUE;
    }
    return FALSE;
}

VOID SleepOneMillisecond() {
    LARGE_INTEGER interval;
    interval.QuadPart = -10000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

VOID RunPaceDetector(USHORT paceValue) {
    if (!(HwStat & kHwInPulse)) {
        if (HwStat & kHwPulseNow) {
            HwStat |= kHwInPulse;
            PaceSum = paceValue;
            PaceCount = 1;
        }
        return;
    }
    if (HwStat & kHwPulseNow) {
        PaceCount = static_cast<USHORT>(PaceCount + 1);
        PaceSum = static_cast<USHORT>(PaceSum + paceValue);
        VELNOR_LOG(5, "Velnor> Velnor_ReadBlock() PaceCount %x\n", PaceCount);
        VELNOR_LOG(5, "Velnor> Velnor_ReadBlock() PaceSum %x\n", PaceSum);
        return;
    }
    // The pulse ended with the previous packet.
    PrevPaceSum = static_cast<USHORT>(PaceSum >> 1);
    VELNOR_LOG(5, "Velnor> Velnor_ReadBlock() PrevPaceSum %x\n", PrevPaceSum);
    const USHORT threshold = ReadShared(PaceThresh);
    VELNOR_LOG(5, "Velnor> Velnor_ReadBlock() PaceThrshold %x\n", threshold);
    if (PrevPaceSum >= threshold) {
        PacketStatus |= VELNOR_STATUS_PACE;
        VELNOR_LOG(5, "Velnor> Velnor_ReadBlock() Set pace flag in packet status %x\n", PacketStatus);
    }
    HwStat &= ~kHwInPulse;
    VELNOR_LOG(5, "Velnor> Velnor_ReadBlock() PaceCount %x\n", PaceCount);
    VELNOR_LOG(5, "Velnor> Velnor_ReadBlock() HwStat %x\n", HwStat);
}

// Rows of 20 samples, at most ten lines a row; a row shorter than 20
// samples, or the tail of one that is not a multiple of 20, is not printed,
// so the print never reads past the reply.
VOID PrintBlock(const USHORT* reply, ULONG rows, ULONG nSamples) {
    if (ReadShared(DebugLevel) < 4) return;
    ULONG lines = nSamples / kPrintPerLine;
    if (lines > kPrintLines) lines = kPrintLines;
    for (ULONG r = 0; r < rows; ++r) {
        for (ULONG line = 0; line < lines; ++line) {
            const USHORT* v = reply + r * nSamples + line * kPrintPerLine;
            DbgPrint("Velnor> Velnor_ReadBlock: 100ms packet %s %4x %4x %4x %4x %4x %4x %4x %4x %4x %4x %4x %4x %4x "
                     "%4x %4x %4x %4x %4x %4x %4x\n",
                     RowLabels[r], v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9], v[10], v[11], v[12],
                     v[13], v[14], v[15], v[16], v[17], v[18], v[19]);
        }
    }
}

VOID LogPacket(const USHORT* p) {
    if (ReadShared(DebugLevel) < 3) return;
    DbgPrint("Velnor> Velnor_ReadBlock: ISO IN packet: SYNC LA   LL   V6   V5   STA1 V4   V3   V2   V1   STA2 H    E    "
             "I    M    SEQS CHKS\n");
    DbgPrint("Velnor> Velnor_ReadBlock: ISO IN packet: %4x %4x %4x %4x %4x %4x %4x %4x %4x %4x %4x %4x %4x %4x %4x %4x "
             "%4x\n",
             p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8], p[9], p[10], p[11], p[12], p[13], p[14], p[15],
             p[16]);
}

// A per-block count that reached its limit marks the block.
VOID MarkIfReached(ULONG count, ULONG limit, USHORT status, USHORT code, const char* line, USHORT* errorCode) {
    if (count < limit) return;
    PacketStatus |= status;
    *errorCode |= code;
    VELNOR_LOG(2, line);
}

// A request the reply could not honour is refused before any packet is
// taken from the ring, so no data is lost to it.
NTSTATUS ValidateRequest(PIRP irp, ULONG reference, SHORT* nSamples, SHORT* nChannels) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    auto* words = static_cast<const USHORT*>(irp->AssociatedIrp.SystemBuffer);
    if (!words || inLength < 3 * sizeof(USHORT)) {
        VELNOR_LOG(1, "Velnor> ERROR: Velnor_ReadBlock() - request of %lu bytes, 6 needed\n", inLength);
        return STATUS_INVALID_PARAMETER;
    }
    *nSamples = static_cast<SHORT>(words[1]);
    *nChannels = static_cast<SHORT>(words[2]);
    ULONG selected = SelectedChannels(reference);
    if (*nSamples < 0 || *nChannels < 0 || static_cast<ULONG>(*nChannels) > selected) {
        VELNOR_LOG(1, "Velnor> ERROR: Velnor_ReadBlock() - nSamples %d, nChannels %d of %lu selected\n", *nSamples,
                   *nChannels, selected);
        return STATUS_INVALID_PARAMETER;
    }
    ULONG replyLength = 2 * (static_cast<ULONG>(*nChannels) + 1) * static_cast<ULONG>(*nSamples) + 4;
    if (outLength < replyLength) {
        VELNOR_LOG(1, "Velnor> ERROR: Velnor_ReadBlock() - output buffer of %lu bytes, reply needs %lu\n", outLength,
                   replyLength);
        return STATUS_BUFFER_TOO_SMALL;
    }
    return STATUS_SUCCESS;
}

}  // namespace

ULONG ReadUnitBytes() {
    ULONG unit = ReadShared(PacketReadSize);
    if (unit > VELNOR_MAX_READ_UNIT) unit = VELNOR_MAX_READ_UNIT;
    if (unit < VELNOR_PACKET_BYTES) unit = VELNOR_PACKET_BYTES;
    return unit;
}

VOID ArmSequenceCheck(USHORT firstSequence) {
    WriteShared(ExpectedSeqNum, firstSequence);
    WriteShared(SeqSkip, 0);
    WriteShared(SeqCheckArmed, 1);
}

VOID DisarmSequenceCheck() {
    WriteShared(SeqCheckArmed, 0);
    WriteShared(ExpectedSeqNum, 0);
    WriteShared(SeqSkip, 0);
}

NTSTATUS Velnor_ReadBlock(DeviceExtension* ext, PIRP irp) {
    VELNOR_LOG(5, "Velnor> Velnor_ReadBlock() - START\n");
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    irp->IoStatus.Information = 0;
    ULONG reference = ReadShared(ElectrodeReference);  // one selection for the whole block
    SHORT nSamples = 0;
    SHORT nChannels = 0;
    NTSTATUS status = ValidateRequest(irp, reference, &nSamples, &nChannels);
    if (!NT_SUCCESS(status)) {
        VELNOR_LOG(5, "Velnor> Velnor_ReadBlock() - EXIT (0x%X)\n", status);
        return status;
    }
    auto* reply = static_cast<PUSHORT>(irp->AssociatedIrp.SystemBuffer);
    const USHORT nPort = reply[0];
    const ULONG rows = static_cast<ULONG>(nChannels);
    const ULONG samples = nSamples > 0 ? static_cast<ULONG>(nSamples) : 0;
    // The reply region is cleared first: the system buffer beyond the request
    // holds whatever the pool held, and a sample lost to a bad SYNC word
    // leaves its slots unwritten while the reply length still counts them.
    RtlZeroMemory(reply, ((rows + 1) * samples + 2) * sizeof(USHORT));

    VELNOR_LOG(5, "Velnor> Velnor_ReadBlock: InBufferSize  = %ld\n", stack->Parameters.DeviceIoControl.InputBufferLength);
    VELNOR_LOG(5, "Velnor> Velnor_ReadBlock: OutBufferSize = %ld\n",
               stack->Parameters.DeviceIoControl.OutputBufferLength);
    ULONG increment = KeQueryTimeIncrement();
    ULONG tickMs = increment / 10000;
    VELNOR_LOG(5, "Velnor> Velnor_ReadBlock: temptick %x\n", tickMs);
    // About one second of ticks; a tick shorter than 1 ms counts the second
    // in ticks directly instead of dividing by zero.
    ULONG limit = tickMs ? 1000 / tickMs : 10000000 / (increment ? increment : 1);
    VELNOR_LOG(3, "Velnor> Velnor_ReadBlock: nPort     = %d\n", nPort);
    VELNOR_LOG(3, "Velnor> Velnor_ReadBlock: nSamples  = %d\n", nSamples);
    VELNOR_LOG(3, "Velnor> Velnor_ReadBlock: nChannels = %d\n", nChannels);

    PacketStatus = 0;
    USHORT errorCode = 0;
    ULONG syncErrors = 0;
    ULONG checksumFailures = 0;
    ULONG sequenceErrors = 0;
    ULONG keyBits = 0;
    BOOLEAN timedOut = FALSE;

    if (ReadFullFlag(ext->DataRingBuffer)) {
        PacketStatus = VELNOR_STATUS_FIFO_FULL;
        errorCode = ERR_SSI_FIFO_FULL;
        VELNOR_LOG(1, "Velnor> Velnor_ReadBlock() - FIFO full\n");
    } else {
        USHORT unit[VELNOR_MAX_READ_UNIT / sizeof(USHORT)];
        LARGE_INTEGER startCount;
        KeQueryTickCount(&startCount);
        ULONG start = startCount.LowPart;
        for (ULONG s = 0; s < samples && !timedOut; ++s) {
            // Read once per sample, so a concurrent change of the sampling
            // frequency cannot split a unit.
            const ULONG unitBytes = ReadUnitBytes();
            BOOLEAN haveUnit = FALSE;
            while (!haveUnit && !timedOut) {
                UCHAR notEmpty = 0;
                ReadNotemptyFlag(ext->DataRingBuffer, unitBytes, &notEmpty);
                if (notEmpty && ReadRingBuffer(ext->DataRingBuffer, reinterpret_cast<PUCHAR>(unit), unitBytes)) {
                    haveUnit = TRUE;
                    LogPacket(unit);
                } else {
                    SleepOneMillisecond();
                }
                if (TimedOut(&start, limit, 3)) timedOut = TRUE;
            }

            if (haveUnit && unit[VELNOR_W_SYNC] != VELNOR_SYNC_WORD) {
                // Dropped unexamined; its slots keep the zeros of the cleared reply.
                PacketStatus |= VELNOR_STATUS_SYNC_ERROR;
                ++syncErrors;
                errorCode |= ERR_SSI_NO_ACQMOD;
                VELNOR_LOG(2, "Velnor> Velnor_ReadBlock: Synchronisation error\n");
            } else if (haveUnit) {
                USHORT vector[kMaxChannels];
                BuildChannelVector(unit, reference, vector);
                USHORT sta1 = unit[VELNOR_W_STA1];
                USHORT sta2 = unit[VELNOR_W_STA2];
                VELNOR_LOG(5, "Velnor> Velnor_ReadBlock: statusWord0 %x\n", sta1);
                VELNOR_LOG(5, "Velnor> Velnor_ReadBlock: statusWord1 %x\n", sta2);
                HwStat &= ~kHwPulseNow;
                if (sta1 & VELNOR_STA1_PACE) {
                    HwStat |= kHwPulseNow;
                    VELNOR_LOG(5, "Velnor> Velnor_ReadBlock: HwStat %x\n", HwStat);
                }
                PacketStatus &= ~VELNOR_STATUS_LEAD_FAIL;
                if (sta1 & VELNOR_STA1_LEAD_FAIL) {
                    PacketStatus |= VELNOR_STATUS_LEAD_FAIL;
                    VELNOR_LOG(5, "Velnor> Velnor_ReadBlock() - Set lead fail flag in packet status\n");
                }
                PacketStatus &= ~VELNOR_STATUS_PACE;
                USHORT paceValue = sta2 & VELNOR_STA2_PACE_VALUE_MASK;
                VELNOR_LOG(5, "Velnor> Velnor_ReadBlock() PacketCount %x\n", paceValue);
                RunPaceDetector(paceValue);

                USHORT sequence = unit[VELNOR_W_SEQU];
                if (ReadShared(SeqCheckArmed) &&
                    sequence != static_cast<USHORT>(ReadShared(ExpectedSeqNum) + ReadShared(SeqSkip))) {
                    VELNOR_LOG(2, "Velnor> Velnor_ReadBlock: Sequence Number fail\n");
                    ++sequenceErrors;
                }
                WriteShared(ExpectedSeqNum, sequence + kSequenceStep);
                WriteShared(SeqSkip, kSequenceStep * (unitBytes / VELNOR_PACKET_BYTES - 1));

                USHORT sum = 0;
                for (ULONG w = VELNOR_W_LA; w <= VELNOR_W_CHKS; ++w) sum = static_cast<USHORT>(sum + unit[w]);
                if (sum != 0) {
                    VELNOR_LOG(2, "Velnor> Velnor_ReadBlock: checkSum fail\n");
                    ++checksumFailures;
                }

                for (ULONG r = 0; r < rows; ++r) reply[r * samples + s] = vector[r];
                USHORT pace = (PacketStatus & VELNOR_STATUS_PACE) ? 1 : 0;
                reply[rows * samples + s] = pace;
                VELNOR_LOG(5, "Velnor> Velnor_ReadBlock: packetStatus2 %x\n", PacketStatus);
                keyBits |= sta1 & VELNOR_STA1_KEYS;
            }

            if (TimedOut(&start, limit, 2)) timedOut = TRUE;
            if (timedOut) {
                PacketStatus |= VELNOR_STATUS_NO_DATA;
                errorCode |= ERR_SSI_TIMEOUT;
                VELNOR_LOG(2, "Velnor> Velnor_ReadBlock: timeout\n");
            }
        }

        MarkIfReached(checksumFailures, kChecksumLimit, VELNOR_STATUS_CHECKSUM_ERRORS, ERR_SSI_CHECKSUM,
                      "Velnor> Velnor_ReadBlock: ERR_SSI_CHECKSUM\n", &errorCode);
        MarkIfReached(sequenceErrors, kSequenceLimit, VELNOR_STATUS_SEQUENCE_ERRORS, ERR_SSI_SEQNUM,
                      "Velnor> Velnor_ReadBlock: ERR_SSI_SEQNUM\n", &errorCode);
        MarkIfReached(syncErrors, kSyncLimit, VELNOR_STATUS_NO_DATA, ERR_SSI_NO_ACQMOD,
                      "Velnor> Velnor_ReadBlock: ERR_SSI_NO_ACQMOD\n", &errorCode);

        if (!ReadShared(AcqModuleConnected))
            VELNOR_LOG(1, "Velnor> Velnor_ReadBlock() - AcqMod not connected\n");
        else
            UpdateAcqKeys(ext, keyBits, timedOut);
    }

    if (PacketStatus & (VELNOR_STATUS_NO_DATA | VELNOR_STATUS_FIFO_FULL)) {
        reply[0] = errorCode;
        reply[1] = PacketStatus;
        irp->IoStatus.Information = 2 * sizeof(USHORT);
        VELNOR_LOG(3, "Velnor> Velnor_ReadBlock: Error Code %x\n", errorCode);
        VELNOR_LOG(3, "Velnor> Velnor_ReadBlock: Packet Status %x\n", PacketStatus);
    } else {
        ULONG statusWord = (rows + 1) * samples;
        reply[statusWord] = 0;
        reply[statusWord + 1] = PacketStatus;
        irp->IoStatus.Information = (statusWord + 2) * sizeof(USHORT);
        PrintBlock(reply, rows + 1, samples);
        VELNOR_LOG(3, "Velnor> Velnor_ReadBlock: Electrode Status %x\n", 0);
        VELNOR_LOG(3, "Velnor> Velnor_ReadBlock: Packet Status %x\n", PacketStatus);
    }
    VELNOR_LOG(5, "Velnor> Velnor_ReadBlock() - EXIT (0x%X)\n", STATUS_SUCCESS);
    return STATUS_SUCCESS;
}
