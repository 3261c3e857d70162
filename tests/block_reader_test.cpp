// The block reader through the request path: layout, read units, channel
// selection, packet checks and their thresholds, the pace detector, lead
// fail, timeouts on the fast clock, FIFO full, request validation and a
// dispatch-level writer racing the reader.
#include "support/velnor_harness.h"

#include <string>

namespace {

using velnor_test::MakePacket;
using velnor_test::Packet;
using velnor_test::SealPacket;

using velnor_test::BlockReply;

class BlockReaderTest : public velnor_test::DeviceFixture {
protected:
    static USHORT Word(const BlockReply& r, ULONG row, ULONG nSamples, ULONG s) { return r.words[row * nSamples + s]; }
};

// Expected channel vector of a Stream() packet with electrode base `b`.
std::vector<USHORT> DefaultChannels(USHORT b) {
    return {b, static_cast<USHORT>(b + 1), static_cast<USHORT>(b + 7), static_cast<USHORT>(b + 6),
            static_cast<USHORT>(b + 5), static_cast<USHORT>(b + 4), static_cast<USHORT>(b + 3)};
}

TEST_F(BlockReaderTest, DefaultBlockHasSevenChannelRowsThePaceRowAndTheStatusWords) {
    Store(Stream(200));
    BlockReply r = ReadBlock(200, 7);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    ASSERT_EQ(r.length, 3204u);
    for (ULONG s = 0; s < 200; ++s) {
        auto expected = DefaultChannels(static_cast<USHORT>(0x1000 + 16 * s));
        for (ULONG row = 0; row < 7; ++row) ASSERT_EQ(Word(r, row, 200, s), expected[row]) << "row " << row << " s " << s;
        ASSERT_EQ(Word(r, 7, 200, s), 0) << "pace row";
    }
    EXPECT_EQ(r.words[1600], 0) << "electrode status";
    EXPECT_EQ(r.words[1601], 0) << "packet status of a clean block";
    EXPECT_EQ(ext_->DataRingBuffer->currentSize, 0u);
}

TEST_F(BlockReaderTest, ZeroSamplesReadsNothingAndRepliesWithTheTwoStatusWords) {
    Store(Stream(3));
    BlockReply r = ReadBlock(0, 7, 4);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.length, 4u);
    EXPECT_EQ(r.words[0], 0);
    EXPECT_EQ(r.words[1], 0);
    EXPECT_EQ(ext_->DataRingBuffer->currentSize, 3u * 34);
}

// At the lower rates only the first packet of each unit is examined: the
// others may be corrupt without effect, and the module's numbering (2 per
// packet) raises no sequence error at any rate, across the 16-bit wrap.
TEST_F(BlockReaderTest, ReadUnitsOfEachSamplingFrequencySkipTheirOtherPacketsUnchecked) {
    for (USHORT unit : {34, 68, 136, 340}) {
        SCOPED_TRACE(unit);
        hk::LogClear();
        ResetRingBuffer(ext_->DataRingBuffer);
        PacketReadSize = unit;
        const ULONG k = unit / 34;
        const USHORT first = 0xFFF0;
        ArmSequenceCheck(first);
        std::vector<Packet> packets = Stream(3 * 40 * k, first);
        for (size_t i = 0; i < packets.size(); ++i) {
            if (i % k == 0) continue;
            packets[i][VELNOR_W_SYNC] = 0xFFFF;  // neither checked nor counted
            packets[i][VELNOR_W_LA] ^= 0x55;     // and a broken checksum
        }
        Store(packets);
        for (int block = 0; block < 3; ++block) {
            BlockReply r = ReadBlock(40, 2);
            ASSERT_EQ(r.length, VelnorBlockReplyBytes(40, 2));
            for (ULONG s = 0; s < 40; ++s)
                ASSERT_EQ(Word(r, 0, 40, s), 0x1000 + 16 * ((block * 40 + s) * k)) << "sample " << s;
            EXPECT_EQ(r.words[3 * 40 + 1], 0) << "status of block " << block;
        }
        EXPECT_EQ(hk::LogCount("Velnor> Velnor_ReadBlock: Sequence Number fail"), 0u);
    }
}

