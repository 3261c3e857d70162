// While the application keeps up, every packet the module sent reaches the
// data ring once and in order: checked word for word against the module's
// own packets over a run of virtual time (VELNOR_NO_LOSS_MINUTES; 1440 for
// the day-long campaign).
#include "support/module_harness.h"

#include <cstdlib>

namespace {

class NoLossTest : public velnor_test::ModuleFixture {};

double Minutes() {
    const char* minutes = std::getenv("VELNOR_NO_LOSS_MINUTES");
    return minutes ? std::strtod(minutes, nullptr) : 2.0;
}

TEST_F(NoLossTest, EveryPacketSentArrivesOnceAndInOrder) {
    UseLargePacketRing();
    ASSERT_EQ(StartIn(), STATUS_SUCCESS);
    ASSERT_EQ(StartOut(), STATUS_SUCCESS);
    const double seconds = Minutes() * 60;
    uint64_t next = 0;  // the module's number of the next packet expected
    bool found = false;
    uint64_t received = 0;
    for (double t = 0; t < seconds; t += 0.1) {
        RunFor(0.1);
        const std::vector<USHORT> words = Drain(ext_->DataRingBuffer);
        for (size_t at = 0; at + 17 <= words.size(); at += 17) {
            const std::vector<uint16_t> got(words.begin() + at, words.begin() + at + 17);
            if (!found) {
                // The ring starts with the first packet after the stream's reset.
                for (uint64_t k = 0; k < module_->PacketsSent() && !found; ++k)
                    if (module_->PacketAt(k) == got) next = k, found = true;
                ASSERT_TRUE(found) << "the first packet is none the module sent";
            }
            ASSERT_EQ(got, module_->PacketAt(next)) << "packet " << next << " at " << t << " s";
            ++next;
            ++received;
        }
    }
    ASSERT_FALSE(ReadShared(StopIsoStream)) << "the stream stopped itself";
    // What is still on its way is less than the ring's poll interval.
    EXPECT_NEAR(static_cast<double>(module_->PacketsSent()), static_cast<double>(next), 2000 * 0.1 + 64);
    EXPECT_GE(received, static_cast<uint64_t>(seconds * 2000 * 0.99));
}

// An application that stops reading overflows the data ring in about ten
// seconds: the stream stops, and the next block says FIFO full instead of
// handing out data with a hole in it.
TEST_F(NoLossTest, FallingBehindShowsAsAFifoFullBlock) {
    UseLargePacketRing();
    ASSERT_EQ(StartIn(), STATUS_SUCCESS);
    ASSERT_EQ(StartOut(), STATUS_SUCCESS);
    RunFor(12);
    EXPECT_TRUE(ReadFullFlag(ext_->DataRingBuffer));
    EXPECT_EQ(ReadShared(StopIsoStream), 1);
    const uint64_t held = ext_->DataRingBuffer->currentSize / VELNOR_PACKET_BYTES;
    EXPECT_GT(module_->PacketsSent(), held) << "nothing was lost, so nothing was shown";
    const velnor_test::BlockReply r = ReadBlock(200, 7);
    ASSERT_EQ(r.length, 4u) << std::hex << r.status;
    EXPECT_EQ(r.words[0], ERR_SSI_FIFO_FULL);
    EXPECT_EQ(r.words[1], VELNOR_STATUS_FIFO_FULL);
}

}  // namespace
