// The ring buffer: capacity edges, wrap-around, flag rules, missing records,
// a dispatch-level writer racing a polling reader and resets racing both;
// and the entry and exit trace lines of the data path's routines.
#include "acquisition/key_events.h"
#include "acquisition/ring_buffer.h"
#include "output/packet_builder.h"
#include "output/signal_filter.h"
#include "support/test_thread.h"

#include <hostkernel/hostkernel.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <numeric>
#include <set>
#include <string>
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

// Exact fill, overflow, a read larger than the ring: each refusal leaves
// the held bytes and the flags as they were.
TEST_F(RingBufferTest, ExactFillOverflowAndAReadLargerThanTheRingAreRefusedIntact) {
    Ring ring(100);
    auto data = Bytes(100, 0);
    std::vector<UCHAR> out(101);
    EXPECT_EQ(WriteRingBuffer(ring.r, data.data(), 100), 100u);
    EXPECT_EQ(ring.r->currentSize, ring.r->totalSize);
    EXPECT_EQ(ReadFullFlag(ring.r), 0);
    EXPECT_EQ(WriteRingBuffer(ring.r, data.data(), 1), 0u);
    EXPECT_EQ(ReadFullFlag(ring.r), 1);
    EXPECT_TRUE(hk::LogHasLine("Velnor> ERROR: WriteRingBuffer() - OVERFLOW"));
    EXPECT_EQ(ReadRingBuffer(ring.r, out.data(), 101), 0u);
    EXPECT_TRUE(hk::LogHasLine("Velnor> ERROR: ReadRingBuffer() - totalSize exceeded"));
    EXPECT_EQ(ring.r->full, 1);
    EXPECT_EQ(ring.r->notEmpty, 1);
    EXPECT_EQ(ReadRingBuffer(ring.r, out.data(), 100), 100u);
    out.pop_back();
    EXPECT_EQ(out, data) << "a refused write leaves the held bytes intact";
}

TEST_F(RingBufferTest, PositionsWrapAndUnitsStraddlingTheEndArriveInOrder) {
    for (ULONG size : {68u, 100u}) {  // 68: writes and reads end at the last byte; 100: units straddle the end
        Ring ring(size);
        std::vector<UCHAR> out(34);
        for (int i = 0; i < 40; ++i) {
            auto unit = Bytes(34, static_cast<UCHAR>(i * 34));
            const bool endsAtLastByte = size == 68 && i % 2;
            ASSERT_EQ(WriteRingBuffer(ring.r, unit.data(), 34), 34u);
            EXPECT_TRUE(!endsAtLastByte || ring.r->inPtr == ring.r->buffer) << "a write ending at the last byte wraps";
            ASSERT_EQ(ReadRingBuffer(ring.r, out.data(), 34), 34u);
            EXPECT_TRUE(!endsAtLastByte || ring.r->outPtr == ring.r->buffer) << "a read ending at the last byte wraps";
            ASSERT_EQ(out, unit) << size << ", unit " << i;
        }
    }
}

// notEmpty means a unit is held when polled with the unit size; full is
// cleared by a write that fits, a short read and a reset.
TEST_F(RingBufferTest, NotEmptyAndFullFlags) {
    Ring ring(400);
    auto data = Bytes(340, 0);
    std::vector<UCHAR> out(340);
    WriteRingBuffer(ring.r, data.data(), 339);
    EXPECT_EQ(ring.NotEmpty(340), 0);
    WriteRingBuffer(ring.r, data.data(), 1);
    EXPECT_EQ(ring.NotEmpty(340), 1);
    EXPECT_EQ(ReadRingBuffer(ring.r, out.data(), 340), 340u);
    EXPECT_EQ(ring.r->notEmpty, 1) << "the read that takes the last byte leaves notEmpty set";
    EXPECT_EQ(ring.NotEmpty(34), 0);
    EXPECT_EQ(ring.NotEmpty(0), 0) << "cleared until data is offered again";

    Ring small(40);
    for (int way = 0; way < 3; ++way) {
        ResetRingBuffer(small.r);
        WriteRingBuffer(small.r, data.data(), 34);
        WriteRingBuffer(small.r, data.data(), 34);
        ASSERT_EQ(ReadFullFlag(small.r), 1);
        if (way == 0) WriteRingBuffer(small.r, data.data(), 6);  // fits exactly
        if (way == 1) {
            EXPECT_EQ(ReadRingBuffer(small.r, out.data(), 35), 0u) << "fewer held than asked";
            EXPECT_EQ(small.r->notEmpty, 0);
            EXPECT_EQ(small.r->currentSize, 34u) << "a short read takes nothing";
        }
        if (way == 2) {
            ResetRingBuffer(small.r);
            EXPECT_EQ(small.r->currentSize, 0u);
            EXPECT_EQ(small.r->inPtr, small.r->buffer);
        }
        EXPECT_EQ(ReadFullFlag(small.r), 0) << way;
    }
}

