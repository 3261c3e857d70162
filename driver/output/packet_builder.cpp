// The output packet builder of the OUT stream, at dispatch level, one call
// at a time.
#include "output/packet_builder.h"

#include "acquisition/block_reader.h"
#include "output/signal_filter.h"

SHORT LatestSampleVector[12];
UCHAR ReadPacketBuffer[340];
SHORT FilteredLeadStore[VELNOR_LEAD_ROWS][VELNOR_OUT_MAX_PACKETS];
USHORT AOutLevel[VELNOR_AOUT_CHANNELS][VELNOR_OUT_MAX_PACKETS];
volatile UCHAR AOutFollowLead[VELNOR_AOUT_CHANNELS];
volatile UCHAR AOutLead[VELNOR_AOUT_CHANNELS] = {8, 8, 8, 8};
volatile ULONG QrsOutWidth = 10;
volatile ULONG QrsOutDelay = 0;
volatile ULONG QrsOutPolarity = 255;
volatile USHORT ctr_notempty = 0;
USHORT NoPacketCount = 0;
volatile UCHAR FlushPacketRing = 0;

namespace {

constexpr ULONG kBacklogCalls = 10;
// Packet words of the twelve filter channels: LA, LL, V1..V6, H, E, I, M.
const UCHAR ChannelWords[12] = {VELNOR_W_LA, VELNOR_W_LL, VELNOR_W_V1, VELNOR_W_V2, VELNOR_W_V3, VELNOR_W_V4,
                                VELNOR_W_V5, VELNOR_W_V6, VELNOR_W_H,  VELNOR_W_E,  VELNOR_W_I,  VELNOR_W_M};

// Dropped units land here, never in ReadPacketBuffer.
UCHAR ScratchUnit[VELNOR_MAX_READ_UNIT];

BOOLEAN UnitHeld(RingBuffer* ring, ULONG unit) {
    UCHAR held = 0;
    ReadNotemptyFlag(ring, unit, &held);
    return held != 0;
}

VOID DropHeldUnits(RingBuffer* ring, ULONG unit) {
    while (UnitHeld(ring, unit))
        if (!ReadRingBuffer(ring, ScratchUnit, unit)) break;
}

// Takes the sample of the unit in ReadPacketBuffer (or repeats the previous
// one when its sync word is bad) into column `column` of the filter input.
VOID TakeSample(ULONG column, ULONG count) {
    USHORT words[17];
    RtlCopyMemory(words, ReadPacketBuffer, sizeof(words));
    if (words[VELNOR_W_SYNC] == VELNOR_SYNC_WORD)
        for (ULONG c = 0; c < 12; ++c) LatestSampleVector[c] = static_cast<SHORT>(words[ChannelWords[c]]);
    for (ULONG c = 0; c < 12; ++c) FilterInput[c * count + column] = LatestSampleVector[c];
}

USHORT ClampLevel(LONG level) {
    if (level < 0) return 0;
    if (level > static_cast<LONG>(VELNOR_AOUT_MAX)) return VELNOR_AOUT_MAX;
    return static_cast<USHORT>(level);
}

}  // namespace

VOID LoadOutputDefaults() {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> LoadOutputDefaults() - START\n");
    for (ULONG j = 0; j < VELNOR_AOUT_CHANNELS; ++j) {
        WriteShared(AOutLead[j], 8);
        WriteShared(AOutFollowLead[j], 0);
    }
    WriteShared(QrsOutWidth, 10);
    WriteShared(QrsOutDelay, 0);
    WriteShared(QrsOutPolarity, 255);
    ResetOutputState();
    VELNOR_TRACE(tracing, "Velnor> LoadOutputDefaults() - EXIT\n");
}

VOID ResetOutputState() {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> ResetOutputState() - START\n");
    RtlZeroMemory(LatestSampleVector, sizeof(LatestSampleVector));
    RtlZeroMemory(FilteredLeadStore, sizeof(FilteredLeadStore));
    for (auto& output : AOutLevel)
        for (USHORT& level : output) level = VELNOR_AOUT_ZERO;
    VELNOR_TRACE(tracing, "Velnor> ResetOutputState() - EXIT\n");
}

