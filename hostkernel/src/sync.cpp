// IRQL, spin locks, the virtual clock, events, semaphores and timed waits.
#include "internal.h"

#include <atomic>
#include <sched.h>
#include <thread>
#include <utility>
#include <vector>

namespace hk {
namespace {

thread_local KIRQL t_irql = PASSIVE_LEVEL;
thread_local int t_heldLocks = 0;
std::atomic<bool> g_singleLockRule{true};
std::atomic<ULONG> g_timeIncrement{156250};
// The clock interrupt's interval while a finer timer resolution is asked
// for (0: none, timers end on ticks); the tick count keeps its own length.
std::atomic<ULONG> g_timerResolution{0};

// A spin lock holds 0 when free, otherwise its owner's token.
ULONG_PTR ThreadToken() {
    static thread_local char marker;
    return reinterpret_cast<ULONG_PTR>(&marker) | 1;
}

// System time at boot: 2026-01-01, in 100 ns units since 1601.
constexpr int64_t kBootSystemTime = 134116992000000000LL;

}  // namespace

void SetSingleSpinLockRule(bool on) { g_singleLockRule = on; }

void SetTimeIncrement(ULONG increment100ns) { g_timeIncrement = increment100ns ? increment100ns : 1; }

void SetTimerResolution(ULONG interval100ns) { g_timerResolution = interval100ns; }
ULONG TimerResolution() {
    const ULONG fine = g_timerResolution, tick = g_timeIncrement;
    return fine && fine < tick ? fine : tick;
}

namespace detail {

int64_t DeadlineFromTimeout(const LARGE_INTEGER* timeout) {
    const int64_t now = Now();
    const int64_t t = timeout->QuadPart;
    if (t == 0) return now;  // a poll: no timer involved
    int64_t due;
    if (t < 0) {
        // Relative; one too long to represent never ends.
        if (t == INT64_MIN || -t > kNoDeadline - now) return kNoDeadline;
        due = now - t;
    } else {
        due = t - kBootSystemTime;
    }
    if (due <= 0) return 0;
    // A timer expires at the first clock interrupt at or after its due time.
    const int64_t tick = TimerResolution();
    if (due > kNoDeadline - tick) return kNoDeadline;
    return (due + tick - 1) / tick * tick;
}

void SetIrql(KIRQL irql) { t_irql = irql; }

void SpinAcquire(PKSPIN_LOCK lock, ULONG_PTR token) {
    for (unsigned spins = 0;; ++spins) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, token, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) return;
        if (spins > 64) sched_yield();
    }
}
int HeldSpinLocks() { return t_heldLocks; }

}  // namespace detail
}  // namespace hk

using namespace hk;
using hk::detail::DispatcherLock;

// ---------------------------------------------------------------- IRQL
extern "C" KIRQL KeGetCurrentIrql(void) { return t_irql; }

extern "C" VOID KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql) {
    if (newIrql < t_irql)
        ReportViolation("KeRaiseIrql", "new IRQL " + std::to_string(newIrql) + " is below the current " +
                                           std::to_string(t_irql));
    *oldIrql = t_irql;
    t_irql = newIrql;
}

extern "C" VOID KeLowerIrql(KIRQL newIrql) {
    if (newIrql > t_irql)
        ReportViolation("KeLowerIrql", "new IRQL " + std::to_string(newIrql) + " is above the current " +
                                           std::to_string(t_irql));
    t_irql = newIrql;
}

extern "C" KIRQL KeRaiseIrqlToDpcLevel(void) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

// ---------------------------------------------------------------- spin locks
extern "C" VOID KeInitializeSpinLock(PKSPIN_LOCK lock) { __atomic_store_n(lock, 0, __ATOMIC_RELEASE); }

extern "C" VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock) {
    if (t_irql != DISPATCH_LEVEL)
        ReportViolation("KeAcquireSpinLockAtDpcLevel", "called at IRQL " + std::to_string(t_irql));
    ULONG_PTR me = ThreadToken();
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) == me) {
        ReportViolation("KeAcquireSpinLockAtDpcLevel", "spin lock acquired again by its owner (deadlock)");
        return;
    }
    if (t_heldLocks > 0 && g_singleLockRule)
        ReportViolation("KeAcquireSpinLockAtDpcLevel", "spin lock acquired while this thread holds another");
    detail::SpinAcquire(lock, me);
    t_heldLocks++;
}