// The IN completion writes a burst of units per frame at DISPATCH_LEVEL on
// the bus thread while a reader at passive level polls with its unit size
// and a 1 ms sleep, as the block reader does. Every unit must arrive once,
// whole and in order.
TEST_F(RingBufferTest, DispatchLevelWriterAgainstPollingReaderLosesNothing) {
    constexpr ULONG kUnit = 34;
    constexpr uint32_t kUnits = 20000;
    Ring ring(kUnit * 50);  // small, so the writer meets a full ring often
    auto fill = [](UCHAR* unit, uint32_t seq) {
        for (ULONG i = 0; i < kUnit; ++i) unit[i] = static_cast<UCHAR>(seq * 7 + i);
        std::memcpy(unit, &seq, 4);
    };
    std::atomic<uint32_t> written{0};
    std::function<void()> step = [&] {
        UCHAR unit[kUnit];
        for (int k = 0; k < 4 && written < kUnits; ++k, ++written) {
            fill(unit, written);
            if (WriteRingBuffer(ring.r, unit, kUnit) != kUnit) break;  // refused: tried again next frame
        }
        if (written < kUnits) hk::BusPostAt(hk::Now100ns() + 10000, step);
    };
    hk::BusPost(step);

    LARGE_INTEGER oneMs;
    oneMs.QuadPart = -10000;
    for (uint32_t expected = 0; expected < kUnits;) {
        UCHAR flag = 0, unit[kUnit], want[kUnit];
        ReadNotemptyFlag(ring.r, kUnit, &flag);
        if (flag && ReadRingBuffer(ring.r, unit, kUnit) == kUnit) {
            fill(want, expected++);
            ASSERT_EQ(std::memcmp(unit, want, kUnit), 0) << "lost, duplicated or torn unit " << expected - 1;
        } else {
            KeDelayExecutionThread(KernelMode, FALSE, &oneMs);
        }
    }
    hk::BusFlush();
    EXPECT_EQ(written, kUnits);
    EXPECT_EQ(ring.r->currentSize, 0u);
}

