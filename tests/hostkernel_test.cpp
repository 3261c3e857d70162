// The host kernel behaviour that the driver leans on: completion routines,
// the clock and waits, semaphores, and the verifier's IRQL, lock and pool
// checks. (The request rules are in verifier_test; threaded requests and the
// USB library are exercised through the simulated bus in simulated_bus_test.)
#include <hostkernel/hostkernel.h>
#include <usbdlib.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

// A time for the kernel's waits: negative is relative, in 100 ns units.
LARGE_INTEGER Li(int64_t v) {
    LARGE_INTEGER l;
    l.QuadPart = v;
    return l;
}
NTSTATUS Wait(PVOID object, LARGE_INTEGER t) { return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &t); }
void Sleep(int64_t v) {
    LARGE_INTEGER t = Li(v);
    KeDelayExecutionThread(KernelMode, FALSE, &t);
}

class HostKernel : public ::testing::Test {
protected:
    void SetUp() override { hk::LogClear(); }
    void TearDown() override { hk::SetTimeIncrement(156250); }
};

TEST_F(HostKernel, CompletionRoutineRunsOnlyForTheOutcomesItAsksFor) {
    PDEVICE_OBJECT lower = hk::CreateLowerDevice([](PDEVICE_OBJECT, PIRP irp) {
        auto s = static_cast<NTSTATUS>(reinterpret_cast<uintptr_t>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1));
        hk::CompleteIrp(irp, s);
        return s;
    });
    for (NTSTATUS s : {STATUS_SUCCESS, STATUS_UNSUCCESSFUL}) {
        PIRP irp = IoAllocateIrp(static_cast<CCHAR>(lower->StackSize + 1), FALSE);
        IoSetNextIrpStackLocation(irp);  // give ourselves a location, as a filter has
        int calls = 0;
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = reinterpret_cast<PVOID>(static_cast<uintptr_t>(static_cast<uint32_t>(s)));
        // Only on error: a success passes the routine by and reaches our
        // own location, where nothing may complete it further.
        IoSetCompletionRoutine(irp, [](PDEVICE_OBJECT, PIRP, PVOID c) -> NTSTATUS {
            ++*static_cast<int*>(c);
            return STATUS_MORE_PROCESSING_REQUIRED;
        }, &calls, FALSE, TRUE, FALSE);
        hk::ViolationRecorder recorder;
        IoCallDriver(lower, irp);
        EXPECT_EQ(calls, s == STATUS_SUCCESS ? 0 : 1);
        // On success the request went past its last location: the verifier says so.
        EXPECT_EQ(recorder.Any("IofCompleteRequest"), s == STATUS_SUCCESS);
        if (s != STATUS_SUCCESS) { EXPECT_TRUE(recorder.Take().empty()); }
        IoFreeIrp(irp);
    }
    hk::DeleteLowerDevice(lower);
}

// The first tick at or after `due`, as Windows' timers expire.
int64_t TickAtOrAfter(int64_t due, int64_t tick) { return (due + tick - 1) / tick * tick; }

TEST_F(HostKernel, DiscreteClockJumpsToDeadlinesRoundedToTheTick) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    int64_t v0 = hk::Now100ns();
    EXPECT_EQ(Wait(&event, Li(-10000000LL)), STATUS_TIMEOUT);
    EXPECT_EQ(hk::Now100ns(), TickAtOrAfter(v0 + 10000000LL, 156250)) << "a timeout ends at the first tick after it";

    // A 100 us sleep lasts until the next tick: 10000 of them are about 156 s, not 1 s.
    int64_t v1 = hk::Now100ns();
    for (int i = 0; i < 10000; ++i) Sleep(-1000);
    EXPECT_EQ(hk::Now100ns() - v1, 10000LL * 156250);

    // With 1 ms ticks (a raised timer resolution) 1 ms sleeps are 1 ms, and the tick count follows.
    hk::SetTimeIncrement(10000);
    LARGE_INTEGER t0, t1;
    Sleep(-10000);  // onto a 1 ms boundary
    int64_t v2 = hk::Now100ns();
    KeQueryTickCount(&t0);
    for (int i = 0; i < 100; ++i) Sleep(-10000);
    KeQueryTickCount(&t1);
    EXPECT_EQ(hk::Now100ns() - v2, 100 * 10000LL);
    EXPECT_EQ(t1.QuadPart - t0.QuadPart, 100);

    // Work due at a virtual time wakes a waiter exactly then, however slow the machine.
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    int64_t v3 = hk::Now100ns();
    hk::BusPostAt(v3 + 30000, [&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); });
    EXPECT_EQ(Wait(&event, Li(-100000)), STATUS_SUCCESS);
    EXPECT_EQ(hk::Now100ns(), v3 + 30000);

    // Work and a timeout due at the same moment: the work runs first, on
    // every machine, so a sleeper sees what the bus did at its wake-up time.
    for (int round = 0; round < 200; ++round) {
        std::atomic<bool> done{false};
        hk::BusPostAt(hk::Now100ns() + 10000, [&] { done = true; });
        Sleep(-10000);
        ASSERT_TRUE(done) << "round " << round;
    }

    // A timeout too long to represent never ends; one in the past is a poll.
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    hk::BusPostAt(hk::Now100ns() + 50000, [&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); });
    EXPECT_EQ(Wait(&event, Li(INT64_MIN + 1)), STATUS_SUCCESS);
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    int64_t v5 = hk::Now100ns();
    EXPECT_EQ(Wait(&event, Li(1)), STATUS_TIMEOUT) << "absolute: long before boot";
    EXPECT_EQ(hk::Now100ns(), v5);

    // Synchronization events let one waiter through per signal; a zero timeout only polls.
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    int64_t v4 = hk::Now100ns();
    EXPECT_EQ(Wait(&event, Li(0)), STATUS_SUCCESS);
    EXPECT_EQ(Wait(&event, Li(0)), STATUS_TIMEOUT);
    EXPECT_EQ(hk::Now100ns(), v4);
}