VOID DeriveLeadsAndOutputs(ULONG n) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> DeriveLeadsAndOutputs() - START\n");
    for (ULONG k = 0; k < n; ++k) {
        LONG f[8];
        for (ULONG c = 0; c < 8; ++c) f[c] = FilterOutput[c * n + k];
        LONG wct = (f[0] + f[1]) / 3;
        FilteredLeadStore[0][k] = static_cast<SHORT>(f[0]);
        FilteredLeadStore[1][k] = static_cast<SHORT>(f[1]);
        FilteredLeadStore[2][k] = static_cast<SHORT>(f[7] - wct);
        FilteredLeadStore[3][k] = static_cast<SHORT>(f[6] - wct);
        FilteredLeadStore[4][k] = static_cast<SHORT>(f[5] - wct);
        FilteredLeadStore[5][k] = static_cast<SHORT>(f[4] - wct);
        FilteredLeadStore[6][k] = static_cast<SHORT>(f[3] - wct);
        FilteredLeadStore[7][k] = static_cast<SHORT>(f[2] - wct);
        FilteredLeadStore[12][k] = static_cast<SHORT>(f[1] - f[0]);
        FilteredLeadStore[13][k] = static_cast<SHORT>(-((f[0] + f[1]) / 2));
        FilteredLeadStore[14][k] = static_cast<SHORT>(f[0] - f[1] / 2);
        FilteredLeadStore[15][k] = static_cast<SHORT>(f[1] - f[0] / 2);
    }
    for (ULONG j = 0; j < VELNOR_AOUT_CHANNELS; ++j) {
        ULONG lead = ReadShared(AOutLead[j]);
        // A row outside the store counts as no lead: the output keeps its values.
        if (!ReadShared(AOutFollowLead[j]) || lead >= VELNOR_LEAD_ROWS) continue;
        for (ULONG k = 0; k < n; ++k) AOutLevel[j][k] = ClampLevel(FilteredLeadStore[lead][k] + static_cast<LONG>(VELNOR_AOUT_ZERO));
    }
    VELNOR_TRACE(tracing, "Velnor> DeriveLeadsAndOutputs() - EXIT\n");
}

namespace {

// Gathers 2n samples from the packet ring (n of 1..50), filters them and
// computes the leads and the following outputs.
VOID BuildOutputs(RingBuffer* ring, ULONG n) {
    const ULONG unit = ReadUnitBytes();
    const ULONG count = 2 * n;

    if (ReadShared(FlushPacketRing)) {
        DropHeldUnits(ring, unit);
        WriteShared(FlushPacketRing, 0);
        WriteShared(ctr_notempty, 0);
    }
    NoPacketCount = 0;
    for (ULONG s = 1; s <= count; ++s) {
        if (!UnitHeld(ring, unit) || !ReadRingBuffer(ring, ReadPacketBuffer, unit)) {
            VELNOR_LOG(3, "Velnor> Velnor_ReadPacket() - no packet count %d\n", s);
            ++NoPacketCount;
            WriteShared(ctr_notempty, 0);
        }
        TakeSample(s - 1, count);
    }

    // A backlog that outlives ten calls is cut: this block is replaced by the
    // next 2n units and everything older is dropped, bounding the delay.
    if (UnitHeld(ring, unit)) {
        const USHORT backlogCalls = ReadShared(ctr_notempty);
        if (backlogCalls < kBacklogCalls) {
            WriteShared(ctr_notempty, backlogCalls + 1);
        } else {
            VELNOR_LOG(3, "Velnor> Velnor_ReadPacket() - ctr_notempty >= 10\n");
            for (ULONG s = 1; s <= count; ++s) {
                if (!UnitHeld(ring, unit)) {
                    VELNOR_LOG(3, "Velnor> Velnor_ReadPacket() - second read no packet\n");
                    break;
                }
                VELNOR_LOG(3, "Velnor> Velnor_ReadPacket() - second read\n");
                if (!ReadRingBuffer(ring, ReadPacketBuffer, unit)) {
                    VELNOR_LOG(3, "Velnor> Velnor_ReadPacket() - second read no packet\n");
                    break;
                }
                TakeSample(s - 1, count);
            }
            DropHeldUnits(ring, unit);
            WriteShared(ctr_notempty, 1);
        }
    } else {
        WriteShared(ctr_notempty, 0);
    }

    if (NoPacketCount == count) {
        // Nothing arrived: following outputs hold their last value, and the
        // previous block's trigger and beep marks must not fire again.
        for (ULONG j = 0; j < VELNOR_AOUT_CHANNELS; ++j) {
            if (!ReadShared(AOutFollowLead[j])) continue;
            USHORT last = ClampLevel(AOutLevel[j][n - 1]);
            for (ULONG k = 0; k < n; ++k) AOutLevel[j][k] = last;
        }
        RtlZeroMemory(TriggerBuffer, count);
        RtlZeroMemory(BeepBuffer, count);
    } else {
        velnor_filter_process(static_cast<SHORT>(count));
        DeriveLeadsAndOutputs(n);
    }
}

}  // namespace