// Resets racing a dispatch-level writer and a passive-level reader, as the
// stream requests reset the rings under a running IN completion and block
// request. Units carry their number first and last and a pattern between.
// While the test holds the ring's lock (a copy under way) a pending reset
// must change nothing; after it, the ring holds only whole, newer units.
TEST_F(RingBufferTest, ResetsRacingAWriterAndAReaderWaitForTheLockAndKeepTheRingConsistent) {
    constexpr ULONG kWords = 1000 + 3;  // a unit of 4012 bytes
    constexpr ULONG kUnit = 4 * kWords;
    constexpr ULONG kCapacity = kUnit * 15 / 2;  // units straddle the end at changing offsets
    constexpr int kRounds = 10;
    constexpr int kPatience = 10;  // yields the lock is held for, with the reset pending
    Ring ring(kCapacity);
    std::atomic<uint32_t> nextUnit{1};  // the unit the writer offers next; all before it are written whole
    std::atomic<uint32_t> unitsRead{0}, badUnits{0};
    std::atomic<int> resetsAsked{0}, resetsCalling{0}, resetsDone{0};
    auto wordOf = [](uint32_t seq, ULONG w) { return (w == 0 || w == kWords - 1) ? seq : seq * 0x9E3779B1u + w; };
    auto whole = [&](const uint32_t* unit) {
        for (ULONG w = 0; w < kWords; ++w)
            if (unit[w] != wordOf(unit[0], w)) return false;
        return true;
    };

    auto writer = velnor_test::StartThread(DISPATCH_LEVEL, [&](std::stop_token stop) {
        std::vector<uint32_t> unit(kWords);
        for (uint32_t seq = 1; !stop.stop_requested();) {
            for (ULONG w = 0; w < kWords; ++w) unit[w] = wordOf(seq, w);
            if (WriteRingBuffer(ring.r, reinterpret_cast<const UCHAR*>(unit.data()), kUnit) == kUnit)
                nextUnit = ++seq;
            else
                std::this_thread::yield();  // full: the reader makes room
        }
    });
    auto reader = velnor_test::StartThread(PASSIVE_LEVEL, [&](std::stop_token stop) {
        std::vector<uint32_t> unit(kWords);
        for (uint32_t last = 0; !stop.stop_requested();) {
            if (ReadRingBuffer(ring.r, reinterpret_cast<PUCHAR>(unit.data()), kUnit) != kUnit) {
                std::this_thread::yield();  // empty: the writer fills it
                continue;
            }
            if (!whole(unit.data()) || unit[0] <= last) ++badUnits;
            last = unit[0];
            ++unitsRead;
        }
    });
    auto resetter = velnor_test::StartThread(PASSIVE_LEVEL, [&](std::stop_token stop) {
        std::stop_callback wake(stop, [&] {
            ++resetsAsked;
            resetsAsked.notify_one();
        });
        for (int done = 0;;) {
            resetsAsked.wait(done);
            if (stop.stop_requested()) break;
            ++resetsCalling;
            ResetRingBuffer(ring.r);
            resetsDone = ++done;
        }
    });

    std::vector<uint32_t> held(kWords);
    for (int round = 0; round < kRounds && !HasFailure(); ++round) {
        const uint32_t readBefore = unitsRead;
        while (unitsRead - readBefore < 3) std::this_thread::yield();  // live traffic first

        KIRQL old = KeAcquireSpinLockRaiseToDpc(&ring.r->lock);
        const RingBuffer before = *ring.r;
        ++resetsAsked;
        resetsAsked.notify_one();
        while (resetsCalling <= round) std::this_thread::yield();
        bool untouched = true;
        for (int look = 0; look < kPatience && untouched; ++look) {
            std::this_thread::yield();
            untouched = ring.r->currentSize == before.currentSize && ring.r->inPtr == before.inPtr &&
                        ring.r->outPtr == before.outPtr && resetsDone == round;
        }
        const uint32_t oldest = nextUnit;  // no unit before this one may outlive the reset
        KeReleaseSpinLock(&ring.r->lock, old);
        EXPECT_TRUE(untouched) << "round " << round << ": the reset went ahead while a copy held the lock";
        while (resetsDone <= round) std::this_thread::yield();

        old = KeAcquireSpinLockRaiseToDpc(&ring.r->lock);
        const RingBuffer r = *ring.r;
        const ULONG in = static_cast<ULONG>(r.inPtr - r.buffer), out = static_cast<ULONG>(r.outPtr - r.buffer);
        bool consistent = r.currentSize <= kCapacity && in < kCapacity && out < kCapacity &&
                          (in + kCapacity - out) % kCapacity == r.currentSize % kCapacity &&
                          r.currentSize % kUnit == 0 && (r.currentSize == 0 || r.notEmpty);
        for (ULONG u = 0, previous = oldest - 1; consistent && u < r.currentSize / kUnit; ++u) {
            const ULONG at = (out + u * kUnit) % kCapacity, first = std::min(kUnit, kCapacity - at);
            std::memcpy(held.data(), r.buffer + at, first);
            std::memcpy(reinterpret_cast<UCHAR*>(held.data()) + first, r.buffer, kUnit - first);
            consistent = whole(held.data()) && held[0] > previous;
            previous = held[0];
        }
        KeReleaseSpinLock(&ring.r->lock, old);
        EXPECT_TRUE(consistent) << "after reset " << round << ": in " << in << ", out " << out << ", currentSize "
                                << r.currentSize << ", oldest unit allowed " << oldest;
    }
    writer.request_stop();
    reader.request_stop();
    resetter.request_stop();
    writer.join();
    reader.join();
    resetter.join();
    EXPECT_EQ(badUnits.load(), 0u) << "a unit read torn, or older than the one before it";
}