extern "C" KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK lock) {
    if (t_irql > DISPATCH_LEVEL) {
        ReportViolation("KeAcquireSpinLockRaiseToDpc", "called at IRQL " + std::to_string(t_irql));
    }
    KIRQL old = t_irql;
    t_irql = DISPATCH_LEVEL;
    KeAcquireSpinLockAtDpcLevel(lock);
    return old;
}

namespace {
// Releases a lock this thread holds; reports and keeps it otherwise.
bool ReleaseOwned(const char* routine, PKSPIN_LOCK lock) {
    if (t_irql != DISPATCH_LEVEL) {
        ReportViolation(routine, "released at IRQL " + std::to_string(t_irql) + " (a held spin lock keeps DISPATCH_LEVEL)");
        return false;
    }
    ULONG_PTR held = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if (held != ThreadToken()) {
        ReportViolation(routine, held == 0 ? "spin lock released twice (it is not held)"
                                           : "spin lock released by a thread that does not hold it");
        return false;
    }
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
    t_heldLocks--;
    return true;
}
}  // namespace

extern "C" VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock) { ReleaseOwned("KeReleaseSpinLockFromDpcLevel", lock); }

extern "C" VOID KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql) {
    if (newIrql > DISPATCH_LEVEL)
        ReportViolation("KeReleaseSpinLock", "new IRQL " + std::to_string(newIrql) + " is above DISPATCH_LEVEL");
    if (ReleaseOwned("KeReleaseSpinLock", lock)) t_irql = newIrql;
}

// ---------------------------------------------------------------- dispatcher objects
namespace {
constexpr UCHAR kTypeNotification = 0;
constexpr UCHAR kTypeSynchronization = 1;
constexpr UCHAR kTypeSemaphore = 5;
constexpr UCHAR kInitialized = 0x5A;

void CheckSignalIrql(const char* routine, BOOLEAN wait) {
    if (t_irql > DISPATCH_LEVEL) ReportViolation(routine, "called at IRQL " + std::to_string(t_irql));
    if (wait) ReportViolation(routine, "Wait = TRUE is not supported by this kernel");
}

// Findings made under the dispatcher lock are reported once it is released,
// so a handler may call back into the kernel.
thread_local std::vector<std::pair<const char*, std::string>> t_later;
void ReportLater(const char* routine, std::string message) { t_later.emplace_back(routine, std::move(message)); }
struct ReportsAfterUnlock {
    ReportsAfterUnlock() = default;
    ReportsAfterUnlock(const ReportsAfterUnlock&) = delete;
    ReportsAfterUnlock& operator=(const ReportsAfterUnlock&) = delete;
    ~ReportsAfterUnlock() {
        auto later = std::move(t_later);
        t_later.clear();
        for (auto& [routine, message] : later) ReportViolation(routine, message);
    }
};

DISPATCHER_HEADER* HeaderOf(PVOID object, const char* routine) {
    auto* h = static_cast<DISPATCHER_HEADER*>(object);
    if (h->Initialized != kInitialized) {
        ReportLater(routine, "object was never initialised");
        return nullptr;
    }
    return h;
}
}  // namespace

extern "C" VOID KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
    ReportsAfterUnlock reports;
    std::lock_guard<std::mutex> guard(DispatcherLock());
    std::memset(event, 0, sizeof(*event));
    event->Header.Type = type == NotificationEvent ? kTypeNotification : kTypeSynchronization;
    event->Header.Initialized = kInitialized;
    event->Header.SignalState = state ? 1 : 0;
}

extern "C" LONG KeSetEvent(PRKEVENT event, KPRIORITY, BOOLEAN wait) {
    CheckSignalIrql("KeSetEvent", wait);
    detail::CheckSimulationThread("KeSetEvent");
    ReportsAfterUnlock reports;
    std::lock_guard<std::mutex> guard(DispatcherLock());
    if (!HeaderOf(event, "KeSetEvent")) return 0;
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 1;
    detail::Signal();
    return previous;
}

extern "C" VOID KeClearEvent(PRKEVENT event) {
    ReportsAfterUnlock reports;
    std::lock_guard<std::mutex> guard(DispatcherLock());
    if (HeaderOf(event, "KeClearEvent")) event->Header.SignalState = 0;
}

extern "C" LONG KeResetEvent(PRKEVENT event) {
    ReportsAfterUnlock reports;
    std::lock_guard<std::mutex> guard(DispatcherLock());
    if (!HeaderOf(event, "KeResetEvent")) return 0;
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 0;
    return previous;
}

