// The block reader through the request path: layout, read units, channel selection, packet
// checks and their thresholds, pace, lead fail, timeouts, FIFO full and request validation.
#include "support/velnor_harness.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

using velnor_test::BlockReply;
using velnor_test::MakePacket;
using velnor_test::Packet;

class BlockReaderTest : public velnor_test::DeviceFixture {
protected:
    static USHORT Word(const BlockReply& r, ULONG row, ULONG nSamples, ULONG s) { return r.words[row * nSamples + s]; }
    static USHORT Status(const BlockReply& r) { return r.words[r.length / 2 - 1]; }
    // Packets whose STA1/STA2 follow `pulse` (pace bit and value 0x10 while true).
    static std::vector<Packet> Paced(std::initializer_list<bool> pulse, USHORT value = 0x10) {
        std::vector<Packet> v;
        for (bool p : pulse) v.push_back(MakePacket(0, 0x100, p ? VELNOR_STA1_PACE : 0, p ? value : 0));
        return v;
    }
};

// Stream() packet i carries electrode words from 0x1000 + 16i upwards: LA +0,
// LL +1, V6 +2, V5 +3, V4 +4, V3 +5, V2 +6, V1 +7, H +8 ...
TEST_F(BlockReaderTest, DefaultBlockHasSevenChannelRowsThePaceRowAndTheStatusWords) {
    Store(Stream(200));
    BlockReply r = ReadBlock(200, 7);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    ASSERT_EQ(r.length, 3204u);
    const int offsets[7] = {0, 1, 7, 6, 5, 4, 3};  // LA, LL, V1..V5
    for (ULONG s = 0; s < 200; ++s) {
        for (ULONG row = 0; row < 7; ++row) ASSERT_EQ(Word(r, row, 200, s), 0x1000 + 16 * s + offsets[row]);
        ASSERT_EQ(Word(r, 7, 200, s), 0) << "pace row";
    }
    EXPECT_EQ(r.words[1600], 0) << "electrode status";
    EXPECT_EQ(r.words[1601], 0) << "packet status of a clean block";

    // nSamples 0 reads nothing and replies with the two status words.
    Store(Stream(3));
    r = ReadBlock(0, 7, 4);
    EXPECT_EQ(r.length, 4u);
    EXPECT_EQ(r.words[0] | r.words[1], 0);
    EXPECT_EQ(ext_->DataRingBuffer->currentSize, 3u * 34);
}

// At lower rates only each unit's first packet is examined; the module's numbering (2 per packet)
// raises no sequence error at any rate, across the 16-bit wrap.
TEST_F(BlockReaderTest, ReadUnitsOfEachSamplingFrequencySkipTheirOtherPacketsUnchecked) {
    for (USHORT unit : {34, 68, 136, 340}) {
        SCOPED_TRACE(unit);
        hk::LogClear();
        PacketReadSize = unit;
        const ULONG k = unit / 34u;
        ArmSequenceCheck(0xFFF0);
        std::vector<Packet> packets = Stream(2 * 40 * k, 0xFFF0);
        for (size_t i = 0; i < packets.size(); ++i)
            if (i % k) packets[i][VELNOR_W_SYNC] = 0xFFFF, packets[i][VELNOR_W_LA] ^= 0x55;  // bad SYNC and checksum
        Store(packets);
        for (ULONG block = 0; block < 2; ++block) {
            BlockReply r = ReadBlock(40, 1);
            for (ULONG s = 0; s < 40; ++s) ASSERT_EQ(Word(r, 0, 40, s), 0x1000 + 16 * ((block * 40 + s) * k));
            EXPECT_EQ(Status(r), 0);
        }
        EXPECT_EQ(hk::LogCount("Velnor> Velnor_ReadBlock: Sequence Number fail"), 0u);
    }
}