TEST_F(BlockReaderTest, SequenceCheckCountsRealGapsOnlyWhileArmed) {
    // Disarmed (no stream start has armed it): gaps pass unnoticed.
    std::vector<Packet> packets;
    for (int i = 0; i < 20; ++i) packets.push_back(MakePacket(static_cast<USHORT>(10 * i)));
    Store(packets);
    BlockReply r = ReadBlock(20, 1);
    EXPECT_EQ(r.words[2 * 20 + 1], 0);
    EXPECT_EQ(hk::LogCount("Velnor> Velnor_ReadBlock: Sequence Number fail"), 0u);

    // Armed: one lost packet is one mismatch, at 1000 S/s as at 2000.
    for (USHORT unit : {34, 68}) {
        hk::LogClear();
        PacketReadSize = unit;
        ArmSequenceCheck(100);
        std::vector<Packet> s = Stream(41 * (unit / 34), 100);
        s.erase(s.begin() + 10);
        Store(s);
        r = ReadBlock(40, 1);
        EXPECT_EQ(hk::LogCount("Velnor> Velnor_ReadBlock: Sequence Number fail"), 1u) << unit;
        EXPECT_EQ(r.words[2 * 40 + 1] & VELNOR_STATUS_SEQUENCE_ERRORS, 0) << "one gap stays below the threshold";
        ResetRingBuffer(ext_->DataRingBuffer);
    }

    // Four gaps in a block leave the status clear, five set it.
    PacketReadSize = 34;
    for (int gaps : {4, 5}) {
        hk::LogClear();
        ArmSequenceCheck(0);
        std::vector<Packet> s = Stream(60);
        for (int g = 0; g < gaps; ++g) s.erase(s.begin() + 5 + 10 * g);
        s.resize(50);
        Store(s);
        r = ReadBlock(50, 1);
        EXPECT_EQ(hk::LogCount("Velnor> Velnor_ReadBlock: Sequence Number fail"), static_cast<size_t>(gaps));
        EXPECT_EQ((r.words[2 * 50 + 1] & VELNOR_STATUS_SEQUENCE_ERRORS) != 0, gaps == 5) << gaps;
        EXPECT_EQ(r.length, VelnorBlockReplyBytes(50, 1)) << "sequence errors alone never make an error block";
    }
}

TEST_F(BlockReaderTest, ElectrodeReferenceSelectsWordsInTheFixedOrder) {
    struct Case {
        ULONG reference;
        std::vector<int> words;
    };
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
        Store(p);
        SHORT n = static_cast<SHORT>(c.words.size());
        BlockReply r = ReadBlock(1, n);
        ASSERT_EQ(r.status, STATUS_SUCCESS);
        for (size_t i = 0; i < c.words.size(); ++i) EXPECT_EQ(r.words[i], p[c.words[i]]) << std::hex << c.reference;
        // One channel more than selected is refused.
        Store(p);
        EXPECT_EQ(ReadBlock(1, static_cast<SHORT>(n + 1)).status, STATUS_INVALID_PARAMETER);
        ResetRingBuffer(ext_->DataRingBuffer);
    }
}

TEST_F(BlockReaderTest, FewerRowsThanSelectedCarryTheFirstEntriesAndThePaceRowFollows) {
    Store(Stream(10));
    BlockReply r = ReadBlock(10, 3);
    ASSERT_EQ(r.length, VelnorBlockReplyBytes(10, 3));
    for (ULONG s = 0; s < 10; ++s) {
        auto expected = DefaultChannels(static_cast<USHORT>(0x1000 + 16 * s));
        for (ULONG row = 0; row < 3; ++row) EXPECT_EQ(Word(r, row, 10, s), expected[row]);
        EXPECT_EQ(Word(r, 3, 10, s), 0);
    }
    EXPECT_EQ(r.words[40], 0);
    EXPECT_EQ(r.words[41], 0);
}