extern "C" LONG KeReadStateEvent(PRKEVENT event) {
    ReportsAfterUnlock reports;
    std::lock_guard<std::mutex> guard(DispatcherLock());
    return HeaderOf(event, "KeReadStateEvent") ? event->Header.SignalState : 0;
}

extern "C" VOID KeInitializeSemaphore(PRKSEMAPHORE semaphore, LONG count, LONG limit) {
    ReportsAfterUnlock reports;
    std::lock_guard<std::mutex> guard(DispatcherLock());
    std::memset(semaphore, 0, sizeof(*semaphore));
    semaphore->Header.Type = kTypeSemaphore;
    semaphore->Header.Initialized = kInitialized;
    semaphore->Header.SignalState = count;
    semaphore->Header.Limit = limit;
}

extern "C" LONG KeReleaseSemaphore(PRKSEMAPHORE semaphore, KPRIORITY, LONG adjustment, BOOLEAN wait) {
    CheckSignalIrql("KeReleaseSemaphore", wait);
    detail::CheckSimulationThread("KeReleaseSemaphore");
    ReportsAfterUnlock reports;
    std::lock_guard<std::mutex> guard(DispatcherLock());
    if (!HeaderOf(semaphore, "KeReleaseSemaphore")) return 0;
    LONG previous = semaphore->Header.SignalState;
    if (adjustment <= 0 || previous + adjustment > semaphore->Header.Limit) {
        ReportLater("KeReleaseSemaphore", "STATUS_SEMAPHORE_LIMIT_EXCEEDED: count " + std::to_string(previous) +
                                                  " + " + std::to_string(adjustment) + " above limit " +
                                                  std::to_string(semaphore->Header.Limit));
        return previous;
    }
    semaphore->Header.SignalState = previous + adjustment;
    detail::Signal();
    return previous;
}

extern "C" LONG KeReadStateSemaphore(PRKSEMAPHORE semaphore) {
    ReportsAfterUnlock reports;
    std::lock_guard<std::mutex> guard(DispatcherLock());
    return HeaderOf(semaphore, "KeReadStateSemaphore") ? semaphore->Header.SignalState : 0;
}

extern "C" NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                          PLARGE_INTEGER timeout) {
    if (t_irql > DISPATCH_LEVEL ||
        (t_irql == DISPATCH_LEVEL && (timeout == nullptr || timeout->QuadPart != 0))) {
        ReportViolation("KeWaitForSingleObject",
                        "wait with a nonzero timeout at IRQL " + std::to_string(t_irql) +
                            " (only a zero timeout may be used at DISPATCH_LEVEL)");
        return STATUS_UNSUCCESSFUL;
    }
    ReportsAfterUnlock reports;
    std::unique_lock<std::mutex> lock(DispatcherLock());
    DISPATCHER_HEADER* h = HeaderOf(object, "KeWaitForSingleObject");
    if (!h) return STATUS_UNSUCCESSFUL;
    int64_t due = timeout ? detail::DeadlineFromTimeout(timeout) : detail::kNoDeadline;
    auto result = detail::BlockUntil(
        lock, "KeWaitForSingleObject", [h] { return h->SignalState > 0; }, [due] { return due; });
    if (result != detail::WaitResult::Ready) return STATUS_TIMEOUT;  // a deadlock is reported and ends the wait
    if (h->Type == kTypeSynchronization) h->SignalState = 0;
    if (h->Type == kTypeSemaphore) h->SignalState--;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------- time
extern "C" NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER interval) {
    if (t_irql > APC_LEVEL) {
        ReportViolation("KeDelayExecutionThread", "called at IRQL " + std::to_string(t_irql));
        return STATUS_UNSUCCESSFUL;
    }
    int64_t deadline = detail::DeadlineFromTimeout(interval);
    std::unique_lock<std::mutex> lock(DispatcherLock());
    detail::BlockUntil(
        lock, "KeDelayExecutionThread", [] { return false; }, [deadline] { return deadline; });
    return STATUS_SUCCESS;
}

extern "C" ULONG KeQueryTimeIncrement(void) { return g_timeIncrement; }

extern "C" VOID KeQueryTickCount(PLARGE_INTEGER count) { count->QuadPart = detail::Now() / g_timeIncrement; }

extern "C" VOID KeQuerySystemTime(PLARGE_INTEGER time) { time->QuadPart = kBootSystemTime + detail::Now(); }

extern "C" ULONGLONG KeQueryInterruptTime(void) { return static_cast<ULONGLONG>(detail::Now()); }