TEST_F(BlockReaderTest, SequenceCheckCountsRealGapsOnlyWhileArmed) {
    auto withGaps = [&](int gaps, USHORT unit) {
        hk::LogClear();
        PacketReadSize = unit;
        std::vector<Packet> s = Stream(60 * (unit / 34), 100);
        for (int g = 0; g < gaps; ++g) s.erase(s.begin() + 5 + 10 * g);
        s.resize(50 * (unit / 34));
        Store(s);
        return Status(ReadBlock(50, 1));
    };
    EXPECT_EQ(withGaps(5, 34), 0) << "disarmed until a stream start arms it";
    EXPECT_EQ(hk::LogCount("Velnor> Velnor_ReadBlock: Sequence Number fail"), 0u);
    struct Case { int gaps; USHORT unit, status; };
    for (Case c : {Case{1, 34, 0}, Case{1, 68, 0}, Case{4, 34, 0}, Case{5, 34, VELNOR_STATUS_SEQUENCE_ERRORS}}) {
        ResetRingBuffer(ext_->DataRingBuffer);
        ArmSequenceCheck(100);
        EXPECT_EQ(withGaps(c.gaps, c.unit), c.status) << c.gaps << " gaps, unit " << c.unit;
        EXPECT_EQ(hk::LogCount("Velnor> Velnor_ReadBlock: Sequence Number fail"), static_cast<size_t>(c.gaps))
            << "one mismatch per lost packet";
    }
}

TEST_F(BlockReaderTest, ElectrodeReferenceSelectsWordsInTheFixedOrder) {
    struct Case { ULONG reference; std::vector<int> words; };
    const Case cases[] = {
        {VELNOR_REF_LA | VELNOR_REF_H | VELNOR_REF_E | VELNOR_REF_I | VELNOR_REF_M,
         {VELNOR_W_LA, VELNOR_W_H, VELNOR_W_E, VELNOR_W_I, VELNOR_W_M}},
        {0x3C1FE,
         {VELNOR_W_LA, VELNOR_W_LL, VELNOR_W_V1, VELNOR_W_V2, VELNOR_W_V3, VELNOR_W_V4, VELNOR_W_V5, VELNOR_W_V6,
          VELNOR_W_H, VELNOR_W_E, VELNOR_W_I, VELNOR_W_M}},
        {VELNOR_REF_V6 | VELNOR_REF_LL | 0x1 | 0x3E00, {VELNOR_W_LL, VELNOR_W_V6}},  // bits 0, 9..13 select nothing
    };
    for (const Case& c : cases) {
        ElectrodeReference = c.reference;
        Packet p = MakePacket(0, 0x2000);
        const SHORT n = static_cast<SHORT>(c.words.size());
        Store({p, p});
        // All selected channels, then fewer rows: the first entries, the pace row after them.
        BlockReply all = ReadBlock(1, n), fewer = ReadBlock(1, 1);
        for (size_t i = 0; i < c.words.size(); ++i) EXPECT_EQ(all.words[i], p[c.words[i]]) << std::hex << c.reference;
        EXPECT_EQ(fewer.words[0], p[c.words[0]]);
        EXPECT_EQ(fewer.words[1], 0);
        Store(p);
        EXPECT_EQ(ReadBlock(1, static_cast<SHORT>(n + 1)).status, STATUS_INVALID_PARAMETER) << "more than selected";
        ResetRingBuffer(ext_->DataRingBuffer);
    }
}

// A bad-SYNC sample's slots are not written but counted in the length: they read 0, never stale
// pool (with only the 6 request bytes as input the rest of the system buffer is stale).
TEST_F(BlockReaderTest, BadSyncUnitsLeaveTheirSlotsAndMakeAnErrorBlockFromNinety) {
    for (ULONG in : {0u, 6u}) {
        SCOPED_TRACE(in);
        hk::LogClear();
        std::vector<Packet> s = Stream(10);
        s[4][VELNOR_W_SYNC] = 0xFFFF;
        Store(s);
        BlockReply r = ReadBlock(10, 2, 0, 0xA5A5, in);
        ASSERT_EQ(r.length, VelnorBlockReplyBytes(10, 2));
        for (ULONG row = 0; row < 3; ++row) EXPECT_EQ(Word(r, row, 10, 4), 0) << "slots unwritten, pace too";
        EXPECT_EQ(Word(r, 0, 10, 5), 0x1000 + 16 * 5) << "the next sample takes the next unit";
        EXPECT_EQ(Status(r), VELNOR_STATUS_SYNC_ERROR);
        EXPECT_EQ(r.words[r.length / 2], 0xA5A5) << "nothing beyond the reply length comes back";
        EXPECT_EQ(hk::LogCount("Velnor> Velnor_ReadBlock: Synchronisation error"), 1u);
    }

    for (int bad : {89, 90}) {
        std::vector<Packet> v = Stream(100);
        for (int i = 0; i < bad; ++i) v[i][VELNOR_W_SYNC] = 0x0000;
        Store(v);
        BlockReply r = ReadBlock(100, 1);
        ASSERT_EQ(r.length, bad == 89 ? VelnorBlockReplyBytes(100, 1) : 4u) << bad;
        EXPECT_EQ(r.words[0], bad == 90 ? ERR_SSI_NO_ACQMOD : 0) << "error word, or an unwritten slot";
        EXPECT_EQ(Status(r), VELNOR_STATUS_SYNC_ERROR | (bad == 90 ? VELNOR_STATUS_NO_DATA : 0)) << bad;
    }
}