// Every routine of the ring buffer, the key queue, the filter stage and the
// output builder prints its START line at level 5 and, on every path out of
// it (refusals, missing records, allocation failures, empty reads), the
// matching EXIT line, nested properly; below level 5 it prints neither.
// Missing records and failed allocations give neutral results and say why.
TEST_F(RingBufferTest, TraceLinesPairOnEveryPathAtLevelFive) {
    struct LevelGuard {
        ~LevelGuard() { DebugLevel = 2; }
    } restoreLevel;
    DeviceExtension ext{};
    KeInitializeSpinLock(&ext.KeyLock);
    std::vector<UCHAR> bytes(200, 0x5A);
    auto drive = [&] {
        // Ring buffer: both allocation failures, missing records, refusals, one- and two-piece copies.
        hk::FailPoolAllocation(VELNOR_POOL_TAG, 0);
        EXPECT_EQ(AllocRingBuffer(100), nullptr);
        hk::FailPoolAllocation(VELNOR_POOL_TAG, 1);
        EXPECT_EQ(AllocRingBuffer(100), nullptr);
        UCHAR flag = 0xAA;
        ReadNotemptyFlag(nullptr, 34, &flag);
        EXPECT_EQ(flag, 0) << "a missing record reads as empty and full";
        EXPECT_EQ(ReadFullFlag(nullptr), 1);
        EXPECT_EQ(ReadRingBuffer(nullptr, bytes.data(), 1), 0u);
        EXPECT_EQ(WriteRingBuffer(nullptr, bytes.data(), 1), 0u);
        RingBuffer* r = AllocRingBuffer(100);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(ReadRingBuffer(r, bytes.data(), 101), 0u) << "larger than the ring";
        EXPECT_EQ(ReadRingBuffer(r, bytes.data(), 34), 0u) << "empty";
        EXPECT_EQ(WriteRingBuffer(r, bytes.data(), 101), 0u) << "overflow";
        EXPECT_EQ(WriteRingBuffer(r, bytes.data(), 60), 60u);
        EXPECT_EQ(ReadRingBuffer(r, bytes.data(), 60), 60u);
        EXPECT_EQ(WriteRingBuffer(r, bytes.data(), 60), 60u) << "two pieces";
        EXPECT_EQ(ReadRingBuffer(r, bytes.data(), 60), 60u) << "two pieces";
        ReadNotemptyFlag(r, 34, &flag);
        EXPECT_EQ(ReadFullFlag(r), 0);
        ResetRingBuffer(r);
        ext.IsoPacketRingBuffer = r;

        // Key queue, under its lock as its callers hold it: a dropped and a
        // stored entry, an update and an insert, take-outs of none and of a
        // released key; the key step with and without data; the flush.
        KIRQL old = KeAcquireSpinLockRaiseToDpc(&ext.KeyLock);
        while (ext.KeyCount < 16) InsertKey(&ext, 15);
        EXPECT_EQ(InsertKey(&ext, 7), VELNOR_KEY_DROPPED);
        ext.KeyCount = 0;
        UpdateAcqMakeCode(&ext, 7);
        UpdateAcqMakeCode(&ext, 7);
        ULONG taken[2] = {};
        FetchKeys(&ext, taken, 0);
        ext.KeyQueue[0] |= VELNOR_KEY_BREAK;
        FetchKeys(&ext, taken, 2);
        KeReleaseSpinLock(&ext.KeyLock, old);
        UpdateAcqKeys(&ext, 0, TRUE);
        UpdateAcqKeys(&ext, 0x8000, FALSE);
        UpdateAcqKeys(&ext, 0, FALSE);
        Velnor_KeypadFlush(&ext);

        // Filter stage: count 0, unknown selections and the canceller switched off.
        velnor_filter_load_defaults();
        velnor_filter_process(0);
        velnor_filter_set_line_notch(NOTCH_OFF);
        velnor_filter_set_line_notch(NOTCH_60HZ_SET);
        velnor_filter_set_lpf(7);
        velnor_filter_set_hpf(7);
        velnor_filter_init();

        // Output builder: refused counts and slots, a block without packets, a block with them.
        LoadOutputDefaults();
        EXPECT_EQ(Velnor_ReadPacket(&ext, 0), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(Velnor_ReadPacket(&ext, 1), STATUS_SUCCESS) << "no packets";
        UCHAR packet[34] = {0xFE, 0xFF};
        WriteRingBuffer(r, packet, 34);
        WriteRingBuffer(r, packet, 34);
        EXPECT_EQ(Velnor_ReadPacket(&ext, 1), STATUS_SUCCESS);
        EXPECT_EQ(FormatIsoOutPackets(bytes.data(), 1, 12), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(FormatIsoOutPackets(bytes.data(), 1, 13), STATUS_SUCCESS);
        ResetOutputState();
        FreeRingBuffer(r);
        ext.IsoPacketRingBuffer = nullptr;
    };

    DebugLevel = 4;
    hk::LogClear();
    drive();
    for (const char* line : {"Velnor> ERROR: AllocRingBuffer() - no ringBuffer",
                             "Velnor> ERROR: AllocRingBuffer() - no ringBuffer->buffer",
                             "Velnor> ReadNotemptyFlag: no ReadFullFlag", "Velnor> ReadFullFlag: no ReadFullFlag",
                             "Velnor> ERROR: ReadRingBuffer() - no ringBuffer",
                             "Velnor> ERROR: WriteRingBuffer() - no ringBuffer"})
        EXPECT_TRUE(hk::LogHasLine(line)) << line;
    for (const auto& line : hk::LogLines())
        EXPECT_EQ(line.find("() - START"), std::string::npos) << "traced below level 5: " << line;

    DebugLevel = 5;
    hk::LogClear();
    drive();
    std::vector<std::string> open;
    std::set<std::string> seen;
    for (const auto& line : hk::LogLines()) {
        // "Velnor> Name() - START", "... - EXIT", "... - EXIT (0x...)"; the filter's with "Velnor_filter> ".
        const size_t prefix = line.find("> "), call = line.find("() - ");
        if (prefix == std::string::npos || call == std::string::npos || call < prefix) continue;
        const std::string name = line.substr(prefix + 2, call - prefix - 2), what = line.substr(call + 5);
        if (what == "START") {
            open.push_back(name);
            seen.insert(name);
        } else if (what == "EXIT" || what.rfind("EXIT (0x", 0) == 0) {
            const bool paired = !open.empty() && open.back() == name;
            EXPECT_TRUE(paired) << "EXIT without its START: " << line;
            if (paired) open.pop_back();
        }
    }
    for (const auto& name : open) ADD_FAILURE() << name << "() printed START without EXIT";
    for (const char* name :
         {"AllocRingBuffer", "FreeRingBuffer", "ResetRingBuffer", "ReadNotemptyFlag", "ReadFullFlag", "ReadRingBuffer",
          "WriteRingBuffer", "InsertKey", "UpdateAcqMakeCode", "FetchKeys", "UpdateAcqKeys", "Velnor_KeypadFlush",
          "velnor_filter_process", "velnor_filter_init", "velnor_filter_set_line_notch", "velnor_filter_set_lpf",
          "velnor_filter_set_hpf", "velnor_filter_load_defaults", "LoadOutputDefaults", "ResetOutputState",
          "DeriveLeadsAndOutputs", "Velnor_ReadPacket", "FormatIsoOutPackets"})
        EXPECT_TRUE(seen.count(name)) << name << "() printed no START line";
}

}  // namespace