NTSTATUS Velnor_ReadPacket(DeviceExtension* ext, ULONG n) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> Velnor_ReadPacket() - START\n");
    NTSTATUS status = STATUS_SUCCESS;
    if (n == 0 || n > VELNOR_OUT_MAX_PACKETS) {
        VELNOR_LOG(1, "Velnor> ERROR: Velnor_ReadPacket() - %lu packets per transfer, 1 to 50 served\n", n);
        status = STATUS_INVALID_PARAMETER;
    } else {
        BuildOutputs(ext->IsoPacketRingBuffer, n);
    }
    VELNOR_TRACE(tracing, "Velnor> Velnor_ReadPacket() - EXIT\n");
    return status;
}

NTSTATUS FormatIsoOutPackets(PUCHAR buffer, ULONG n, ULONG packetSize) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> FormatIsoOutPackets() - START\n");
    NTSTATUS status = STATUS_SUCCESS;
    if (n > VELNOR_OUT_MAX_PACKETS || packetSize < VELNOR_OUT_PACKET_BYTES || !buffer) {
        VELNOR_LOG(1, "Velnor> ERROR: FormatIsoOutPackets() - %lu packets of %lu bytes refused\n", n, packetSize);
        status = STATUS_INVALID_PARAMETER;
    } else {
        const UCHAR width = static_cast<UCHAR>(ReadShared(QrsOutWidth));
        const UCHAR delay = static_cast<UCHAR>(ReadShared(QrsOutDelay));
        const UCHAR polarity = static_cast<UCHAR>(ReadShared(QrsOutPolarity));
        for (ULONG k = 0; k < n; ++k) {
            PUCHAR p = buffer + k * packetSize;
            for (ULONG j = 0; j < VELNOR_AOUT_CHANNELS; ++j) {
                p[2 * j] = static_cast<UCHAR>(AOutLevel[j][k] >> 8);
                p[2 * j + 1] = static_cast<UCHAR>(AOutLevel[j][k]);
            }
            p[8] = TriggerBuffer[2 * k] | TriggerBuffer[2 * k + 1];
            p[9] = BeepBuffer[2 * k] | BeepBuffer[2 * k + 1];
            p[10] = width;
            p[11] = delay;
            p[12] = polarity;
            VELNOR_LOG(3,
                       "Velnor> Velnor_ReadPacket: ISO OUT:  AN1   AN2   AN3   AN4   TRIG  BEEP  WIDTH DELAY POLARITY\n");
            VELNOR_LOG(3, "Velnor> Velnor_ReadPacket: ISO OUT: %4x  %4x  %4x  %4x  %2x    %2x     %2x    %2x    %2x\n",
                       AOutLevel[0][k], AOutLevel[1][k], AOutLevel[2][k], AOutLevel[3][k], p[8], p[9], width, delay,
                       polarity);
        }
    }
    VELNOR_TRACE(tracing, "Velnor> FormatIsoOutPackets() - EXIT (0x%X)\n", status);
    return status;
}
