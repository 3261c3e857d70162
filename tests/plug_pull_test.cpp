// The streams against a bus that misbehaves: every IN and OUT transfer of a
// start failed, hung and stalled in turn, and the module pulled out at a
// seeded random moment and plugged back in, cycle after cycle
// (VELNOR_CYCLES sets the count for a long campaign). Each case must end
// both streams, leave no pool behind and let the next start run.
#include "core/device_core.h"
#include "support/module_harness.h"

#include <hostkernel/pnp.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <random>
#include <set>

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

// VELNOR_CYCLES for a long campaign, else the suite's short run.
unsigned Cycles(unsigned suite = 60) {
    const char* cycles = std::getenv("VELNOR_CYCLES");
    return cycles ? static_cast<unsigned>(std::strtoul(cycles, nullptr, 10)) : suite;
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

// Lets `ms` milliseconds of kernel time pass on the calling thread.
void RunForMs(double ms) {
    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<LONGLONG>(ms * 1e4);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// The application side of a cycle: handles opened from several threads,
// blocks and keys read on several threads while another changes settings,
// and a puller that starts the streams and, at a seeded random moment,
// pulls the plug, stops and starts the streams, or (with workers closing and
// reopening their handles at random) pulls the plug. Every request must end
// with a clear status, and the thread that sent it must get it back.
class ApplicationCycle {
public:
    enum Variant { Unplug, StopStart, ClosingHandles };

    ApplicationCycle(hk::pnp::UsbDevice& device, Variant variant, unsigned seed)
        : device_(device), variant_(variant), seed_(seed) {}

    void Run(bool awaitFirstBlock) {
        std::mt19937 random(seed_);
        const int64_t moment = random() % 1500000;  // up to 150 ms, in 100 ns units
        velnor_test::RunConcurrently({
            [&] { Worker(0, &ApplicationCycle::ReadBlock); },
            [&] { Worker(1, &ApplicationCycle::ReadBlock); },
            [&] { Worker(2, &ApplicationCycle::ReadKey); },
            [&] { Worker(3, &ApplicationCycle::ChangeSettings); },
            [&] { Puller(awaitFirstBlock, moment); },
        });
    }

    std::vector<std::string> Unclear() {
        std::lock_guard<std::mutex> guard(lock_);
        return unclear_;
    }
    uint64_t Blocks() const { return blocks_.load(); }
    uint64_t Requests() const { return requests_.load(); }
    std::map<NTSTATUS, uint64_t> ByStatus() {
        std::lock_guard<std::mutex> guard(lock_);
        return byStatus_;
    }

private:
    using Step = void (ApplicationCycle::*)(hk::Handle, std::mt19937&);
    static constexpr uint64_t kBusyLoopRequests = 100000;

    static bool Clear(NTSTATUS s) {
        static const std::set<NTSTATUS> clear = {
            STATUS_SUCCESS,       STATUS_UNSUCCESSFUL,          STATUS_DEVICE_BUSY,   STATUS_IO_TIMEOUT,
            STATUS_DELETE_PENDING, STATUS_DEVICE_NOT_CONNECTED, STATUS_CANCELLED,     STATUS_NO_SUCH_DEVICE};
        return clear.count(s) != 0;
    }
    void Expect(const char* what, NTSTATUS s) {
        // A cycle sends under a hundred requests. Far more means a thread
        // retries without ever waiting, and the discrete clock stands still
        // for it: the cycle is ended as a failure rather than left to hang.
        if (++requests_ == kBusyLoopRequests) {
            done_ = true;
            std::lock_guard<std::mutex> guard(lock_);
            unclear_.push_back(std::string(what) + " retried without a pause: a busy loop stops the clock");
        }
        std::lock_guard<std::mutex> guard(lock_);
        ++byStatus_[s];
        if (Clear(s)) return;
        char status[16];
        std::snprintf(status, sizeof status, "0x%08X", static_cast<ULONG>(s));
        unclear_.push_back(std::string(what) + " ended with " + status);
    }
    NTSTATUS Send(hk::Handle h, ULONG code, const void* in = nullptr, ULONG inLength = 0, void* out = nullptr,
                  ULONG outLength = 0) {
        return hk::DeviceIoControl(h, code, in, inLength, out, outLength).status;
    }

    void ReadBlock(hk::Handle h, std::mt19937&) {
        const ULONG reply = VelnorBlockReplyBytes(200, 7);
        std::vector<USHORT> block(reply / 2 + 3, 0);
        block[1] = 200;
        block[2] = 7;
        const hk::IoResult r = hk::DeviceIoControl(h, IOCTL_VELNOR_READ_ISO_BUFFER, block.data(), 6, block.data(), reply);
        Expect("READ_ISO_BUFFER", r.status);
        if (r.status == STATUS_SUCCESS && r.information == reply) {
            ++blocks_;
            return;
        }
        // No stream (refused at once) or an overflowed ring (an error block
        // at once): pause as an application would. A reader retrying without
        // a kernel wait would hold the discrete clock still for everyone.
        RunForMs(1);
    }
    void ReadKey(hk::Handle h, std::mt19937& random) {
        ULONG key = 0;
        if (random() % 2) {
            Expect("KEYPAD_GETKEY", Send(h, IOCTL_VELNOR_KEYPAD_GETKEY, &key, sizeof key, &key, sizeof key));
        } else {
            Expect("read", hk::ReadFile(h, &key, sizeof key).status);
        }
        RunForMs(1);
    }
    void ChangeSettings(hk::Handle h, std::mt19937& random) {
        struct Setting {
            ULONG code, values[2];
        };
        static const Setting settings[] = {{IOCTL_VELNOR_SET_HPF, {HPF_FILTER_01, HPF_FILTER_05}},
                                           {IOCTL_VELNOR_SET_LPF, {LPF_FILTER_100, LPF_FILTER_150}},
                                           {IOCTL_VELNOR_SET_NTCH, {VELNOR_NOTCH_50HZ, VELNOR_NOTCH_60HZ}}};
        const Setting& setting = settings[random() % 3];
        const ULONG value = setting.values[random() % 2];
        Expect("a setting", Send(h, setting.code, &value, sizeof value));
        UCHAR version[6];
        Expect("GET_DRIVER_VERSION", Send(h, IOCTL_VELNOR_GET_DRIVER_VERSION, nullptr, 0, version, sizeof version));
        RunForMs(2);
    }

    // Opens its own handle and runs `step` until the cycle ends or the
    // device is gone; with ClosingHandles, closes and reopens it at random.
    void Worker(unsigned index, Step step) {
        std::mt19937 random(seed_ * 8 + index);
        hk::Handle h = hk::kInvalidHandle;
        while (!done_.load()) {
            if (h == hk::kInvalidHandle && hk::OpenFile("\\\\.\\Velnor-0", &h) != STATUS_SUCCESS) {
                h = hk::kInvalidHandle;
                if (gone_.load()) break;  // the device is being removed: nothing to open
                RunForMs(1);
                continue;
            }
            (this->*step)(h, random);
            if (variant_ == ClosingHandles && random() % 8 == 0) {
                hk::CloseFile(h);
                h = hk::kInvalidHandle;
            }
        }
        if (h != hk::kInvalidHandle) hk::CloseFile(h);
    }

    void StartStreams(hk::Handle h) {
        const NTSTATUS in = Send(h, IOCTL_VELNOR_START_ISO_STREAM_IN, &velnor_test::kInStream, sizeof(IsoStreamRequest));
        Expect("START_ISO_STREAM_IN", in);
        Expect("ENABLE", Send(h, IOCTL_VELNOR_ENABLE));
        Expect("START_ISO_STREAM_OUT",
               Send(h, IOCTL_VELNOR_START_ISO_STREAM_OUT, &velnor_test::kOutStream, sizeof(IsoStreamRequest)));
        if (!gone_.load() && in != STATUS_SUCCESS) Expect("START_ISO_STREAM_IN on a present device", STATUS_PENDING);
    }
    // Waits up to `seconds` for the readers to get a block beyond `blocks`.
    bool AwaitBlock(uint64_t blocks, double seconds) {
        for (int ms = 0; ms < seconds * 1000 && blocks_.load() <= blocks; ++ms) RunForMs(1);
        return blocks_.load() > blocks;
    }

    void Puller(bool awaitFirstBlock, int64_t moment) {
        hk::Handle h;
        if (hk::OpenFile("\\\\.\\Velnor-0", &h) != STATUS_SUCCESS) {
            Expect("open", STATUS_PENDING);
            done_ = true;
            return;
        }
        StartStreams(h);
        // Every other cycle the moment falls in a running acquisition, after
        // its first block: the replugged device acquires again.
        if (awaitFirstBlock && !AwaitBlock(0, 2.0)) Expect("the first block after plugging in", STATUS_PENDING);
        RunForMs(moment / 10000.0);
        if (variant_ == StopStart) {
            for (int round = 0; round < 2; ++round) {
                Expect("STOP_ISO_STREAM", Send(h, IOCTL_VELNOR_STOP_ISO_STREAM));
                StartStreams(h);
            }
            if (!AwaitBlock(blocks_.load(), 2.0)) Expect("a block after the restart", STATUS_PENDING);
            RunForMs(moment / 10000.0);
            hk::CloseFile(h);
            done_ = true;
            return;
        }
        gone_ = true;
        device_.Unplug();
        // The others run on into the surprise-removed device for a while.
        RunForMs(20);
        hk::CloseFile(h);
        done_ = true;
    }

    hk::pnp::UsbDevice& device_;
    const Variant variant_;
    const unsigned seed_;
    std::atomic<bool> done_{false}, gone_{false};
    std::atomic<uint64_t> blocks_{0}, requests_{0};
    std::mutex lock_;
    std::vector<std::string> unclear_;
    std::map<NTSTATUS, uint64_t> byStatus_;
};

// Several handles and threads through unplug, stop and start, and closes at
// random moments, cycle after cycle (VELNOR_CYCLES): every request ends with
// a clear status, no thread hangs, the device goes away when its last handle
// closes, the driver unloads without a leak, and the next plug acquires.
TEST(PlugPull, SeveralHandlesAndThreadsThroughUnplugStopStartAndCloses) {
    hk::ViolationRecorder findings;
    hk::pnp::RegisterDriver(velnor::sim::kHardwareId, {u"Velnor", "", DriverEntry});
    auto module = std::make_shared<velnor::sim::AcquisitionModule>(velnor::sim::ModuleSettings{});
    uint64_t requests = 0, blocks = 0;
    std::map<NTSTATUS, uint64_t> byStatus;
    for (unsigned cycle = 0; cycle < Cycles(15); ++cycle) {
        const auto variant = static_cast<ApplicationCycle::Variant>(cycle % 3);
        SCOPED_TRACE(testing::Message() << "cycle " << cycle << ", variant " << variant);
        std::optional<hk::pnp::UsbDevice> device(std::in_place, module);
        ASSERT_EQ(device->State(), hk::pnp::DeviceState::Started);
        ApplicationCycle app(*device, variant, 20261206 + cycle);
        app.Run(cycle % 2 == 0);
        for (const std::string& u : app.Unclear()) ADD_FAILURE() << u;
        if (variant == ApplicationCycle::StopStart) device->Unplug();
        // Every handle is closed: the removal has run and the driver is gone.
        EXPECT_EQ(device->State(), hk::pnp::DeviceState::Removed);
        EXPECT_EQ(hk::pnp::LoadedDriver(u"Velnor"), nullptr);
        EXPECT_TRUE(hk::OutstandingPool().empty()) << "pool leaked";
        device.reset();
        requests += app.Requests();
        for (const auto& [status, n] : app.ByStatus()) byStatus[status] += n;
        blocks += app.Blocks();
        for (const auto& f : findings.Take()) ADD_FAILURE() << f.routine << ": " << f.message;
        if (HasFailure()) break;
    }
    EXPECT_GT(blocks, 0u);
    RecordProperty("requests", std::to_string(requests));
    RecordProperty("blocks", std::to_string(blocks));
    std::string tally;
    for (const auto& [status, n] : byStatus) {
        char line[40];
        std::snprintf(line, sizeof line, " 0x%08X:%llu", static_cast<ULONG>(status), static_cast<unsigned long long>(n));
        tally += line;
    }
    RecordProperty("by_status", tally);
    std::printf("requests %llu (by status%s), full blocks %llu\n", static_cast<unsigned long long>(requests),
                tally.c_str(), static_cast<unsigned long long>(blocks));
    hk::pnp::UnregisterDrivers();
}

}  // namespace
