// The output packet builder: gathering from the packet ring (missing,
// unsynchronised and multi-packet units, the flush, the backlog cut), the
// lead table, the analog output clamps and the packet layout.
#include "support/velnor_harness.h"

#include "output/packet_builder.h"
#include "output/signal_filter.h"

namespace {

using velnor_test::MakePacket;
using velnor_test::Packet;

class PacketBuilderTest : public ::testing::Test {
protected:
    void SetUp() override {
        hk::LogClear();
        ext_.IsoPacketRingBuffer = AllocRingBuffer(20000);
        PacketReadSize = 34;
        velnor_filter_load_defaults();
        LoadOutputDefaults();
        ctr_notempty = 0;
        FlushPacketRing = 0;
    }
    void TearDown() override {
        FreeRingBuffer(ext_.IsoPacketRingBuffer);
        EXPECT_TRUE(hk::OutstandingPool().empty());
    }
    void Store(const Packet& p) { WriteRingBuffer(ext_.IsoPacketRingBuffer, reinterpret_cast<const UCHAR*>(p.data()), 34); }
    // Packet i carries 100 + i in LA (filter channel 0).
    void StorePackets(int first, int n) {
        for (int i = first; i < first + n; ++i) Store(MakePacket(0, static_cast<USHORT>(100 + i)));
    }
    ULONG Held() const { return ext_.IsoPacketRingBuffer->currentSize; }
    DeviceExtension ext_{};
};

TEST_F(PacketBuilderTest, BlockWithoutPacketsHoldsOutputsRunsNoFilterAndCarriesNoMarks) {
    DebugLevel = 3;
    AOutFollowLead[1] = 1;
    AOutLead[1] = 0;
    AOutLevel[1][49] = 2000;
    AOutLevel[2][49] = 3000;  // not following: untouched
    FilterOutput[0] = 0x1234;
    TriggerBuffer[5] = BeepBuffer[6] = 0xFF;
    ASSERT_EQ(Velnor_ReadPacket(&ext_, 50), STATUS_SUCCESS);
    EXPECT_EQ(NoPacketCount, 100);
    EXPECT_EQ(FilterOutput[0], 0x1234) << "the filter did not run";
    for (int k = 0; k < 50; ++k) ASSERT_EQ(AOutLevel[1][k], 2000);
    EXPECT_EQ(AOutLevel[2][0], 1365);
    EXPECT_EQ(TriggerBuffer[5], 0) << "stale marks would fire the trigger again";
    EXPECT_EQ(BeepBuffer[6], 0);
    size_t lines = 0;
    for (const auto& l : hk::LogLines()) lines += l.rfind("Velnor> Velnor_ReadPacket() - no packet count ", 0) == 0;
    EXPECT_EQ(lines, 100u);
    DebugLevel = 2;
}

TEST_F(PacketBuilderTest, MissingOrUnsynchronisedUnitsRepeatThePreviousSample) {
    StorePackets(0, 3);
    Packet bad = MakePacket(0, 999);
    bad[VELNOR_W_SYNC] = 0x1111;
    Store(bad);
    StorePackets(4, 2);
    Velnor_ReadPacket(&ext_, 4);  // 8 samples, 6 units held
    const SHORT expected[8] = {100, 101, 102, 102, 104, 105, 105, 105};
    for (int s = 0; s < 8; ++s) EXPECT_EQ(FilterInput[s], expected[s]) << s;
    EXPECT_EQ(NoPacketCount, 2);
    EXPECT_EQ(LatestSampleVector[0], 105);
}

TEST_F(PacketBuilderTest, TwoPacketUnitsUseOnlyTheirFirstPacket) {
    PacketReadSize = 68;
    StorePackets(0, 8);
    Velnor_ReadPacket(&ext_, 2);
    for (int s = 0; s < 4; ++s) EXPECT_EQ(FilterInput[s], 100 + 2 * s);
    EXPECT_EQ(Held(), 0u);

    // The sample vector takes the twelve words in filter channel order.
    PacketReadSize = 34;
    Packet p = MakePacket(0, 0x10);
    Store(p);
    Velnor_ReadPacket(&ext_, 1);
    const int words[12] = {1, 2, 9, 8, 7, 6, 4, 3, 11, 12, 13, 14};
    for (int c = 0; c < 12; ++c) EXPECT_EQ(LatestSampleVector[c], static_cast<SHORT>(p[words[c]])) << c;
}

TEST_F(PacketBuilderTest, FlushDropsTheBacklogAndTheEleventhCallCutsIt) {
    StorePackets(0, 30);
    Velnor_ReadPacket(&ext_, 1);
    ASSERT_EQ(FilterInput[0], 100);
    FlushPacketRing = 1;
    ctr_notempty = 7;
    Velnor_ReadPacket(&ext_, 1);
    EXPECT_EQ(FlushPacketRing, 0);
    EXPECT_EQ(NoPacketCount, 2);
    EXPECT_EQ(FilterInput[0], 101) << "the dropped units never reached ReadPacketBuffer";
    EXPECT_EQ(Held(), 0u);

    // A backlog after ten consecutive calls is tolerated; the eleventh call
    // replaces its block with the next 2n units and drops the rest.
    const int n = 5;
    int next = 30 + 2 * n + 4;
    StorePackets(30, 2 * n + 4);
    for (int call = 1; call <= 10; ++call) {
        Velnor_ReadPacket(&ext_, n);
        EXPECT_EQ(ctr_notempty, call);
        StorePackets(next, 2 * n);
        next += 2 * n;
    }
    const int firstHeld = next - static_cast<int>(Held() / 34);
    StorePackets(next, 3 * n);  // more than two blocks' worth
    Velnor_ReadPacket(&ext_, n);
    EXPECT_EQ(ctr_notempty, 1);
    EXPECT_EQ(Held(), 0u);
    for (int s = 0; s < 2 * n; ++s) EXPECT_EQ(FilterInput[s], 100 + firstHeld + 2 * n + s) << s;
    Velnor_ReadPacket(&ext_, n);
    EXPECT_EQ(ctr_notempty, 0) << "the ring ran dry";
}

TEST_F(PacketBuilderTest, LeadTableTruncatesTowardZero) {
    const int n = 2;
    auto F = [&](int c, int k) -> SHORT& { return FilterOutput[c * n + k]; };
    std::fill(FilterOutput, FilterOutput + 12 * n, 0);
    F(0, 0) = -1;  // entry 0: F0 = -1, F1 = 0
    F(0, 1) = 300;  // entry 1: F0 300, F1 100, WCT 133; V1..V6 from channels 2..7
    F(1, 1) = 100;
    for (int c = 2; c < 8; ++c) F(c, 1) = static_cast<SHORT>(1000 * c);
    DeriveLeadsAndOutputs(n);
    // {row, entry, value}: aVR = -(-1 / 2), aVF = 0 - (-1 / 2) and V1 with WCT 0 truncate to 0.
    const int expected[][3] = {{13, 0, 0},   {14, 0, -1},  {15, 0, 0},   {7, 0, 0},          {0, 1, 300},
                               {1, 1, 100},  {12, 1, -200}, {13, 1, -200}, {14, 1, 250},       {15, 1, -50},
                               {7, 1, 2000 - 133}, {2, 1, 7000 - 133}, {8, 1, 0}, {9, 1, 0}, {10, 1, 0}, {11, 1, 0}};
    for (const auto& [row, k, v] : expected) EXPECT_EQ(FilteredLeadStore[row][k], v) << "row " << row << " entry " << k;
}

TEST_F(PacketBuilderTest, AnalogOutputsFollowTheirLeadAndClampAt0And4095) {
    const int n = 3;
    std::fill(FilterOutput, FilterOutput + 12 * n, 0);
    FilterOutput[0] = -1365;
    FilterOutput[1] = -1366;
    FilterOutput[2] = 2730;
    AOutFollowLead[0] = 1;
    AOutLead[0] = 0;  // lead I = F0
    AOutFollowLead[1] = 1;
    AOutLead[1] = 9;  // a row that is never written
    DeriveLeadsAndOutputs(n);
    for (int k = 0; k < n; ++k) {
        EXPECT_EQ(AOutLevel[0][k], k == 2 ? 4095 : 0) << k;
        EXPECT_EQ(AOutLevel[1][k], 1365) << k;
    }

    // Row 15 (aVF = F1 - F0 / 2) is the last real row; rows 16 and 255 lie
    // outside the store, and outputs set to them keep the levels they had.
    FilterOutput[0] = 100;  // F0 of entry 0
    FilterOutput[n] = -300;  // F1 of entry 0
    AOutLead[1] = 15;
    AOutLead[2] = 16;
    AOutLead[3] = 255;
    AOutFollowLead[2] = 1;
    AOutFollowLead[3] = 1;
    for (int k = 0; k < n; ++k) {
        AOutLevel[2][k] = static_cast<USHORT>(700 + k);
        AOutLevel[3][k] = static_cast<USHORT>(900 + k);
    }
    DeriveLeadsAndOutputs(n);
    EXPECT_EQ(AOutLevel[1][0], 1365 - 300 - 50);
    EXPECT_EQ(AOutLevel[1][1], 1365 + 683) << "0 - (-1366 / 2)";
    EXPECT_EQ(AOutLevel[1][2], 0) << "0 - 2730 / 2, clamped";
    for (int k = 0; k < n; ++k) {
        EXPECT_EQ(AOutLevel[2][k], 700 + k) << "row 16, entry " << k;
        EXPECT_EQ(AOutLevel[3][k], 900 + k) << "row 255, entry " << k;
    }
}

TEST_F(PacketBuilderTest, FormattedPacketsCarryLevelsMarksAndTriggerSettings) {
    const ULONG n = 4, size = 16;
    for (ULONG k = 0; k < n; ++k)
        for (int j = 0; j < 4; ++j) AOutLevel[j][k] = static_cast<USHORT>(0x100 * j + k + 0xA00);
    std::fill(TriggerBuffer, TriggerBuffer + 8, 0);
    std::fill(BeepBuffer, BeepBuffer + 8, 0);
    TriggerBuffer[1] = TriggerBuffer[4] = BeepBuffer[7] = 0xFF;  // sample 2k+1 of packet 0, 2k of packet 2
    QrsOutWidth = 0x164;
    QrsOutDelay = 7;
    QrsOutPolarity = 0;
    std::vector<UCHAR> buffer(n * size, 0);
    ASSERT_EQ(FormatIsoOutPackets(buffer.data(), n, size), STATUS_SUCCESS);
    for (ULONG k = 0; k < n; ++k) {
        const UCHAR* p = buffer.data() + k * size;
        EXPECT_EQ(p[0] << 8 | p[1], 0xA00 + k);
        EXPECT_EQ(p[6] << 8 | p[7], 0xD00 + k);
        EXPECT_EQ(p[8], (k == 0 || k == 2) ? 0xFF : 0) << k;
        EXPECT_EQ(p[9], k == 3 ? 0xFF : 0) << k;
        EXPECT_EQ(p[10], 0x64) << "low byte of the width";
        EXPECT_EQ(p[11], 7);
        EXPECT_EQ(p[12] | p[13] | p[14] | p[15], 0) << "polarity 0, bytes past 13 untouched";
    }

    // Slots of exactly 13 bytes are packed back to back, up to 50 of them;
    // 51 packets, or 12-byte slots, are refused and write nothing.
    std::vector<UCHAR> packed(50 * 13 + 4, 0xEE);
    for (int j = 0; j < 4; ++j) AOutLevel[j][49] = static_cast<USHORT>(0x0F00 + j);
    ASSERT_EQ(FormatIsoOutPackets(packed.data(), 50, 13), STATUS_SUCCESS);
    for (ULONG k = 0; k < n; ++k) {
        EXPECT_EQ(packed[k * 13] << 8 | packed[k * 13 + 1], 0xA00 + k) << k;
        EXPECT_EQ(packed[k * 13 + 12], 0) << "polarity of packet " << k;
    }
    EXPECT_EQ(packed[49 * 13 + 6] << 8 | packed[49 * 13 + 7], 0x0F03) << "AN4 of the fiftieth packet";
    EXPECT_EQ(packed[49 * 13 + 10], 0x64);
    EXPECT_EQ(packed[50 * 13], 0xEE) << "nothing past the last slot";
    std::vector<UCHAR> untouched(51 * 13, 0xEE);
    EXPECT_EQ(FormatIsoOutPackets(untouched.data(), 51, 13), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(FormatIsoOutPackets(untouched.data(), 1, 12), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(std::all_of(untouched.begin(), untouched.end(), [](UCHAR b) { return b == 0xEE; }));
    EXPECT_EQ(Velnor_ReadPacket(&ext_, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Velnor_ReadPacket(&ext_, 51), STATUS_INVALID_PARAMETER);
}

}  // namespace
