// The two isochronous streams over the simulated bus and module, on the
// fast kernel clock: what the IN stream stores, slot limits, the first-data
// reset, self-stop on overflow, stop and error wind-down, OUT statuses,
// trigger marks for the module's QRS complexes, and the start refusals.
// Every test ends with the verifier's leak and double-completion checks.
#include "support/module_harness.h"

#include <algorithm>
#include <cstdio>

namespace {

using velnor_test::kInStream;
using velnor_test::kOutStream;

class IsoStreamTest : public velnor_test::ModuleFixture {
protected:
    size_t Lines(const char* line) { return hk::LogCount(line); }
    // Waits until a ring holds at least `bytes` (read under its lock).
    bool Holds(RingBuffer* ring, ULONG bytes, double seconds) {
        return WaitFor([&] {
            UCHAR flag = 0;
            ReadNotemptyFlag(ring, bytes, &flag);
            return flag != 0;
        }, seconds);
    }
    // Stops the streams without the stop request, which would reset the rings.
    void Halt() {
        WriteShared(StopIsoStream, 1);
        ASSERT_TRUE(WaitFor([&] { return bus_->Pending() == 0 && ReadShared(IsoStreamStopped) == 1; }, 5.0));
    }
};

TEST_F(IsoStreamTest, InStreamStoresTheModulesWordsInHostOrderInBothRings) {
    ASSERT_EQ(StartIn(), STATUS_SUCCESS);
    ASSERT_TRUE(Holds(ext_->DataRingBuffer, 34 * 200, 2.0));
    Halt();
    auto data = Drain(ext_->DataRingBuffer);
    auto copy = Drain(ext_->IsoPacketRingBuffer);
    ASSERT_GE(data.size(), 17u * 200);
    EXPECT_EQ(data, copy);
    uint64_t k = data[VELNOR_W_SEQU] / 2;  // the module numbers packet k as 2k
    for (size_t i = 0; i < data.size(); i += 17, ++k)
        ASSERT_EQ(std::vector<USHORT>(data.begin() + i, data.begin() + i + 17), module_->PacketAt(k)) << "packet " << k;
    EXPECT_EQ(ReadShared(SeqCheckArmed), 1) << "the first stored packet arms the sequence check";
    EXPECT_EQ(ReadShared(IsoInCompleted), 1);
    EXPECT_EQ(ReadShared(ext_->DescriptorRingBuffer), nullptr) << "the last transfer released the stream";
}

// The first data after creation resets both rings once; later data appends.
TEST_F(IsoStreamTest, FirstDataResetsTheRingsOnce) {
    bus_->SetSubmissionDelay(velnor::sim::kIsoInEndpoint, 10000000);  // the first transfers start a second late
    ASSERT_EQ(StartIn(), STATUS_SUCCESS);
    bus_->SetSubmissionDelay(velnor::sim::kIsoInEndpoint, 0);
    UCHAR junk[34];
    std::fill(std::begin(junk), std::end(junk), 0x11);
    WriteRingBuffer(ext_->DataRingBuffer, junk, 34);
    WriteRingBuffer(ext_->IsoPacketRingBuffer, junk, 34);
    ASSERT_TRUE(Holds(ext_->DataRingBuffer, 34 * 100, 3.0));
    Halt();
    EXPECT_EQ(ReadShared(FirstIsoPacket), 0);
    auto data = Drain(ext_->DataRingBuffer);
    ASSERT_GE(data.size(), 17u * 100) << "data of many transfers, none reset away";
    EXPECT_EQ(data[0], VELNOR_SYNC_WORD) << "the junk went with the reset";
    EXPECT_EQ(std::count(data.begin(), data.end(), 0x1111), 0);
}

// A scripted function whose slots claim 51, 0, 52 and 17 words in turn; the
// words count up and every slot starts with the bytes FF FE.
class SlotScript : public velnor::sim::AcquisitionModule {
public:
    SlotScript() : AcquisitionModule({}) {}
    size_t IsoIn(uint8_t, uint32_t frame, uint8_t* data, size_t capacity) override {
        static const uint8_t kWords[] = {51, 0, 52, 17};
        const uint8_t w = kWords[frame % 4];
        size_t n = std::min<size_t>(w, (capacity - 6) / 2);
        std::fill(data, data + 6, 0);
        data[4] = w;
        std::lock_guard<std::mutex> guard(lock);
        for (size_t i = 0; i < n; ++i) {
            USHORT v = i == 0 ? 0xFFFE : static_cast<USHORT>(frame * 64 + i);
            data[6 + 2 * i] = static_cast<uint8_t>(v >> 8);
            data[7 + 2 * i] = static_cast<uint8_t>(v);
            if (w <= 51) sent.push_back(v);
        }
        return 6 + 2 * n;
    }
    std::mutex lock;
    std::vector<USHORT> sent;  // the words of every slot the driver should keep, in order
};

class SlotTest : public IsoStreamTest {
protected:
    std::shared_ptr<hk::usb::Function> MakeFunction() override { return std::make_shared<SlotScript>(); }
};

TEST_F(SlotTest, SlotsOf51WordsAreStoredOf52DroppedAndEmptyOnesAddNothing) {
    ASSERT_EQ(StartIn(), STATUS_SUCCESS);
    ASSERT_TRUE(Holds(ext_->DataRingBuffer, 68 * 2 * 10, 2.0));
    Halt();
    auto data = Drain(ext_->DataRingBuffer);
    auto& script = static_cast<SlotScript&>(*function_);
    std::lock_guard<std::mutex> guard(script.lock);
    ASSERT_GE(data.size(), 68u * 10);
    ASSERT_LE(data.size(), script.sent.size());
    auto first = std::search(script.sent.begin(), script.sent.end(), data.begin(), data.begin() + 68);
    ASSERT_NE(first, script.sent.end()) << "the stored words are the kept slots' words";
    EXPECT_TRUE(std::equal(data.begin(), data.end(), first));
    EXPECT_EQ(data[0], 0xFFFE) << "FF FE on the wire is 0xFFFE in the ring";
}

TEST_F(IsoStreamTest, InStreamStopsItselfWhenThePacketRingOverflowsWithoutAnOutStream) {
    ASSERT_EQ(StartIn(), STATUS_SUCCESS);
    ASSERT_TRUE(WaitFor([&] { return ReadShared(IsoStreamStopped) == 1 && bus_->Pending() == 0; }, 5.0));
    EXPECT_EQ(ReadShared(StopIsoStream), 1);
    EXPECT_TRUE(hk::LogHasLine("Velnor> ERROR: WriteRingBuffer() - OVERFLOW"));
    EXPECT_EQ(ReadFullFlag(ext_->IsoPacketRingBuffer), 1);
    EXPECT_EQ(ReadShared(ext_->DescriptorRingBuffer), nullptr);
}

TEST_F(IsoStreamTest, StopWindsBothStreamsDownAndOnlyTheLastInTransferSetsStopped) {
    ASSERT_EQ(StartIn(), STATUS_SUCCESS);
    ASSERT_EQ(StartOut(), STATUS_SUCCESS);
    RunFor(0.1);
    WriteShared(DebugLevel, 5);
    RunFor(0.03);  // every completion from here on sees the level
    ASSERT_EQ(Stop(), STATUS_SUCCESS);
    ASSERT_TRUE(WaitFor([&] { return bus_->Pending() == 0 && ReadShared(IsoStreamStopped) == 1; }, 5.0));
    WriteShared(DebugLevel, 2);
    EXPECT_EQ(Lines("Velnor> IsoStreamTransferCompleteIn: IsoStreamTransferCompleteIn All done, setting event"), 4u);
    EXPECT_EQ(Lines("Velnor> IsoStreamTransferCompleteOut: IsoStreamTransferCompleteOut All done, setting event"), 4u);
    EXPECT_EQ(Lines("Velnor> IsoStreamTransferCompleteIn: IsoStreamStopped  1"), 1u);
    EXPECT_EQ(ReadShared(ext_->DescriptorRingBuffer), nullptr);
    // Both streams can start again.
    ASSERT_EQ(StartIn(), STATUS_SUCCESS);
    EXPECT_EQ(StartOut(), STATUS_SUCCESS);
}

TEST_F(IsoStreamTest, AnErrorCompletionEndsTheInStream) {
    bus_->FailTransfer(velnor::sim::kIsoInEndpoint, 6, STATUS_UNSUCCESSFUL, USBD_STATUS_REQUEST_FAILED);
    ASSERT_EQ(StartIn(), STATUS_SUCCESS);
    ASSERT_TRUE(WaitFor([&] { return ReadShared(IsoStreamStopped) == 1 && bus_->Pending() == 0; }, 5.0));
    EXPECT_EQ(ReadShared(StopIsoStream), 1);
    EXPECT_EQ(bus_->Completed(velnor::sim::kIsoInEndpoint), 9u) << "five good transfers and the failed one, then three";
}

TEST_F(IsoStreamTest, OutTransferGoesOnAfterStatusUnsuccessfulAndEndsWhenCancelled) {
    const char* done = "Velnor> IsoStreamTransferCompleteOut: IsoStreamTransferCompleteOut All done, setting event";
    const uint8_t out = velnor::sim::kIsoOutEndpoint;
    ASSERT_EQ(StartIn(), STATUS_SUCCESS);
    ASSERT_EQ(StartOut(), STATUS_SUCCESS);
    WriteShared(DebugLevel, 5);
    RunFor(0.03);  // every completion from here on sees the level
    uint64_t completed = bus_->Completed(out);
    bus_->FailTransfer(out, 2, STATUS_UNSUCCESSFUL, USBD_STATUS_REQUEST_FAILED);
    ASSERT_TRUE(WaitFor([&] { return bus_->Completed(out) >= completed + 8; }, 5.0));
    EXPECT_EQ(Lines(done), 0u) << "STATUS_UNSUCCESSFUL goes on";
    bus_->FailTransfer(out, 1, STATUS_CANCELLED, USBD_STATUS_CANCELED);
    ASSERT_TRUE(WaitFor([&] { return Lines(done) == 1; }, 5.0)) << "a cancelled transfer ends";
    completed = bus_->Completed(out);
    ASSERT_TRUE(WaitFor([&] { return bus_->Completed(out) >= completed + 6; }, 5.0)) << "the three others go on";
    WriteShared(DebugLevel, 2);
    EXPECT_EQ(Lines(done), 1u);
}

// The trigger output: every R peak of the module's ECG comes back as one
// TRIG mark on the OUT pipe, while blocks are read as the application reads
// them. Prints the delay from R peak to the frame that carried the mark.
TEST_F(IsoStreamTest, OutPacketsCarryOneTriggerMarkPerQrsComplex) {
    ASSERT_EQ(StartIn(), STATUS_SUCCESS);
    ASSERT_EQ(StartOut(), STATUS_SUCCESS);
    const double start = hk::Now100ns() / 1e7;
    for (int block = 0; block < 120; ++block) ASSERT_EQ(ReadBlock(200, 7).length, 3204u) << "block " << block;
    Halt();
    // The last frame the module received bounds the beats whose marks could
    // have arrived (the bus may run behind a fast clock).
    const auto outputs = module_->Outputs();
    ASSERT_FALSE(outputs.empty());
    const double end = outputs.back().frame / 1000.0;
    auto triggers = module_->TriggerFrames();
    std::vector<double> delays;
    size_t beats = 0;
    for (const auto& beat : module_->Beats(end - 0.25)) {
        if (beat.r < start + 2) continue;  // the filter's start-up holds
        ++beats;
        size_t marks = 0;
        for (uint32_t f : triggers) {
            double d = f / 1000.0 - beat.r;
            if (d >= 0 && d < 0.25) {
                ++marks;
                delays.push_back(d);
            }
        }
        EXPECT_EQ(marks, 1u) << "beat at " << beat.r;
    }
    ASSERT_GE(beats, 8u);
    std::sort(delays.begin(), delays.end());
    ASSERT_FALSE(delays.empty());
    std::printf("R peak to TRIG on the OUT pipe: median %.1f ms, max %.1f ms over %zu beats\n",
                1000 * delays[delays.size() / 2], 1000 * delays.back(), delays.size());
}

TEST_F(IsoStreamTest, StartsThatCannotRunAreRefusedWithoutAllocating) {
    IsoStreamRequest r = kInStream;
    r.PipeNum = 5;  // the number of pipes
    EXPECT_EQ(StartIn(r), STATUS_INVALID_PARAMETER);
    r.PipeNum = 2;  // bulk
    EXPECT_EQ(StartIn(r), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(hk::LogHasLine("Velnor> ERROR: Velnor_StartIsoStreamIn() - invalid pipe type"));
    for (IsoStreamRequest bad : {IsoStreamRequest{0, 4, 64, 8, 4}, IsoStreamRequest{0, 108, 0, 8, 4},
                                 IsoStreamRequest{0, 108, 64, 0, 4}, IsoStreamRequest{0, 108, 64, 8, 0},
                                 IsoStreamRequest{0, 4000, 64, 17, 4}})
        EXPECT_EQ(StartIn(bad), STATUS_INVALID_PARAMETER) << bad.PacketSize << " " << bad.PacketsPerTransfer;
    EXPECT_EQ(StartOut(), STATUS_IO_TIMEOUT) << "no IN stream to wait for";

    ASSERT_EQ(StartIn(), STATUS_SUCCESS);
    EXPECT_EQ(StartIn(), STATUS_DEVICE_BUSY);
    for (IsoStreamRequest bad : {IsoStreamRequest{1, 16, 0, 51, 4}, IsoStreamRequest{1, 12, 0, 10, 4},
                                 IsoStreamRequest{1, 50, 0, 50, 5}})
        EXPECT_EQ(StartOut(bad), STATUS_INVALID_PARAMETER) << bad.PacketSize << " " << bad.PacketsPerTransfer;
    ASSERT_EQ(StartOut(), STATUS_SUCCESS);
    EXPECT_EQ(StartOut(), STATUS_DEVICE_BUSY);

    Halt();
    PUSBD_INTERFACE_INFORMATION info = std::exchange(ext_->InterfaceInfo, nullptr);
    EXPECT_EQ(StartIn(), STATUS_UNSUCCESSFUL) << "not configured";
    ext_->InterfaceInfo = info;
}

// Every allocation of the start (pool and requests), counted on a start
// that succeeds and then failed in turn: the start fails and leaves nothing
// behind; the verifier's leak check runs at the end.
TEST_F(IsoStreamTest, AStartThatCannotAllocateReleasesWhatItHad) {
    auto pooled = [] {
        size_t n = 0;
        for (const auto& u : hk::OutstandingPool()) n += u.tag == VELNOR_POOL_TAG ? u.count : 0;
        return n;
    };
    const size_t before = pooled();
    hk::ResetAllocationCalls();
    ASSERT_EQ(StartIn(), STATUS_SUCCESS);
    const uint64_t pool = hk::AllocationCalls(hk::Alloc::ExAllocatePoolWithTag);
    const uint64_t irps = hk::AllocationCalls(hk::Alloc::IoAllocateIrp);
    EXPECT_EQ(irps, kInStream.TransferCount) << "one request per transfer";
    EXPECT_EQ(pool, 5 + kInStream.TransferCount) << "stream, buffer, ring and its record, transfers, one URB each";
    Halt();
    ASSERT_EQ(pooled(), before);
    for (unsigned nth = 1; nth <= pool + irps; ++nth) {
        hk::FailAllocations site({hk::Alloc::Any, 0, nth});
        EXPECT_EQ(StartIn(), STATUS_INSUFFICIENT_RESOURCES) << nth;
        EXPECT_EQ(site.Failed(), 1u) << nth;
        EXPECT_EQ(pooled(), before) << nth;
        EXPECT_EQ(ReadShared(ext_->DescriptorRingBuffer), nullptr);
    }
    EXPECT_TRUE(WaitFor([&] { return bus_->Pending() == 0; }, 1.0)) << "nothing was submitted";
    EXPECT_EQ(StartIn(), STATUS_SUCCESS);
}

}  // namespace