TEST_F(BlockReaderTest, ChecksumFailuresAreDeliveredAndMarkTheBlockFromFive) {
    const Packet good = MakePacket(0, 0x3000, 0x0000, 0x1234);  // words 1..16 sum to 0
    for (int failures : {4, 5}) {
        hk::LogClear();
        std::vector<Packet> v(20, good);
        for (int i = 0; i < failures; ++i) v[2 * i][1 + (i * 3) % 16] ^= 0x0100;  // one changed word each
        Store(v);
        BlockReply r = ReadBlock(20, 1);
        ASSERT_EQ(r.length, VelnorBlockReplyBytes(20, 1));
        EXPECT_EQ(Word(r, 0, 20, 0), good[VELNOR_W_LA] ^ 0x0100) << "a failing sample is still delivered";
        EXPECT_EQ(hk::LogCount("Velnor> Velnor_ReadBlock: checkSum fail"), static_cast<size_t>(failures));
        EXPECT_EQ(Status(r), failures == 5 ? VELNOR_STATUS_CHECKSUM_ERRORS : 0);
    }
}

// Three pulse packets of 0x10 sum to 0x30, halved 0x18: the first packet without the pulse bit is
// flagged when that reaches the threshold (the default one too). The state lives across blocks.
TEST_F(BlockReaderTest, PacePulseFlagsTheFirstPacketAfterItWhenItsHalfSumReachesTheThreshold) {
    BlockReply r;
    for (USHORT threshold : {PaceThresh, USHORT{0x17}, USHORT{0x18}, USHORT{0x19}}) {
        PaceThresh = threshold;
        Store(Paced({0, 0, 1, 1, 1, 0, 0, 0}));
        r = ReadBlock(8, 1);
        EXPECT_EQ(PaceSum, 0x30);
        EXPECT_EQ(PrevPaceSum, 0x18);
        EXPECT_EQ(Status(r) & VELNOR_STATUS_PACE, 0) << "the last packet was not flagged";
        for (ULONG s = 0; s < 8; ++s)
            EXPECT_EQ(Word(r, 1, 8, s), threshold <= 0x18 && s == 5 ? 1 : 0) << "threshold " << threshold << ", " << s;
    }

    PaceThresh = 4;  // a pulse of 0x20 per packet spanning two blocks
    Store(Paced({0, 0, 0, 1, 1}, 0x20));
    r = ReadBlock(5, 0);
    for (ULONG s = 0; s < 5; ++s) EXPECT_EQ(r.words[s], 0);
    Store(Paced({1, 0, 0, 0, 0}, 0x20));
    r = ReadBlock(5, 0);
    for (ULONG s = 0; s < 5; ++s) EXPECT_EQ(r.words[s], s == 1 ? 1 : 0) << s;
    EXPECT_EQ(PrevPaceSum, 0x30);
    EXPECT_EQ(PaceCount, 3);
}