TEST_F(BlockReaderTest, BadSyncUnitsLeaveTheirSlotsAndMakeAnErrorBlockFromNinety) {
    // One bad unit: slots untouched, status 0x0001, still a normal block.
    std::vector<Packet> s = Stream(10);
    s[4][VELNOR_W_SYNC] = 0xFFFF;
    Store(s);
    BlockReply r = ReadBlock(10, 2);
    ASSERT_EQ(r.length, VelnorBlockReplyBytes(10, 2));
    EXPECT_EQ(Word(r, 0, 10, 4), 0xA5A5);
    EXPECT_EQ(Word(r, 1, 10, 4), 0xA5A5);
    EXPECT_EQ(Word(r, 2, 10, 4), 0xA5A5) << "pace slot too";
    EXPECT_EQ(Word(r, 0, 10, 5), 0x1000 + 16 * 5) << "the reader takes the next unit for the next sample";
    EXPECT_EQ(r.words[31], VELNOR_STATUS_SYNC_ERROR);
    EXPECT_EQ(hk::LogCount("Velnor> Velnor_ReadBlock: Synchronisation error"), 1u);

    for (int bad : {89, 90}) {
        std::vector<Packet> v = Stream(100);
        for (int i = 0; i < bad; ++i) v[i][VELNOR_W_SYNC] = 0x0000;
        Store(v);
        r = ReadBlock(100, 1);
        if (bad == 89) {
            EXPECT_EQ(r.length, VelnorBlockReplyBytes(100, 1));
            EXPECT_EQ(r.words[201], VELNOR_STATUS_SYNC_ERROR);
        } else {
            ASSERT_EQ(r.length, 4u);
            EXPECT_EQ(r.words[0], ERR_SSI_NO_ACQMOD);
            EXPECT_EQ(r.words[1], VELNOR_STATUS_SYNC_ERROR | VELNOR_STATUS_NO_DATA);
        }
    }
}

TEST_F(BlockReaderTest, ChecksumFailuresAreDeliveredAndMarkTheBlockFromFive) {
    // A packet whose words 1..16 sum to 0 passes; any single changed word fails.
    Packet good = MakePacket(0, 0x3000, 0x0000, 0x1234);
    USHORT sum = 0;
    for (int w = 1; w <= 16; ++w) sum = static_cast<USHORT>(sum + good[w]);
    ASSERT_EQ(sum, 0);
    for (int failures : {4, 5}) {
        hk::LogClear();
        std::vector<Packet> v(20, good);
        for (int i = 0; i < failures; ++i) v[2 * i][1 + (i * 3) % 16] ^= 0x0100;
        Store(v);
        BlockReply r = ReadBlock(20, 1);
        ASSERT_EQ(r.length, VelnorBlockReplyBytes(20, 1));
        EXPECT_EQ(Word(r, 0, 20, 0), good[VELNOR_W_LA] ^ 0x0100) << "a failing sample is still delivered";
        EXPECT_EQ(hk::LogCount("Velnor> Velnor_ReadBlock: checkSum fail"), static_cast<size_t>(failures));
        EXPECT_EQ((r.words[41] & VELNOR_STATUS_CHECKSUM_ERRORS) != 0, failures == 5);
    }
}

// Three pulse packets of 0x10 sum to 0x30; halved 0x18 reaches the
// threshold, so the first packet without the pulse bit is flagged.
TEST_F(BlockReaderTest, PacePulseFlagsTheFirstPacketAfterItWhenItsHalfSumReachesTheThreshold) {
    std::vector<Packet> v;
    for (int i = 0; i < 8; ++i) {
        bool pulse = i >= 2 && i < 5;
        v.push_back(MakePacket(0, 0x100, pulse ? VELNOR_STA1_PACE : 0, pulse ? 0x10 : 0));
    }
    Store(v);
    BlockReply r = ReadBlock(8, 1);
    for (ULONG s = 0; s < 8; ++s) EXPECT_EQ(Word(r, 1, 8, s), s == 5 ? 1 : 0) << s;
    EXPECT_EQ(PaceSum, 0x30);
    EXPECT_EQ(PrevPaceSum, 0x18);
    EXPECT_EQ(PaceCount, 3);
    EXPECT_EQ(r.words[17] & VELNOR_STATUS_PACE, 0) << "the last packet was not flagged";

    // Below the threshold: no flag.
    PaceThresh = 0x19;
    Store(v);
    r = ReadBlock(8, 1);
    for (ULONG s = 0; s < 8; ++s) EXPECT_EQ(Word(r, 1, 8, s), 0) << s;
}