TEST_F(HostKernel, TimeStandsStillWhileAnySimulationThreadComputes) {
    // The worker computes without waiting while this thread sleeps: no
    // virtual time may pass until it is done, however long that takes.
    std::atomic<int64_t> seenFirst{-1}, seenLast{-1};
    int64_t v0 = hk::Now100ns();
    hk::SimThread worker("worker", [&] {
        seenFirst = hk::Now100ns();
        volatile uint64_t sum = 0;
        for (int i = 0; i < 2000000; ++i) sum = sum + static_cast<uint64_t>(i);
        seenLast = hk::Now100ns();
    });
    Sleep(-10000);
    worker.Join();
    EXPECT_EQ(seenFirst.load(), v0);
    EXPECT_EQ(seenLast.load(), v0) << "time moved while a simulation thread was running";

    // Every thread waiting with no deadline is a deadlock, reported, not a hang.
    hk::ViolationRecorder recorder;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_TIMEOUT);
    EXPECT_TRUE(recorder.Any("KeWaitForSingleObject"));
    recorder.Take();
    // So is a kernel wait, a wake-up or bus work from a thread the simulation
    // does not know: the clock would jump while it still runs.
    std::thread stranger([&] {
        Wait(&event, Li(0));
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        hk::BusPost([] {});
    });
    stranger.join();
    EXPECT_TRUE(recorder.Any("KeWaitForSingleObject"));
    EXPECT_TRUE(recorder.Any("KeSetEvent"));
    EXPECT_TRUE(recorder.Any("BusPost"));
}

TEST_F(HostKernel, SemaphoreAdmitsOneAtATime) {
    KSEMAPHORE sem;
    KeInitializeSemaphore(&sem, 1, 1);
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    auto worker = [&] {
        for (int i = 0; i < 200; ++i) {
            KeWaitForSingleObject(&sem, Executive, KernelMode, FALSE, nullptr);
            if (++inside > 1) overlap = true;
            --inside;
            KeReleaseSemaphore(&sem, 16, 1, FALSE);
        }
    };
    {
        hk::SimThread a("a", worker), b("b", worker);
    }
    EXPECT_FALSE(overlap);
    hk::ViolationRecorder recorder;
    KeReleaseSemaphore(&sem, 16, 1, FALSE);  // count 1 is the limit
    EXPECT_TRUE(recorder.Any("KeReleaseSemaphore"));
}

TEST_F(HostKernel, VerifierCatchesWaitsAtDispatchLevelAndSpinLockMisuse) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    hk::ViolationRecorder recorder;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_NE(Wait(&event, Li(-10000)), STATUS_SUCCESS);
    EXPECT_EQ(Wait(&event, Li(0)), STATUS_TIMEOUT) << "a zero timeout is a legal poll";
    KeLowerIrql(old);
    auto v = recorder.Take();
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].routine, "KeWaitForSingleObject");

    KSPIN_LOCK a = 0, b = 0;
    old = KeAcquireSpinLockRaiseToDpc(&a);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&a, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(recorder.Take().empty());

    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeReleaseSpinLock(&a, old);  // not held: reported, and the IRQL stays raised
    EXPECT_TRUE(recorder.Any("KeReleaseSpinLock"));
    recorder.Take();
    KeLowerIrql(old);

    old = KeAcquireSpinLockRaiseToDpc(&a);
    KIRQL inner = KeAcquireSpinLockRaiseToDpc(&b);  // two at once
    EXPECT_TRUE(recorder.Any("KeAcquireSpinLockAtDpcLevel"));
    KeReleaseSpinLock(&b, inner);
    KeReleaseSpinLock(&a, old);
    recorder.Take();
}

// A double free, like any violation without a handler, stops the program.
TEST(HostKernelDeathTest, AViolationWithoutAHandlerStopsTheProgramNamingTheRoutine) {
    EXPECT_DEATH(
        {
            void* p = ExAllocatePoolWithTag(NonPagedPool, 8, 'TEST');
            ExFreePool(p);
            ExFreePool(p);
        },
        "VERIFIER: ExFreePool");
}

}  // namespace