TEST_F(BlockReaderTest, LeadFailReflectsTheLatestGoodPacket) {
    std::vector<Packet> v = Stream(6);
    v[2] = MakePacket(0, 0x100, VELNOR_STA1_LEAD_FAIL);
    Store(v);
    EXPECT_EQ(Status(ReadBlock(6, 1)), 0);
    v[5] = v[2];
    Store(v);
    EXPECT_EQ(Status(ReadBlock(6, 1)), VELNOR_STATUS_LEAD_FAIL);
    v[5][VELNOR_W_SYNC] = 0;  // a later unit with a bad SYNC word does not clear it
    v[4] = v[2];
    Store(v);
    EXPECT_EQ(Status(ReadBlock(6, 1)), VELNOR_STATUS_LEAD_FAIL | VELNOR_STATUS_SYNC_ERROR);
}

// The stream stops after half a block: about a second on, the reply is the error block (66 ticks
// of 15.625 ms; with 0.5 ms ticks a second of them, no division by zero), noticed within a tick.
TEST_F(BlockReaderTest, StreamStoppingMidBlockGivesTheTimeoutErrorBlockAfterAboutOneSecond) {
    struct Case { ULONG increment; bool syncError; double atLeast; };
    for (Case c : {Case{156250, false, 1.03}, Case{156250, true, 1.03}, Case{5000, false, 1.0}}) {
        hk::SetTimeIncrement(c.increment);
        std::vector<Packet> v = Stream(100);
        if (c.syncError) v[7][VELNOR_W_SYNC] = 0x1234;
        Store(v);
        int64_t start = hk::Now100ns();
        BlockReply r = ReadBlock(200, 7);
        double seconds = (hk::Now100ns() - start) / 1e7;
        ASSERT_EQ(r.length, 4u);
        EXPECT_EQ(r.words[0], c.syncError ? ERR_SSI_TIMEOUT | ERR_SSI_NO_ACQMOD : ERR_SSI_TIMEOUT);
        EXPECT_EQ(r.words[1], VELNOR_STATUS_NO_DATA | (c.syncError ? VELNOR_STATUS_SYNC_ERROR : 0));
        EXPECT_GT(seconds, c.atLeast);
        EXPECT_LT(seconds, c.atLeast + 0.05);
    }
    hk::SetTimeIncrement(156250);
    EXPECT_TRUE(hk::LogHasLine("Velnor> Velnor_ReadBlock: timeout"));
}

TEST_F(BlockReaderTest, FifoFullPersistsUntilTheRingIsReset) {
    Packet p = MakePacket(0);
    while (WriteRingBuffer(ext_->DataRingBuffer, reinterpret_cast<const UCHAR*>(p.data()), 34) == 34) {
    }
    const ULONG held = ext_->DataRingBuffer->currentSize;
    for (int i = 0; i < 3; ++i) {
        BlockReply r = ReadBlock(200, 7);
        ASSERT_EQ(r.length, 4u);
        EXPECT_EQ(r.words[0], ERR_SSI_FIFO_FULL);
        EXPECT_EQ(r.words[1], VELNOR_STATUS_FIFO_FULL);
    }
    EXPECT_EQ(ext_->DataRingBuffer->currentSize, held) << "nothing is read from a full ring";
    EXPECT_EQ(hk::LogCount("Velnor> Velnor_ReadBlock() - FIFO full"), 3u);
    ResetRingBuffer(ext_->DataRingBuffer);
    Store(Stream(200));
    EXPECT_EQ(ReadBlock(200, 7).length, 3204u);
}