TEST_F(BlockReaderTest, PacePulseSpanningTwoBlocksIsFlaggedInTheSecond) {
    std::vector<Packet> first, second;
    for (int i = 0; i < 5; ++i) first.push_back(MakePacket(0, 0x100, i >= 3 ? VELNOR_STA1_PACE : 0, 0x20));
    for (int i = 0; i < 5; ++i) second.push_back(MakePacket(0, 0x100, i < 1 ? VELNOR_STA1_PACE : 0, 0x20));
    Store(first);
    BlockReply r = ReadBlock(5, 0);
    for (ULONG s = 0; s < 5; ++s) EXPECT_EQ(r.words[s], 0);
    Store(second);
    r = ReadBlock(5, 0);
    for (ULONG s = 0; s < 5; ++s) EXPECT_EQ(r.words[s], s == 1 ? 1 : 0) << s;
    EXPECT_EQ(PrevPaceSum, 0x30);
    EXPECT_EQ(PaceCount, 3);
}

TEST_F(BlockReaderTest, LeadFailReflectsTheLatestGoodPacket) {
    std::vector<Packet> v = Stream(6);
    v[2] = MakePacket(0, 0x100, VELNOR_STA1_LEAD_FAIL);
    Store(v);
    EXPECT_EQ(ReadBlock(6, 1).words[13] & VELNOR_STATUS_LEAD_FAIL, 0);

    v[5] = MakePacket(0, 0x100, VELNOR_STA1_LEAD_FAIL);
    Store(v);
    EXPECT_EQ(ReadBlock(6, 1).words[13] & VELNOR_STATUS_LEAD_FAIL, VELNOR_STATUS_LEAD_FAIL);

    // A later unit with a bad SYNC word does not clear it.
    v = Stream(6);
    v[4] = MakePacket(0, 0x100, VELNOR_STA1_LEAD_FAIL);
    v[5][VELNOR_W_SYNC] = 0;
    Store(v);
    EXPECT_EQ(ReadBlock(6, 1).words[13], VELNOR_STATUS_LEAD_FAIL | VELNOR_STATUS_SYNC_ERROR);
}

// The stream stops after half a block: about one second after the request
// began (66 ticks of 15.625 ms), the reply is the error block.
// The upper bounds leave room for a loaded machine: every real-time delay
// between polls counts fifty times over on the fast clock.
TEST_F(BlockReaderTest, StreamStoppingMidBlockGivesTheTimeoutErrorBlockAfterAboutOneSecond) {
    hk::SetClockFactor(50);
    for (bool withSyncError : {false, true}) {
        std::vector<Packet> v = Stream(100);
        if (withSyncError) v[7][VELNOR_W_SYNC] = 0x1234;
        Store(v);
        int64_t start = hk::Now100ns();
        BlockReply r = ReadBlock(200, 7);
        double seconds = (hk::Now100ns() - start) / 1e7;
        ASSERT_EQ(r.length, 4u);
        EXPECT_EQ(r.words[0], withSyncError ? ERR_SSI_TIMEOUT | ERR_SSI_NO_ACQMOD : ERR_SSI_TIMEOUT);
        EXPECT_EQ(r.words[1], VELNOR_STATUS_NO_DATA | (withSyncError ? VELNOR_STATUS_SYNC_ERROR : 0));
        EXPECT_GT(seconds, 1.03) << "66 ticks of 15.625 ms must pass first";
        EXPECT_LT(seconds, 1.3);
        EXPECT_TRUE(hk::LogHasLine("Velnor> Velnor_ReadBlock: timeout"));
    }
}

