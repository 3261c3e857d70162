// The two isochronous streams over the simulated bus and module: what IN stores, wind-down,
// failing submissions, trigger marks and how starts meet other streams. The verifier checks leaks
// and double completions after every test.
#include "support/module_harness.h"

#include <algorithm>
#include <cstddef>

namespace {

using velnor_test::kInStream;
using velnor_test::kOutStream;

constexpr uint8_t kIn = velnor::sim::kIsoInEndpoint;
constexpr uint8_t kOut = velnor::sim::kIsoOutEndpoint;

double Seconds(int64_t virtual100ns) { return static_cast<double>(virtual100ns) / 1e7; }

constexpr const char* kInDone = "Velnor> IsoStreamTransferCompleteIn: IsoStreamTransferCompleteIn All done, setting event";
constexpr const char* kOutDone =
    "Velnor> IsoStreamTransferCompleteOut: IsoStreamTransferCompleteOut All done, setting event";

class IsoStreamTest : public velnor_test::ModuleFixture {
protected:
    size_t Lines(const char* line) { return hk::LogCount(line); }
    bool Ended(double seconds = 5.0) { return WaitFor([&] { return StreamsEnded(); }, seconds); }
    // A refused start leaves the running acquisition as it was.
    void ExpectUntouched(USHORT expected, ULONG held) {
        EXPECT_EQ(ReadShared(SeqCheckArmed), 1);
        EXPECT_EQ(ReadShared(ExpectedSeqNum), expected);
        EXPECT_EQ(ReadShared(AcqModuleConnected), 1);
        EXPECT_TRUE(Holds(ext_->DataRingBuffer, held, 0)) << "the rings were not reset";
    }
    // Of two concurrent starts exactly one runs.
    static void ExpectOneRuns(NTSTATUS a, NTSTATUS b, int round) {
        EXPECT_TRUE((a == STATUS_SUCCESS && b == STATUS_DEVICE_BUSY) || (a == STATUS_DEVICE_BUSY && b == STATUS_SUCCESS))
            << "round " << round << ": 0x" << std::hex << a << " and 0x" << b;
    }
    static size_t Pooled() {
        size_t n = 0;
        for (const auto& u : hk::OutstandingPool()) n += u.tag == VELNOR_POOL_TAG ? u.count : 0;
        return n;
    }
    // Waits until a ring holds at least `bytes` (read under its lock).
    bool Holds(RingBuffer* ring, ULONG bytes, double seconds) {
        UCHAR flag = 0;
        return WaitFor([&] { return ReadNotemptyFlag(ring, bytes, &flag), flag != 0; }, seconds);
    }
    // Stops the streams without the stop request, which would reset the rings.
    void Halt() {
        WriteShared(StopIsoStream, 1);
        ASSERT_TRUE(Ended());
    }
    // The first packet the data ring holds (taken out of it).
    USHORT FirstSequence() {
        USHORT packet[17] = {};
        EXPECT_EQ(ReadRingBuffer(ext_->DataRingBuffer, reinterpret_cast<PUCHAR>(packet), sizeof packet), sizeof packet);
        EXPECT_EQ(packet[VELNOR_W_SYNC], VELNOR_SYNC_WORD);
        return packet[VELNOR_W_SEQU];
    }
};

TEST_F(IsoStreamTest, InStreamStoresTheModulesWordsInHostOrderInBothRings) {
    const uint32_t startFrame = hk::usb::HostController::FrameNumber();
    ASSERT_EQ(StartIn(), STATUS_SUCCESS);
    ASSERT_TRUE(Holds(ext_->DataRingBuffer, 34 * 200, 2.0));
    Halt();
    auto data = Drain(ext_->DataRingBuffer);
    auto copy = Drain(ext_->IsoPacketRingBuffer);
    ASSERT_GE(data.size(), 17u * 200);
    EXPECT_EQ(data, copy);
    // The module numbers packet k (of frame k / 2) 2k in 16 bits, in order from a frame after the
    // start; a pipe that fell idle on a slow machine starts again at a later frame.
    uint64_t k = 2ull * startFrame;
    for (size_t i = 0; i < data.size(); i += 17, ++k) {
        for (int skip = 0; skip < 32768 && static_cast<USHORT>(2 * k) != data[i + VELNOR_W_SEQU]; ++skip) ++k;
        ASSERT_EQ(std::vector<USHORT>(data.begin() + i, data.begin() + i + 17), module_->PacketAt(k)) << "packet " << k;
    }
    EXPECT_EQ(ReadShared(ext_->DescriptorRingBuffer), nullptr) << "the last transfer released the stream";
}

// The first data after creation resets both rings once; later data appends.
TEST_F(IsoStreamTest, FirstDataResetsTheRingsOnce) {
    if (InlineCompletion()) GTEST_SKIP() << "the start itself waits for the first data when completions run inline";
    bus_->SetSubmissionDelay(kIn, 10000000);  // the first transfers start a second late
    ASSERT_EQ(StartIn(), STATUS_SUCCESS);
    bus_->SetSubmissionDelay(kIn, 0);
    std::vector<UCHAR> junk(34, 0x11);
    for (RingBuffer* ring : {ext_->DataRingBuffer, ext_->IsoPacketRingBuffer}) WriteRingBuffer(ring, junk.data(), 34);
    ASSERT_TRUE(Holds(ext_->DataRingBuffer, 34 * 100, 3.0));
    Halt();
    auto data = Drain(ext_->DataRingBuffer);
    ASSERT_GE(data.size(), 17u * 100) << "data of many transfers, none reset away";
    EXPECT_EQ(data[0], VELNOR_SYNC_WORD) << "the junk went with the reset";
    EXPECT_EQ(std::count(data.begin(), data.end(), 0x1111), 0);
}

// Every start arms the sequence check with its first stored packet, also one alone in its slot.
TEST_F(IsoStreamTest, EveryStartArmsTheSequenceCheckWithItsFirstPacket) {
    ASSERT_EQ(StartIn(), STATUS_SUCCESS);
    ASSERT_TRUE(Holds(ext_->DataRingBuffer, 34, 5.0));
    EXPECT_EQ(ReadShared(SeqCheckArmed), 1);
    EXPECT_EQ(ReadShared(ExpectedSeqNum), FirstSequence());
    ASSERT_EQ(Stop(), STATUS_SUCCESS);
    ASSERT_TRUE(Ended());

    // 40-byte slots: one packet each, the first of its frame.
    ASSERT_EQ(StartIn({0, 40, 64, 4, 4}), STATUS_SUCCESS);
    ASSERT_TRUE(Holds(ext_->DataRingBuffer, 34, 5.0));
    EXPECT_EQ(ReadShared(SeqCheckArmed), 1) << "the second stream armed it again";
    const USHORT first = FirstSequence();
    EXPECT_EQ(ReadShared(ExpectedSeqNum), first);
    const auto step = static_cast<USHORT>(FirstSequence() - first);
    EXPECT_TRUE(step != 0 && step % 4 == 0) << step << ": one packet per slot, the first of its frame";
}

// Slots that claim 51, 0, 52 and 17 words in turn, and every fifth one left as its previous round
// left it. The words count up and every slot starts with the bytes FF FE.
class SlotScript : public velnor::sim::AcquisitionModule {
public:
    SlotScript() : AcquisitionModule({}) {}
    size_t IsoIn(uint8_t, uint32_t frame, uint8_t* data, size_t capacity) override {
        static const int kWords[] = {51, 0, 52, 17, -1};
        const int w = kWords[frame % 5];
        if (w < 0) return 0;
        size_t n = std::min<size_t>(static_cast<size_t>(w), (capacity - 6) / 2);
        std::fill(data, data + 6, 0);
        data[4] = static_cast<uint8_t>(w);
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

TEST_F(SlotTest, SlotsOf51WordsAreStoredOf52DroppedAndEmptyOrUnwrittenOnesAddNothing) {
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
    EXPECT_TRUE(std::equal(data.begin(), data.end(), first)) << "no slot twice";
    EXPECT_EQ(data[0], 0xFFFE) << "FF FE on the wire is 0xFFFE in the ring";
}

TEST_F(IsoStreamTest, InStreamStopsItselfWhenThePacketRingOverflowsWithoutAnOutStream) {
    ASSERT_EQ(StartIn(), STATUS_SUCCESS);
    ASSERT_TRUE(Ended());
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
    ASSERT_TRUE(Ended());
    WriteShared(DebugLevel, 2);
    EXPECT_EQ(Lines(kInDone), 4u);
    EXPECT_EQ(Lines(kOutDone), 4u);
    EXPECT_EQ(Lines("Velnor> IsoStreamTransferCompleteIn: IsoStreamStopped  1"), 1u);
    EXPECT_EQ(ReadShared(ext_->DescriptorRingBuffer), nullptr);
}

TEST_F(IsoStreamTest, AnErrorCompletionEndsTheInStream) {
    bus_->FailTransfer(kIn, 6, STATUS_UNSUCCESSFUL, USBD_STATUS_REQUEST_FAILED);
    ASSERT_EQ(StartIn(), STATUS_SUCCESS);
    ASSERT_TRUE(Ended());
    EXPECT_EQ(ReadShared(StopIsoStream), 1);
    EXPECT_EQ(bus_->Completed(kIn), 9u) << "five good transfers and the failed one, then three";
}

// A stack whose device is gone fails a submission inside IoCallDriver, so the completion may end
// and free the stream before the submitter goes on (in the start's loop and in a resubmitting
// completion). ASan catches any read of the freed stream.
TEST_F(IsoStreamTest, SubmissionsThatFailAtOnceEndTheStreamsCleanly) {
    UseLargePacketRing();
    PUSBD_INTERFACE_INFORMATION info = ext_->InterfaceInfo;
    velnor_test::FailingStack failing(bus_->PhysicalDevice(), info->Pipes[0].PipeHandle, info->Pipes[1].PipeHandle);
    PDEVICE_OBJECT attached = std::exchange(ext_->StackDeviceObject, failing.Device());
    WriteShared(DebugLevel, 5);  // the resubmission's trace line reports the pending count

    // Every submission of the start fails: the fourth frees the stream.
    failing.Pass(0, 0);
    EXPECT_EQ(StartIn(), STATUS_SUCCESS) << "a submission's status is only logged";
    EXPECT_FALSE(IsoStreamClaimed(IsoStreamIn)) << "the IN stream ended inside its start";
    EXPECT_EQ(ReadShared(IsoStreamStopped), 1);
    EXPECT_EQ(Lines(kInDone), 4u);
    EXPECT_EQ(ReadShared(ext_->DescriptorRingBuffer), nullptr);

    // One transfer, whose resubmission fails: it ends, and frees the stream,
    // inside the completion that resubmitted it.
    hk::LogClear();
    failing.Pass(1, 0);
    ASSERT_EQ(StartIn({0, 108, 64, 4, 1}), STATUS_SUCCESS);
    ASSERT_TRUE(Ended());
    EXPECT_EQ(Lines(kInDone), 1u);
    EXPECT_EQ(Lines("Velnor> IsoStreamTransferCompleteIn: PendingTransfers 1"), 2u)
        << "at its end and after the resubmission";

    // The OUT stream alike, with the IN stream running on the controller.
    hk::LogClear();
    failing.Pass(-1, 0);
    ASSERT_EQ(StartIn(), STATUS_SUCCESS);
    EXPECT_EQ(StartOut(), STATUS_SUCCESS);
    EXPECT_FALSE(IsoStreamClaimed(IsoStreamOut)) << "the OUT stream ended inside its start";
    EXPECT_EQ(Lines(kOutDone), 4u);
    hk::LogClear();
    failing.Pass(-1, 1);
    ASSERT_EQ(StartOut({1, 16, 0, 5, 1}), STATUS_SUCCESS);
    const char* resubmitted = "Velnor> IsoStreamTransferCompleteOut: PendingTransfers 1";
    ASSERT_TRUE(WaitFor([&] { return Lines(resubmitted) == 1; }, 5.0)) << "the trace after the resubmission";
    EXPECT_FALSE(IsoStreamClaimed(IsoStreamOut));
    EXPECT_EQ(Lines(kOutDone), 1u);

    // A resubmission refused at once with STATUS_UNSUCCESSFUL ends the transfer rather than
    // resubmitting one call deeper; a stack that marks it pending first sees 16 refusals, then the end.
    failing.FailWith(STATUS_UNSUCCESSFUL);
    for (bool pend : {false, true}) {
        hk::LogClear();
        failing.PendBeforeFailing(pend);
        const size_t failedBefore = failing.Failed();
        failing.Pass(-1, 1);
        ASSERT_EQ(StartOut({1, 16, 0, 5, 1}), STATUS_SUCCESS);
        ASSERT_TRUE(WaitFor([&] { return !IsoStreamClaimed(IsoStreamOut); }, 5.0));
        EXPECT_EQ(Lines(kOutDone), 1u);
        EXPECT_EQ(failing.Failed() - failedBefore, pend ? 17u : 1u);
    }
    failing.PendBeforeFailing(false);
    EXPECT_TRUE(IsoStreamClaimed(IsoStreamIn)) << "the IN stream runs on";
    WriteShared(DebugLevel, 2);
    Halt();
    ext_->StackDeviceObject = attached;
    EXPECT_EQ(failing.Failed(), 28u);
}

TEST_F(IsoStreamTest, OutTransferGoesOnAfterStatusUnsuccessfulAndEndsWhenCancelled) {
    ASSERT_EQ(StartIn(), STATUS_SUCCESS);
    ASSERT_EQ(StartOut(), STATUS_SUCCESS);
    WriteShared(DebugLevel, 5);
    RunFor(0.03);  // every completion from here on sees the level
    uint64_t completed = bus_->Completed(kOut);
    bus_->FailTransfer(kOut, 2, STATUS_UNSUCCESSFUL, USBD_STATUS_REQUEST_FAILED);
    ASSERT_TRUE(WaitFor([&] { return bus_->Completed(kOut) >= completed + 8; }, 5.0));
    EXPECT_EQ(Lines(kOutDone), 0u) << "STATUS_UNSUCCESSFUL goes on";
    bus_->FailTransfer(kOut, 1, STATUS_CANCELLED, USBD_STATUS_CANCELED);
    ASSERT_TRUE(WaitFor([&] { return Lines(kOutDone) == 1; }, 5.0)) << "a cancelled transfer ends";
    completed = bus_->Completed(kOut);
    ASSERT_TRUE(WaitFor([&] { return bus_->Completed(kOut) >= completed + 6; }, 5.0)) << "the three others go on";
    WriteShared(DebugLevel, 2);
    EXPECT_EQ(Lines(kOutDone), 1u);
}

// An OUT completion that finds the builder busy sends its slice again unbuilt, without the marks
// that fired before. Here every packet starts out marked and the builder is always busy.
TEST_F(IsoStreamTest, ASliceSentAgainWithoutTheBuilderCarriesNoMarks) {
    UseLargePacketRing();
    ASSERT_EQ(StartIn(), STATUS_SUCCESS);
    const ULONG packets = kOutStream.PacketsPerTransfer * kOutStream.TransferCount;
    for (ULONG k = 0; k < packets; ++k)
        for (size_t field : {offsetof(OutputPacket, trig), offsetof(OutputPacket, beep)})
            IsoOutBuffer[k * kOutStream.PacketSize + field] = 0xFF;
    struct Busy {
        Busy() { InterlockedExchange(&OutBuilderBusy, 1); }
        ~Busy() { InterlockedExchange(&OutBuilderBusy, 0); }
    } busy;
    ASSERT_EQ(StartOut(), STATUS_SUCCESS);
    ASSERT_TRUE(WaitFor([&] { return bus_->Completed(kOut) >= 4 * kOutStream.TransferCount; }, 5.0));
    Halt();
    const auto outputs = module_->Outputs();
    size_t trig = 0, beep = 0;
    for (const auto& o : outputs) trig += o.trig != 0, beep += o.beep != 0;
    EXPECT_GE(outputs.size(), 4u * packets);
    EXPECT_EQ(trig, packets) << "each mark fired once";
    EXPECT_EQ(beep, packets);
}

// Every R peak of the module's ECG comes back as one TRIG mark on the OUT pipe, while blocks are
// read as the application does, about 21 ms after the peak.
TEST_F(IsoStreamTest, OutPacketsCarryOneTriggerMarkPerQrsComplex) {
    ASSERT_EQ(StartIn(), STATUS_SUCCESS);
    ASSERT_EQ(StartOut(), STATUS_SUCCESS);
    const double start = Seconds(hk::Now100ns());
    for (int block = 0; block < 120; ++block) ASSERT_EQ(ReadBlock(200, 7).length, 3204u) << "block " << block;
    Halt();
    // The last frame the module received bounds the beats whose marks could have arrived.
    const auto outputs = module_->Outputs();
    ASSERT_FALSE(outputs.empty());
    const double end = outputs.back().frame / 1000.0;
    const auto triggers = module_->TriggerFrames();
    std::vector<double> delays;
    size_t beats = 0;
    for (const auto& beat : module_->Beats(end - 0.25)) {
        if (beat.r < start + 2) continue;  // the filter's start-up holds
        ++beats;
        size_t marks = 0;
        for (uint32_t f : triggers)
            if (const double d = f / 1000.0 - beat.r; d >= 0 && d < 0.25) ++marks, delays.push_back(d);
        EXPECT_EQ(marks, 1u) << "beat at " << beat.r;
    }
    ASSERT_GE(beats, 8u);
    std::sort(delays.begin(), delays.end());
    ASSERT_FALSE(delays.empty());
    const double median = delays[delays.size() / 2];
    EXPECT_TRUE(median > 0.015 && median < 0.030) << "R peak to TRIG on the OUT pipe: " << median;
    EXPECT_LT(delays.back(), 0.045) << "the longest delay";
}

// An OUT stream started long after the IN stream works on packets that arrive from then on, not
// on the ring's backlog (whose QRS complexes would make marks seconds late).
TEST_F(IsoStreamTest, AnOutStreamStartedLateWorksOnFreshPacketsOnly) {
    UseLargePacketRing();
    ASSERT_EQ(StartIn(), STATUS_SUCCESS);
    ASSERT_TRUE(WaitFor([&] { return module_->PacketsSent() >= 6000; }, 30.0)) << "three seconds of packets";
    ASSERT_TRUE(IsoStreamClaimed(IsoStreamIn)) << "the IN stream ran on";
    // The module numbers its packets 2 apart (16 bits), counted from the first stored.
    const USHORT first = FirstSequence();
    const uint64_t sentBefore = module_->PacketsSent();

    ASSERT_EQ(StartOut(), STATUS_SUCCESS);
    // The builder has run (the bus counts a transfer before its completion runs).
    ASSERT_TRUE(WaitFor([&] { return bus_->Completed(kOut) >= 1 && !ReadShared(FlushPacketRing); }, 5.0));
    USHORT packet[17];
    ASSERT_TRUE(WaitFor(
        [&] { return ReadRingBuffer(ext_->IsoPacketRingBuffer, reinterpret_cast<PUCHAR>(packet), 34) == 34; }, 5.0));
    const uint64_t sent = static_cast<USHORT>(packet[VELNOR_W_SEQU] - first) / 2;
    EXPECT_GE(sent, sentBefore) << "the OUT stream began with packets sent before its start";

    // Each mark follows an R peak after the OUT start by the usual delay.
    const double outStart = Seconds(hk::Now100ns());
    RunFor(3.0);
    Halt();
    const auto beats = module_->Beats(Seconds(hk::Now100ns()));
    size_t marks = 0;
    for (uint32_t f : module_->TriggerFrames()) {
        const double t = f / 1000.0;
        if (t < outStart) continue;
        ++marks;
        bool fresh = false;
        for (const auto& beat : beats) fresh = fresh || (beat.r >= outStart - 0.01 && t - beat.r >= 0 && t - beat.r < 0.06);
        EXPECT_TRUE(fresh) << "a mark at " << t << " s follows no R peak since the OUT start at " << outStart << " s";
    }
    EXPECT_GE(marks, 2u) << "three seconds of a 72 bpm ECG after the filter's start-up";
}

// START_OUT waits for two IN completions, at most a second of the clock each, though its sleeps
// end on 15.6 ms ticks.
TEST_F(IsoStreamTest, StartOutWaitsUpToASecondOfTheClockForInCompletions) {
    if (InlineCompletion()) GTEST_SKIP() << "late IN completions run inside the IN start when completions run inline";
    bus_->SetCompletionDelay(kIn, 5000000);  // 0.5 s
    ASSERT_EQ(StartIn(), STATUS_SUCCESS);
    int64_t before = hk::Now100ns();
    EXPECT_EQ(StartOut(), STATUS_SUCCESS);
    EXPECT_GT(Seconds(hk::Now100ns() - before), 0.4) << "it waited for the completions";
    EXPECT_LT(Seconds(hk::Now100ns() - before), 1.2);
    ASSERT_EQ(Stop(), STATUS_SUCCESS);
    ASSERT_TRUE(Ended(10.0));

    bus_->SetCompletionDelay(kIn, 25000000);  // 2.5 s
    ASSERT_EQ(StartIn(), STATUS_SUCCESS);
    hk::LogClear();
    before = hk::Now100ns();
    EXPECT_EQ(StartOut(), STATUS_IO_TIMEOUT) << "given up before the IN stream delivered";
    EXPECT_GE(Seconds(hk::Now100ns() - before), 1.0);
    EXPECT_LT(Seconds(hk::Now100ns() - before), 1.1) << "about a second, not 10000 polls of a whole tick";
    EXPECT_TRUE(hk::LogHasLine(
        "Velnor> ERROR: Velnor_ProcessIOCTL: IOCTL_VELNOR_START_ISO_STREAM_OUT - no IN completion within a second"));
    EXPECT_FALSE(IsoStreamClaimed(IsoStreamOut));
}

// A start while the streams run is refused at once and changes nothing.
TEST_F(IsoStreamTest, AStartWhileTheStreamsRunIsRefusedAndChangesNothing) {
    ASSERT_EQ(StartIn(), STATUS_SUCCESS);
    ASSERT_EQ(Request(IOCTL_VELNOR_ENABLE), STATUS_SUCCESS);
    ASSERT_EQ(StartOut(), STATUS_SUCCESS);
    const ULONG held = 2 * 68000;  // two seconds of packets
    ASSERT_TRUE(Holds(ext_->DataRingBuffer, held, 5.0));
    ASSERT_EQ(ReadShared(SeqCheckArmed), 1);
    const USHORT expected = ReadShared(ExpectedSeqNum);
    EXPECT_EQ(StartIn(), STATUS_DEVICE_BUSY);
    EXPECT_TRUE(hk::LogHasLine(
        "Velnor> ERROR: Velnor_ProcessIOCTL: IOCTL_VELNOR_START_ISO_STREAM_IN - a stream is still running"))
        << "refused at once, without waiting";
    ExpectUntouched(expected, held);
    EXPECT_EQ(ReadShared(StopIsoStream), 0);
    EXPECT_TRUE(IsoStreamClaimed(IsoStreamIn));
    EXPECT_TRUE(IsoStreamClaimed(IsoStreamOut));
}

// After a stop a start waits for both old streams to end (no pending OUT transfer may carry the old
// one on); if they do not end within a second it is refused and changes nothing. The STOP request
// itself waits for them and aborts what is late, so the long case is streams that stopped
// themselves, as a full ring makes them.
TEST_F(IsoStreamTest, AStartAfterStopWaitsForBothOldStreamsToEnd) {
    const char* didNotEnd =
        "Velnor> ERROR: Velnor_ProcessIOCTL: IOCTL_VELNOR_START_ISO_STREAM_IN - the previous streams did not end";
    UseLargePacketRing();
    // Slows every OUT transfer by `delay`, then stops: IN ends at once, OUT later.
    auto stopWithSlowOut = [&](int64_t delay, bool request) {
        bus_->SetCompletionDelay(kOut, delay);
        const uint64_t completed = bus_->Completed(kOut);
        ASSERT_TRUE(WaitFor([&] { return bus_->Completed(kOut) >= completed + kOutStream.TransferCount; }, 5.0));
        bus_->SetCompletionDelay(kOut, 0);
        if (request)
            ASSERT_EQ(Stop(), STATUS_SUCCESS);
        else
            WriteShared(StopIsoStream, 1);
    };
    ASSERT_EQ(StartIn(), STATUS_SUCCESS);
    ASSERT_EQ(StartOut(), STATUS_SUCCESS);
    stopWithSlowOut(1000000, false);  // 0.1 s: well within the wait
    hk::LogClear();
    ASSERT_EQ(StartIn(), STATUS_SUCCESS);
    EXPECT_FALSE(IsoStreamClaimed(IsoStreamOut)) << "the old OUT stream ended first";
    ASSERT_EQ(StartOut(), STATUS_SUCCESS) << "the OUT pipe is free for the new OUT stream";

    stopWithSlowOut(100000000, false);  // 10 s: far beyond the wait
    ASSERT_EQ(Request(IOCTL_VELNOR_ENABLE), STATUS_SUCCESS);
    ArmSequenceCheck(0x1234);
    Store(velnor_test::MakePacket(0x1234));
    const int64_t before = hk::Now100ns();
    EXPECT_EQ(StartIn(), STATUS_DEVICE_BUSY);
    EXPECT_GE(Seconds(hk::Now100ns() - before), 1.0);
    EXPECT_TRUE(hk::LogHasLine(didNotEnd));
    ExpectUntouched(0x1234, 34);
    EXPECT_EQ(ReadShared(StopIsoStream), 1);
    ASSERT_TRUE(Ended(30.0));
    EXPECT_EQ(StartIn(), STATUS_SUCCESS);
}

// Two starts at once: exactly one runs. Many transfers make the winner's set-up long.
TEST_F(IsoStreamTest, OfTwoConcurrentStartsExactlyOneRuns) {
    UseLargePacketRing();
    const IsoStreamRequest many = {0, 108, 64, 1, 32};
    for (int round = 0; round < 100; ++round) {
        NTSTATUS a = STATUS_PENDING, b = STATUS_PENDING;
        velnor_test::RunConcurrently({[&] { a = StartIn(many); }, [&] { b = StartIn(many); }});
        ExpectOneRuns(a, b, round);
        EXPECT_TRUE(IsoStreamClaimed(IsoStreamIn));
        EXPECT_NE(ReadShared(ext_->DescriptorRingBuffer), nullptr);
        ASSERT_EQ(Stop(), STATUS_SUCCESS);
        ASSERT_TRUE(Ended()) << "round " << round;
        EXPECT_EQ(ReadShared(ext_->DescriptorRingBuffer), nullptr);
    }
    // Two OUT starts alike: one runs, the other is refused before it waits.
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(StartIn(), STATUS_SUCCESS);
        NTSTATUS a = STATUS_PENDING, b = STATUS_PENDING;
        velnor_test::RunConcurrently({[&] { a = StartOut(); }, [&] { b = StartOut(); }});
        ExpectOneRuns(a, b, round);
        ASSERT_EQ(Stop(), STATUS_SUCCESS);
        ASSERT_TRUE(Ended()) << "round " << round;
    }
}

// Muscle noise on every electrode: no two packets look alike.
class NoisyPatientTest : public IsoStreamTest {
protected:
    velnor::sim::ModuleSettings Settings() override {
        velnor::sim::ModuleSettings settings;
        settings.ecg.muscleMv = 0.5;
        return settings;
    }
};

// Blocks read on two handles at once, as two threads of an application may:
// each block takes its packets in order with nothing of another block among
// them (a packet the bus lost leaves a gap), and has its own clean status.
TEST_F(NoisyPatientTest, BlocksReadOnTwoHandlesAtOnceAreEachWhole) {
    UseLargePacketRing();
    // Packet k goes out in frame k / 2, from a frame after the start.
    const uint64_t first = 2ull * hk::usb::HostController::FrameNumber();
    ASSERT_EQ(StartIn(), STATUS_SUCCESS);
    constexpr SHORT kSamples = 100, kRows = 7;  // the seven electrodes selected at load
    const ULONG length = VelnorBlockReplyBytes(kSamples, kRows);
    std::vector<std::vector<USHORT>> blocks[2];
    auto reader = [&](int r) {
        hk::Handle h;
        ASSERT_EQ(hk::OpenFile("\\\\.\\Velnor-0", &h), STATUS_SUCCESS);
        for (int b = 0; b < 10; ++b) {
            std::vector<USHORT> block(length / 2, 0);
            block[1] = kSamples;
            block[2] = kRows;
            const hk::IoResult io = hk::DeviceIoControl(h, IOCTL_VELNOR_READ_ISO_BUFFER, block.data(), 6, block.data(), length);
            EXPECT_EQ(io.status, STATUS_SUCCESS);
            EXPECT_EQ(io.information, length) << "an error block: status " << block[1];
            blocks[r].push_back(block);
        }
        hk::CloseFile(h);
    };
    velnor_test::RunConcurrently({[&] { reader(0); }, [&] { reader(1); }});
    const uint64_t last = 2ull * hk::usb::HostController::FrameNumber() + 2;
    std::vector<std::vector<uint16_t>> sent;
    for (uint64_t k = first; k < last; ++k) sent.push_back(module_->PacketAt(k));
    static constexpr int kWords[kRows] = {VELNOR_W_LA, VELNOR_W_LL, VELNOR_W_V1, VELNOR_W_V2,
                                          VELNOR_W_V3, VELNOR_W_V4, VELNOR_W_V5};
    auto isSample = [&](const std::vector<USHORT>& block, size_t s, size_t k) {
        for (int r = 0; r < kRows; ++r)
            if (block[r * kSamples + s] != sent[k][kWords[r]]) return false;
        return true;
    };
    std::vector<std::pair<size_t, size_t>> spans;  // first and last packet of each block
    for (int r = 0; r < 2; ++r) {
        for (size_t b = 0; b < blocks[r].size(); ++b) {
            SCOPED_TRACE(testing::Message() << "reader " << r << ", block " << b);
            EXPECT_EQ(blocks[r][b][(kRows + 1) * kSamples + 1], 0) << "PacketStatus";
            size_t k = 0, from = 0;
            for (size_t s = 0; s < kSamples; ++s, from = k + 1) {
                for (k = from; k < sent.size() && !isSample(blocks[r][b], s, k); ++k) {}
                ASSERT_LT(k, sent.size()) << "sample " << s << " is no packet after the one before";
                if (s == 0) spans.push_back({k, k});
            }
            spans.back().second = k;
        }
    }
    std::sort(spans.begin(), spans.end());
    for (size_t i = 1; i < spans.size(); ++i)
        EXPECT_GT(spans[i].first, spans[i - 1].second) << "a block holds packets " << spans[i - 1].first << " to "
                                                        << spans[i - 1].second << ", another packet " << spans[i].first;
}

TEST_F(IsoStreamTest, StartsAndReadsThatCannotRunAreRefusedWithoutAllocating) {
    hk::ResetAllocationCalls();
    auto refused = [&](NTSTATUS status, const char* stream, const char* why) {
        const std::string line = std::string("Velnor> ERROR: Velnor_StartIsoStream") + stream + "() - " + why;
        EXPECT_EQ(status, STATUS_INVALID_PARAMETER) << line;
        EXPECT_TRUE(hk::LogHasLine(line)) << line;
        EXPECT_EQ(hk::AllocationCalls(hk::Alloc::ExAllocatePoolWithTag), 0u) << line;
        EXPECT_EQ(hk::AllocationCalls(hk::Alloc::IoAllocateIrp), 0u) << line;
        hk::LogClear();
        hk::ResetAllocationCalls();
    };
    velnor_test::BlockReply block = ReadBlock(200, 7);
    EXPECT_EQ(block.status, STATUS_UNSUCCESSFUL) << "no stream, no ring buffer";
    EXPECT_EQ(block.length, 0u);
    EXPECT_TRUE(hk::LogHasLine("Velnor> Velnor_ProcessIOCTL: no ring buffer 1"));

    const ULONG pipes = ext_->InterfaceInfo->NumberOfPipes;
    refused(StartIn({pipes, 108, 64, 4, 4}), "In", "invalid pipe num");
    refused(StartIn({2, 108, 64, 4, 4}), "In", "invalid pipe type");  // bulk
    refused(StartIn({0, 108, 64, 256, 1}), "In", "256 packets per transfer, at most 255");
    refused(StartIn({0, 109, 64, 4, 4}), "In", "packet size 109 above the pipe's maximum of 108");
    // Slots too small, no descriptors/packets/transfers, more than any stream needs (one whose
    // transfer records would overflow a 32-bit size).
    for (IsoStreamRequest bad : {IsoStreamRequest{0, 4, 64, 8, 4}, IsoStreamRequest{0, 108, 0, 8, 4},
                                 IsoStreamRequest{0, 108, 64, 0, 4}, IsoStreamRequest{0, 108, 64, 8, 0},
                                 IsoStreamRequest{0, 6, 1, 1, 0x08000001}, IsoStreamRequest{0, 108, 64, 4, 65},
                                 IsoStreamRequest{0, 108, 65537, 4, 4}})
        refused(StartIn(bad), "In", "invalid stream parameters");
    EXPECT_EQ(StartOut(), STATUS_IO_TIMEOUT) << "no IN stream to wait for";

    // The largest transfer a URB takes, and the most transfers and descriptors.
    ASSERT_EQ(StartIn({0, 108, 65536, 255, 1}), STATUS_SUCCESS);
    Halt();
    ASSERT_EQ(StartIn({0, 108, 64, 4, 64}), STATUS_SUCCESS);
    Halt();
    ASSERT_EQ(StartIn(), STATUS_SUCCESS);
    EXPECT_EQ(StartIn(), STATUS_DEVICE_BUSY);
    hk::ResetAllocationCalls();  // the starts that ran
    refused(StartOut({pipes, 16, 0, 5, 4}), "Out", "invalid pipe num");
    refused(StartOut({1, 16, 0, 256, 1}), "Out", "256 packets per transfer, at most 255");
    refused(StartOut({1, 17, 0, 5, 4}), "Out", "packet size 17 above the pipe's maximum of 16");
    // Too many packets for the builder, too small for an output packet, too much for IsoOutBuffer.
    for (IsoStreamRequest bad : {IsoStreamRequest{1, 16, 0, 51, 4}, IsoStreamRequest{1, 12, 0, 10, 4},
                                 IsoStreamRequest{1, 16, 0, 50, 13}})
        refused(StartOut(bad), "Out", "invalid stream parameters");
    ASSERT_EQ(StartOut(), STATUS_SUCCESS);
    // A second OUT start is refused before it touches the running builder.
    RunFor(0.1);
    const int64_t asked = hk::Now100ns();
    EXPECT_EQ(StartOut(), STATUS_DEVICE_BUSY);
    EXPECT_EQ(hk::Now100ns(), asked) << "refused at once, without waiting for IN completions";
    EXPECT_EQ(ReadShared(FlushPacketRing), 0) << "the running stream's packet ring is not flushed";

    Halt();
    PUSBD_INTERFACE_INFORMATION info = std::exchange(ext_->InterfaceInfo, nullptr);
    EXPECT_EQ(StartIn(), STATUS_UNSUCCESSFUL) << "not configured";
    ext_->InterfaceInfo = info;
}

// Each allocation of a start failed in turn: the start fails, leaves nothing behind and lets the
// next start run.
TEST_F(IsoStreamTest, AStartThatCannotAllocateReleasesWhatItHad) {
    const size_t before = Pooled();
    hk::ResetAllocationCalls();
    ASSERT_EQ(StartIn(), STATUS_SUCCESS);
    const uint64_t pool = hk::AllocationCalls(hk::Alloc::ExAllocatePoolWithTag);
    const uint64_t irps = hk::AllocationCalls(hk::Alloc::IoAllocateIrp);
    EXPECT_EQ(irps, kInStream.TransferCount) << "one request per transfer";
    EXPECT_EQ(pool, 5 + kInStream.TransferCount) << "stream, buffer, ring and its record, transfers, one URB each";
    Halt();
    ASSERT_EQ(Pooled(), before);
    auto failEach = [&](uint64_t sites, auto start, IsoStreamDirection kind) {
        const size_t pooled = Pooled();
        for (unsigned nth = 1; nth <= sites; ++nth) {
            hk::FailAllocations site({hk::Alloc::Any, 0, nth});
            EXPECT_EQ(start(), STATUS_INSUFFICIENT_RESOURCES) << nth;
            EXPECT_EQ(site.Failed(), 1u) << nth;
            EXPECT_EQ(Pooled(), pooled) << nth;
            EXPECT_FALSE(IsoStreamClaimed(kind)) << nth;
            if (kind == IsoStreamIn) {
                EXPECT_EQ(ReadShared(ext_->DescriptorRingBuffer), nullptr) << nth;
            }
        }
    };
    failEach(pool + irps, [&] { return StartIn(); }, IsoStreamIn);
    EXPECT_TRUE(WaitFor([&] { return bus_->Pending() == 0; }, 1.0)) << "nothing was submitted";
    UseLargePacketRing();
    ASSERT_EQ(StartIn(), STATUS_SUCCESS);
    // The OUT start: stream, buffer, transfer records, a URB and a request per transfer.
    failEach(3 + 2 * kOutStream.TransferCount, [&] { return StartOut(); }, IsoStreamOut);
    EXPECT_EQ(bus_->Completed(kOut), 0u) << "nothing was submitted";
    EXPECT_EQ(StartOut(), STATUS_SUCCESS);
}

}  // namespace