// Requests that would not fit or are out of range are refused before a packet is taken (ASan
// watches the buffers).
TEST_F(BlockReaderTest, MalformedRequestsAreRefusedWithoutTouchingTheRing) {
    Store(Stream(50));
    const ULONG held = ext_->DataRingBuffer->currentSize;
    struct Case { SHORT nSamples, nChannels; ULONG buffer, in; NTSTATUS expected; };
    const Case cases[] = {
        {10, 7, VelnorBlockReplyBytes(10, 7) - 2, 0, STATUS_BUFFER_TOO_SMALL},
        {10, 7, 4, 0, STATUS_BUFFER_TOO_SMALL},
        {-1, 7, 64, 0, STATUS_INVALID_PARAMETER},
        {10, -1, 64, 0, STATUS_INVALID_PARAMETER},
        {10, 8, 1024, 0, STATUS_INVALID_PARAMETER},  // 7 channels selected
        {10, 7, 1024, 4, STATUS_INVALID_PARAMETER},  // request cut short
        {SHRT_MAX, 12, 64, 0, STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        BlockReply r = ReadBlock(c.nSamples, c.nChannels, c.buffer, 0xA5A5, c.in);
        EXPECT_EQ(r.status, c.expected) << c.nSamples << " " << c.nChannels << " " << c.buffer;
        EXPECT_EQ(r.length, 0u);
    }
    EXPECT_EQ(ext_->DataRingBuffer->currentSize, held);
}

TEST_F(BlockReaderTest, BlockPrintCoversWholeLinesOfTwentyInsideTheReply) {
    DebugLevel = 4;
    auto printed = [&](SHORT nSamples, const std::string& label) {
        hk::LogClear();
        Store(Stream(static_cast<size_t>(nSamples)));
        ReadBlock(nSamples, 7);
        size_t n = 0;
        for (const auto& line : hk::LogLines()) n += line.rfind("Velnor> Velnor_ReadBlock: 100ms packet " + label, 0) == 0;
        return n;
    };
    EXPECT_EQ(printed(200, "L : "), 10u);
    EXPECT_TRUE(hk::LogHasLine("Velnor> Velnor_ReadBlock: 100ms packet L :  1000 1010 1020 1030 1040 1050 1060 1070 "
                               "1080 1090 10a0 10b0 10c0 10d0 10e0 10f0 1100 1110 1120 1130"));
    EXPECT_EQ(printed(200, "C6: "), 10u) << "row 7 is the pace row, labelled by position";
    EXPECT_EQ(printed(30, "L : "), 1u) << "30 samples print one whole line of 20";
    EXPECT_EQ(printed(19, "L : "), 0u);
    DebugLevel = 2;
}

// Three block requests at once on a ring without data: one reads (a
// timeout block after about a second), the next waits for it and reads,
// and the third, with two blocks ahead of it, is refused after two seconds
// rather than queued for a second per reader. The refused one does not
// pass the turn on: a fourth reader, come at 1.5 s, reads only after the
// second block is done.
TEST_F(BlockReaderTest, AReaderWithTwoBlocksAheadIsRefusedAfterTwoSeconds) {
    constexpr int64_t kSecond = 10000000;
    NTSTATUS status[4];
    int64_t ended[4];
    const int64_t start = hk::Now100ns();
    {
        std::vector<std::unique_ptr<hk::SimThread>> readers;
        for (int r = 0; r < 4; ++r)
            readers.push_back(std::make_unique<hk::SimThread>("reader", [&, r] {
                if (r == 3) {
                    LARGE_INTEGER late;
                    late.QuadPart = -(kSecond * 3 / 2);
                    KeDelayExecutionThread(KernelMode, FALSE, &late);
                }
                status[r] = ReadBlock(200, 7).status;
                ended[r] = hk::Now100ns() - start;
            }));
        for (auto& t : readers) t->Join();
    }
    int read = 0, refused = 0;
    int64_t lastRead = 0;
    for (int r = 0; r < 3; ++r) {
        if (status[r] == STATUS_SUCCESS) {
            ++read;
            lastRead = std::max(lastRead, ended[r]);
        } else {
            EXPECT_EQ(status[r], STATUS_DEVICE_BUSY);
            EXPECT_GE(ended[r], 2 * kSecond) << "refused only after two seconds";
            EXPECT_LT(ended[r], 2 * kSecond + kSecond / 10);
            ++refused;
        }
    }
    EXPECT_EQ(read, 2);
    EXPECT_EQ(refused, 1);
    EXPECT_EQ(status[3], STATUS_SUCCESS);
    EXPECT_GE(ended[3], lastRead + kSecond) << "the fourth block overlapped the second";
    EXPECT_TRUE(hk::LogHasLine(
        "Velnor> ERROR: Velnor_ProcessIOCTL: IOCTL_VELNOR_READ_ISO_BUFFER - other block reads still in progress"));
    EXPECT_EQ(ReadBlock(200, 7).status, STATUS_SUCCESS) << "the turn is free again";
}

}  // namespace