TEST_F(BlockReaderTest, TicksShorterThanOneMillisecondStillTimeOutAfterOneSecond) {
    hk::SetClockFactor(50);
    hk::SetTimeIncrement(5000);  // 0.5 ms
    int64_t start = hk::Now100ns();
    BlockReply r = ReadBlock(10, 1);
    double seconds = (hk::Now100ns() - start) / 1e7;
    hk::SetTimeIncrement(156250);
    ASSERT_EQ(r.length, 4u);
    EXPECT_EQ(r.words[0], ERR_SSI_TIMEOUT);
    EXPECT_GT(seconds, 1.0);
    EXPECT_LT(seconds, 1.3);
}

TEST_F(BlockReaderTest, FifoFullPersistsUntilTheRingIsReset) {
    Packet p = MakePacket(0);
    while (WriteRingBuffer(ext_->DataRingBuffer, reinterpret_cast<const UCHAR*>(p.data()), 34) == 34) {
    }
    ULONG held = ext_->DataRingBuffer->currentSize;
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

// Requests whose reply would not fit, or whose counts are out of range, are
// refused before any packet is taken; AddressSanitizer watches the buffers.
TEST_F(BlockReaderTest, MalformedRequestsAreRefusedWithoutTouchingTheRing) {
    Store(Stream(50));
    const ULONG held = ext_->DataRingBuffer->currentSize;
    struct Case {
        SHORT nSamples, nChannels;
        ULONG buffer, in;
        NTSTATUS expected;
    };
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
    Store(Stream(200));
    ReadBlock(200, 7);
    auto count = [](const char* label) {
        size_t n = 0;
        std::string prefix = std::string("Velnor> Velnor_ReadBlock: 100ms packet ") + label;
        for (const auto& line : hk::LogLines()) n += line.rfind(prefix, 0) == 0;
        return n;
    };
    EXPECT_EQ(count("L : "), 10u);
    EXPECT_EQ(count("C5: "), 10u);
    EXPECT_EQ(count("C6: "), 10u) << "row 7 is the pace row, labelled by position";
    EXPECT_EQ(count("A1: "), 0u);
    EXPECT_TRUE(hk::LogHasLine("Velnor> Velnor_ReadBlock: 100ms packet L :  1000 1010 1020 1030 1040 1050 1060 1070 "
                               "1080 1090 10a0 10b0 10c0 10d0 10e0 10f0 1100 1110 1120 1130"));

    hk::LogClear();
    Store(Stream(30));
    ReadBlock(30, 7);
    EXPECT_EQ(count("L : "), 1u) << "30 samples print one whole line of 20";
    hk::LogClear();
    Store(Stream(19));
    ReadBlock(19, 12 - 5);
    EXPECT_EQ(count("L : "), 0u);
    DebugLevel = 2;
}

// The IN completion's role played by the bus thread at DISPATCH_LEVEL: two
// packets a millisecond of virtual time while the reader polls.
TEST_F(BlockReaderTest, DispatchLevelWriterFeedsAPollingReaderWithoutLossOrReordering) {
    hk::SetClockFactor(20);
    ArmSequenceCheck(0);
    constexpr int kPackets = 1000;
    int64_t t0 = hk::Now100ns();
    for (int ms = 0; ms < kPackets / 2; ++ms) {
        hk::BusPostAt(t0 + 10000LL * (ms + 1), [this, ms] {
            EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
            for (int k = 0; k < 2; ++k) {
                int i = 2 * ms + k;
                Packet p = MakePacket(static_cast<USHORT>(2 * i), static_cast<USHORT>(16 * i));
                WriteRingBuffer(ext_->DataRingBuffer, reinterpret_cast<const UCHAR*>(p.data()), 34);
            }
        });
    }
    for (int block = 0; block < kPackets / 200; ++block) {
        BlockReply r = ReadBlock(200, 1);
        ASSERT_EQ(r.length, VelnorBlockReplyBytes(200, 1)) << "block " << block;
        for (ULONG s = 0; s < 200; ++s) ASSERT_EQ(Word(r, 0, 200, s), static_cast<USHORT>(16 * (block * 200 + s)));
        EXPECT_EQ(r.words[401], 0);
    }
    hk::BusFlush();
}

}  // namespace
