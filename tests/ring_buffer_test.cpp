// The ring buffer: capacity edges, wrap-around, flag rules, missing records,
// and a dispatch-level writer racing a polling reader.
#include "acquisition/ring_buffer.h"

#include <hostkernel/hostkernel.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <numeric>
#include <vector>

namespace {

std::vector<UCHAR> Bytes(size_t n, UCHAR first) {
    std::vector<UCHAR> v(n);
    std::iota(v.begin(), v.end(), first);
    return v;
}

struct Ring {
    explicit Ring(ULONG size) : r(AllocRingBuffer(size)) {}
    ~Ring() {
        if (r) FreeRingBuffer(r);
    }
    UCHAR NotEmpty(ULONG minimum) {
        UCHAR f = 0xAA;
        ReadNotemptyFlag(r, minimum, &f);
        return f;
    }
    RingBuffer* r;
};

class RingBufferTest : public ::testing::Test {
protected:
    void SetUp() override { hk::LogClear(); }
    void TearDown() override { EXPECT_TRUE(hk::OutstandingPool().empty()) << "ring storage leaked"; }
};

TEST_F(RingBufferTest, ExactFillSucceedsAndTheNextWriteOverflows) {
    Ring ring(100);
    auto data = Bytes(100, 0);
    EXPECT_EQ(WriteRingBuffer(ring.r, data.data(), 100), 100u);
    EXPECT_EQ(ring.r->currentSize, ring.r->totalSize);
    EXPECT_EQ(ReadFullFlag(ring.r), 0);

    UCHAR one = 0x77;
    EXPECT_EQ(WriteRingBuffer(ring.r, &one, 1), 0u);
    EXPECT_EQ(ReadFullFlag(ring.r), 1);
    EXPECT_TRUE(hk::LogHasLine("Velnor> ERROR: WriteRingBuffer() - OVERFLOW"));

    std::vector<UCHAR> out(100);
    EXPECT_EQ(ReadRingBuffer(ring.r, out.data(), 100), 100u);
    EXPECT_EQ(out, data) << "a refused write leaves the held bytes intact";
}

TEST_F(RingBufferTest, PositionsWrapAndUnitsStraddlingTheEndArriveInOrder) {
    {
        Ring exact(68);
        auto a = Bytes(34, 1), b = Bytes(34, 101);
        std::vector<UCHAR> out(34);
        WriteRingBuffer(exact.r, a.data(), 34);
        WriteRingBuffer(exact.r, b.data(), 34);
        EXPECT_EQ(exact.r->inPtr, exact.r->buffer) << "a write ending at the last byte wraps";
        ReadRingBuffer(exact.r, out.data(), 34);
        ReadRingBuffer(exact.r, out.data(), 34);
        EXPECT_EQ(out, b);
        EXPECT_EQ(exact.r->outPtr, exact.r->buffer) << "a read ending at the last byte wraps";
    }
    // 34-byte units in a 100-byte ring straddle the end at different offsets.
    Ring ring(100);
    UCHAR next = 0;
    std::vector<UCHAR> out(34);
    for (int i = 0; i < 40; ++i) {
        auto unit = Bytes(34, next);
        next = static_cast<UCHAR>(next + 34);
        ASSERT_EQ(WriteRingBuffer(ring.r, unit.data(), 34), 34u);
        ASSERT_EQ(ReadRingBuffer(ring.r, out.data(), 34), 34u);
        ASSERT_EQ(out, unit) << "unit " << i;
    }
    hk::LogClear();
    // Level-5 detail of a two-piece read appears only at DebugLevel 5.
    DebugLevel = 5;
    auto unit = Bytes(34, 0);
    while (ring.r->outPtr - ring.r->buffer + 34 <= 100) {
        WriteRingBuffer(ring.r, unit.data(), 34);
        ReadRingBuffer(ring.r, out.data(), 34);
    }
    WriteRingBuffer(ring.r, unit.data(), 34);
    ReadRingBuffer(ring.r, out.data(), 34);
    DebugLevel = 2;
    EXPECT_TRUE(hk::LogHasLine("Velnor> ReadRingBuffer() about to copy b"));
    EXPECT_TRUE(hk::LogHasLine("Velnor> WriteRingBuffer() copy 2"));
    EXPECT_EQ(out, unit);
}

TEST_F(RingBufferTest, NotEmptyMeansAUnitIsHeldWhenPolledWithTheUnitSize) {
    Ring ring(400);
    auto data = Bytes(340, 0);
    WriteRingBuffer(ring.r, data.data(), 339);
    EXPECT_EQ(ring.NotEmpty(340), 0);
    WriteRingBuffer(ring.r, data.data(), 1);
    EXPECT_EQ(ring.NotEmpty(340), 1);
    std::vector<UCHAR> out(340);
    EXPECT_EQ(ReadRingBuffer(ring.r, out.data(), 340), 340u);
    EXPECT_EQ(ring.r->notEmpty, 1) << "the read that takes the last byte leaves notEmpty set";
    EXPECT_EQ(ring.NotEmpty(34), 0);
    EXPECT_EQ(ring.NotEmpty(0), 0) << "cleared until data is offered again";
}

TEST_F(RingBufferTest, ReadLargerThanCapacityFailsAndLeavesTheFlags) {
    Ring ring(50);
    auto data = Bytes(50, 0);
    WriteRingBuffer(ring.r, data.data(), 50);
    WriteRingBuffer(ring.r, data.data(), 1);  // refused: full and notEmpty set
    std::vector<UCHAR> out(51);
    EXPECT_EQ(ReadRingBuffer(ring.r, out.data(), 51), 0u);
    EXPECT_TRUE(hk::LogHasLine("Velnor> ERROR: ReadRingBuffer() - totalSize exceeded"));
    EXPECT_EQ(ring.r->full, 1);
    EXPECT_EQ(ring.r->notEmpty, 1);
    EXPECT_EQ(ring.r->currentSize, 50u);
}

TEST_F(RingBufferTest, FullIsClearedByAWriteByAShortReadAndByAReset) {
    Ring ring(40);
    auto data = Bytes(40, 0);
    std::vector<UCHAR> out(40);
    auto overflow = [&] {
        ResetRingBuffer(ring.r);
        WriteRingBuffer(ring.r, data.data(), 34);
        WriteRingBuffer(ring.r, data.data(), 34);
        ASSERT_EQ(ReadFullFlag(ring.r), 1);
    };
    overflow();
    WriteRingBuffer(ring.r, data.data(), 6);  // fits exactly
    EXPECT_EQ(ReadFullFlag(ring.r), 0);

    overflow();
    EXPECT_EQ(ReadRingBuffer(ring.r, out.data(), 35), 0u) << "fewer held than asked";
    EXPECT_EQ(ReadFullFlag(ring.r), 0);
    EXPECT_EQ(ring.r->notEmpty, 0);
    EXPECT_EQ(ring.r->currentSize, 34u) << "a short read takes nothing";

    overflow();
    ResetRingBuffer(ring.r);
    EXPECT_EQ(ReadFullFlag(ring.r), 0);
    EXPECT_EQ(ring.r->currentSize, 0u);
    EXPECT_EQ(ring.r->inPtr, ring.r->buffer);
}

TEST_F(RingBufferTest, MissingRecordGivesNeutralResults) {
    UCHAR flag = 0xAA, byte = 0;
    ReadNotemptyFlag(nullptr, 34, &flag);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(ReadFullFlag(nullptr), 1);
    EXPECT_EQ(ReadRingBuffer(nullptr, &byte, 1), 0u);
    EXPECT_EQ(WriteRingBuffer(nullptr, &byte, 1), 0u);
    for (const char* line : {"Velnor> ReadNotemptyFlag: no ReadFullFlag", "Velnor> ReadFullFlag: no ReadFullFlag",
                             "Velnor> ERROR: ReadRingBuffer() - no ringBuffer",
                             "Velnor> ERROR: WriteRingBuffer() - no ringBuffer"})
        EXPECT_TRUE(hk::LogHasLine(line)) << line;
}

TEST_F(RingBufferTest, AllocationFailureFreesWhatItHadAndSaysWhich) {
    hk::FailPoolAllocation(VELNOR_POOL_TAG, 0);
    EXPECT_EQ(AllocRingBuffer(100), nullptr);
    EXPECT_TRUE(hk::LogHasLine("Velnor> ERROR: AllocRingBuffer() - no ringBuffer"));
    hk::FailPoolAllocation(VELNOR_POOL_TAG, 1);
    EXPECT_EQ(AllocRingBuffer(100), nullptr);
    EXPECT_TRUE(hk::LogHasLine("Velnor> ERROR: AllocRingBuffer() - no ringBuffer->buffer"));
}

// The IN completion writes at DISPATCH_LEVEL on the bus thread while a
// reader at passive level polls with its unit size and a 1 ms sleep, as the
// block reader does. Every unit must arrive once, whole and in order.
TEST_F(RingBufferTest, DispatchLevelWriterAgainstPollingReaderLosesNothing) {
    constexpr ULONG kUnit = 34;
    constexpr uint32_t kUnits = 20000;
    Ring ring(kUnit * 50);  // small, so the writer meets a full ring often
    std::atomic<uint32_t> written{0};

    // Each bus work item writes a burst of units, like one transfer's slots,
    // and re-posts itself for the next frame; a refused unit is tried again then.
    struct Writer {
        RingBuffer* r;
        std::atomic<uint32_t>* written;
        std::atomic<bool> done{false};
        void Step() {
            for (int k = 0; k < 4 && *written < kUnits; ++k) {
                uint32_t seq = *written;
                UCHAR unit[kUnit];
                for (ULONG i = 0; i < kUnit; ++i) unit[i] = static_cast<UCHAR>(seq * 7 + i);
                std::memcpy(unit, &seq, 4);
                if (WriteRingBuffer(r, unit, kUnit) != kUnit) break;
                ++*written;
            }
            if (*written < kUnits)
                hk::BusPostAt(hk::Now100ns() + 10000, [this] { Step(); });
            else
                done = true;
        }
    } writer{ring.r, &written};
    hk::BusPost([&] { writer.Step(); });

    uint32_t expected = 0;
    LARGE_INTEGER oneMs;
    oneMs.QuadPart = -10000;
    while (expected < kUnits) {
        UCHAR flag = 0;
        ReadNotemptyFlag(ring.r, kUnit, &flag);
        UCHAR unit[kUnit];
        if (flag && ReadRingBuffer(ring.r, unit, kUnit) == kUnit) {
            uint32_t seq;
            std::memcpy(&seq, unit, 4);
            ASSERT_EQ(seq, expected) << "lost or duplicated unit";
            for (ULONG i = 4; i < kUnit; ++i) ASSERT_EQ(unit[i], static_cast<UCHAR>(seq * 7 + i)) << "torn unit";
            ++expected;
        } else {
            KeDelayExecutionThread(KernelMode, FALSE, &oneMs);
        }
    }
    hk::BusFlush();
    EXPECT_TRUE(writer.done);
    EXPECT_EQ(ring.r->currentSize, 0u);
}

}  // namespace
