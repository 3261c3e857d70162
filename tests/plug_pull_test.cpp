// The streams against a bus that misbehaves: every IN and OUT transfer of a
// start failed, hung and stalled in turn, and the module pulled out at a
// seeded random moment and plugged back in, cycle after cycle
// (VELNOR_CYCLES sets the count for a long campaign). Each case must end
// both streams, leave no pool behind and let the next start run.
#include "support/module_harness.h"

#include <cstdlib>
#include <random>

namespace {

using velnor_test::kInStream;
using velnor_test::kOutStream;

constexpr uint8_t kIn = velnor::sim::kIsoInEndpoint;
constexpr uint8_t kOut = velnor::sim::kIsoOutEndpoint;
constexpr const char* kAbortLine =
    "Velnor> ERROR: Velnor_ProcessIOCTL: IOCTL_VELNOR_STOP_ISO_STREAM - transfers still pending, aborting the stream pipes";
// The stop's grace before the abort, the second after it, and a tick of
// slack for each of the two waits.
constexpr int64_t kStopBound100ns = 12500000 + 2 * 156250;

class BusFaultTest : public velnor_test::ModuleFixture {
protected:
    // Both streams have let go of their pipes; their last completions may
    // still be on their way back to the bus.
    static bool PipesFree() { return !IsoStreamClaimed(IsoStreamIn) && !IsoStreamClaimed(IsoStreamOut); }
    static size_t Pooled() {
        size_t n = 0;
        for (const auto& u : hk::OutstandingPool()) n += u.tag == VELNOR_POOL_TAG ? u.count : 0;
        return n;
    }
    // Stops whatever still runs and checks the device is back where it began:
    // the stop returns with both streams ended, without an abort when every
    // transfer came back.
    void ExpectWoundDown(size_t pooled) {
        const size_t aborts = hk::LogCount(kAbortLine);
        EXPECT_EQ(Stop(), STATUS_SUCCESS);
        EXPECT_TRUE(PipesFree()) << "the stop returned before the streams ended";
        ASSERT_TRUE(WaitFor([&] { return StreamsEnded(); }, 0.01));
        EXPECT_EQ(hk::LogCount(kAbortLine), aborts) << "a stop of streams that wind down aborted their pipes";
        EXPECT_EQ(Pooled(), pooled);
    }
    // Both streams start and carry data.
    void ExpectAcquisitionWorks() {
        const uint64_t in = bus_->Completed(kIn), out = bus_->Completed(kOut);
        ASSERT_EQ(StartIn(), STATUS_SUCCESS);
        ASSERT_EQ(StartOut(), STATUS_SUCCESS);
        EXPECT_TRUE(WaitFor([&] { return bus_->Completed(kIn) > in + 8 && bus_->Completed(kOut) > out + 8; }, 2.0));
    }
};

// Each transfer of the first round of both streams failed, hung and stalled
// in turn: the streams end or go on, a stop always winds them down, and a
// hung transfer keeps neither the stop nor the next start waiting.
TEST_F(BusFaultTest, EachTransferFailedHungAndStalledInTurn) {
    UseLargePacketRing();
    const size_t pooled = Pooled();
    enum Fault { Failed, Hung, Stalled };
    for (uint8_t endpoint : {kIn, kOut}) {
        const unsigned transfers = endpoint == kIn ? kInStream.TransferCount : kOutStream.TransferCount;
        for (Fault fault : {Failed, Hung, Stalled}) {
            for (unsigned nth = 1; nth <= transfers + 2; ++nth) {
                SCOPED_TRACE(testing::Message() << "endpoint " << int(endpoint) << ", fault " << fault << ", transfer " << nth);
                // A failure is armed for the nth submission; a hang or a stall
                // hits the transfer submitted after the nth millisecond.
                if (fault == Failed) bus_->FailTransfer(endpoint, nth, STATUS_UNSUCCESSFUL, USBD_STATUS_REQUEST_FAILED);
                ASSERT_EQ(StartIn(), STATUS_SUCCESS);
                const NTSTATUS out = StartOut();
                EXPECT_TRUE(out == STATUS_SUCCESS || out == STATUS_IO_TIMEOUT ||
                            out == STATUS_UNSUCCESSFUL)
                    << std::hex << out;
                if (fault != Failed) {
                    RunFor(0.001 * (nth - 1));
                    fault == Hung ? bus_->HangNextTransfer(endpoint) : bus_->StallNext(endpoint);
                }
                RunFor(0.05);
                if (fault == Hung) {
                    // The stop aborts the pipe the hung transfer holds, within
                    // its bound, and returns with both pipes free.
                    const size_t aborts = hk::LogCount(kAbortLine);
                    const int64_t before = hk::Now100ns();
                    EXPECT_EQ(Stop(), STATUS_SUCCESS);
                    EXPECT_LE(hk::Now100ns() - before, kStopBound100ns);
                    EXPECT_TRUE(PipesFree()) << "the stop returned under a hung transfer";
                    EXPECT_EQ(hk::LogCount(kAbortLine), aborts + 1);
                }
                ExpectWoundDown(pooled);
                ExpectAcquisitionWorks();
                ExpectWoundDown(pooled);
            }
        }
    }
}

unsigned Cycles() {
    const char* cycles = std::getenv("VELNOR_CYCLES");
    return cycles ? static_cast<unsigned>(std::strtoul(cycles, nullptr, 10)) : 60;
}

// Unplugs with both streams running at a seeded random moment (a frame, a
// fraction of one, or inside a completion's delay), plugs back in, and
// starts again; every cycle ends both streams without leaking.
TEST_F(BusFaultTest, PullingThePlugAtRandomMomentsLeavesNothingBehind) {
    UseLargePacketRing();
    const size_t pooled = Pooled();
    std::mt19937 random(20261206);
    for (unsigned cycle = 0; cycle < Cycles(); ++cycle) {
        SCOPED_TRACE(testing::Message() << "cycle " << cycle);
        bus_->SetCompletionDelay(kIn, random() % 2 ? 0 : random() % 5000);
        ASSERT_EQ(StartIn(), STATUS_SUCCESS);
        const NTSTATUS out = StartOut();
        ASSERT_TRUE(out == STATUS_SUCCESS) << std::hex << out;
        RunFor(static_cast<double>(random() % 40000) / 1e7);
        bus_->Unplug();
        ASSERT_TRUE(WaitFor([&] { return StreamsEnded(); }, 5.0)) << "the streams outlived the device";
        bus_->Plug();
        bus_->SetCompletionDelay(kIn, 0);
        ExpectWoundDown(pooled);
        ExpectAcquisitionWorks();
        ExpectWoundDown(pooled);
    }
}

}  // namespace
