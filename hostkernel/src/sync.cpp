// IRQL, spin locks, the virtual clock, events, semaphores and timed waits.
#include "internal.h"

#include <atomic>
#include <sched.h>
#include <thread>

namespace hk {
namespace {

thread_local KIRQL t_irql = PASSIVE_LEVEL;
thread_local int t_heldLocks = 0;
std::atomic<bool> g_singleLockRule{true};
std::atomic<ULONG> g_timeIncrement{156250};
std::atomic<bool> g_sleepsEndOnTicks{false};

// A spin lock holds 0 when free, otherwise its owner's token.
ULONG_PTR ThreadToken() {
    static thread_local char marker;
    return reinterpret_cast<ULONG_PTR>(&marker) | 1;
}

struct Clock {
    std::mutex lock;
    double factor = 1.0;
    std::chrono::steady_clock::time_point baseReal = std::chrono::steady_clock::now();
    int64_t baseVirtual = 0;
};
Clock& TheClock() {
    static Clock clock;
    return clock;
}

int64_t ToVirtual(const Clock& c, std::chrono::steady_clock::time_point real) {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(real - c.baseReal).count();
    return c.baseVirtual + static_cast<int64_t>(static_cast<double>(ns) / 100.0 * c.factor);
}

// System time at boot: 2026-01-01, in 100 ns units since 1601.
constexpr int64_t kBootSystemTime = 134116992000000000LL;

}  // namespace

void SetSingleSpinLockRule(bool on) { g_singleLockRule = on; }

void SetClockFactor(double factor) {
    if (factor <= 0) factor = 1;
    {
        Clock& c = TheClock();
        std::lock_guard<std::mutex> guard(c.lock);
        auto now = std::chrono::steady_clock::now();
        c.baseVirtual = ToVirtual(c, now);
        c.baseReal = now;
        c.factor = factor;
    }
    std::lock_guard<std::mutex> guard(detail::DispatcherLock());
    detail::DispatcherCv().notify_all();
}

double ClockFactor() {
    Clock& c = TheClock();
    std::lock_guard<std::mutex> guard(c.lock);
    return c.factor;
}

int64_t Now100ns() { return detail::Now(); }

void SetTimeIncrement(ULONG increment100ns) { g_timeIncrement = increment100ns ? increment100ns : 1; }
void SetSleepsEndOnTicks(bool on) { g_sleepsEndOnTicks = on; }

namespace detail {

int64_t Now() {
    Clock& c = TheClock();
    std::lock_guard<std::mutex> guard(c.lock);
    return ToVirtual(c, std::chrono::steady_clock::now());
}

std::chrono::steady_clock::time_point RealDeadline(int64_t virtualDeadline) {
    Clock& c = TheClock();
    std::lock_guard<std::mutex> guard(c.lock);
    double real100ns = static_cast<double>(virtualDeadline - c.baseVirtual) / c.factor;
    if (real100ns < 0) real100ns = 0;
    if (real100ns > 1e13) real100ns = 1e13;  // about 11 days; keeps time_point arithmetic in range
    return c.baseReal + std::chrono::nanoseconds(static_cast<int64_t>(real100ns * 100.0) + 1);
}

int64_t DeadlineFromTimeout(const LARGE_INTEGER* timeout) {
    if (timeout->QuadPart <= 0) return Now() - timeout->QuadPart;
    return timeout->QuadPart - kBootSystemTime;
}

std::mutex& DispatcherLock() {
    static std::mutex lock;
    return lock;
}

std::condition_variable& DispatcherCv() {
    static std::condition_variable cv;
    return cv;
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
using hk::detail::DispatcherCv;
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

DISPATCHER_HEADER* HeaderOf(PVOID object, const char* routine) {
    auto* h = static_cast<DISPATCHER_HEADER*>(object);
    if (h->Initialized != kInitialized) {
        ReportViolation(routine, "object was never initialised");
        return nullptr;
    }
    return h;
}
}  // namespace

extern "C" VOID KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
    std::lock_guard<std::mutex> guard(DispatcherLock());
    std::memset(event, 0, sizeof(*event));
    event->Header.Type = type == NotificationEvent ? kTypeNotification : kTypeSynchronization;
    event->Header.Initialized = kInitialized;
    event->Header.SignalState = state ? 1 : 0;
}

extern "C" LONG KeSetEvent(PRKEVENT event, KPRIORITY, BOOLEAN wait) {
    CheckSignalIrql("KeSetEvent", wait);
    std::lock_guard<std::mutex> guard(DispatcherLock());
    if (!HeaderOf(event, "KeSetEvent")) return 0;
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 1;
    DispatcherCv().notify_all();
    return previous;
}

extern "C" VOID KeClearEvent(PRKEVENT event) {
    std::lock_guard<std::mutex> guard(DispatcherLock());
    if (HeaderOf(event, "KeClearEvent")) event->Header.SignalState = 0;
}

extern "C" LONG KeResetEvent(PRKEVENT event) {
    std::lock_guard<std::mutex> guard(DispatcherLock());
    if (!HeaderOf(event, "KeResetEvent")) return 0;
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 0;
    return previous;
}

extern "C" LONG KeReadStateEvent(PRKEVENT event) {
    std::lock_guard<std::mutex> guard(DispatcherLock());
    return HeaderOf(event, "KeReadStateEvent") ? event->Header.SignalState : 0;
}

extern "C" VOID KeInitializeSemaphore(PRKSEMAPHORE semaphore, LONG count, LONG limit) {
    std::lock_guard<std::mutex> guard(DispatcherLock());
    std::memset(semaphore, 0, sizeof(*semaphore));
    semaphore->Header.Type = kTypeSemaphore;
    semaphore->Header.Initialized = kInitialized;
    semaphore->Header.SignalState = count;
    semaphore->Header.Limit = limit;
}

extern "C" LONG KeReleaseSemaphore(PRKSEMAPHORE semaphore, KPRIORITY, LONG adjustment, BOOLEAN wait) {
    CheckSignalIrql("KeReleaseSemaphore", wait);
    std::lock_guard<std::mutex> guard(DispatcherLock());
    if (!HeaderOf(semaphore, "KeReleaseSemaphore")) return 0;
    LONG previous = semaphore->Header.SignalState;
    if (adjustment <= 0 || previous + adjustment > semaphore->Header.Limit) {
        ReportViolation("KeReleaseSemaphore", "STATUS_SEMAPHORE_LIMIT_EXCEEDED: count " + std::to_string(previous) +
                                                  " + " + std::to_string(adjustment) + " above limit " +
                                                  std::to_string(semaphore->Header.Limit));
        return previous;
    }
    semaphore->Header.SignalState = previous + adjustment;
    DispatcherCv().notify_all();
    return previous;
}

extern "C" LONG KeReadStateSemaphore(PRKSEMAPHORE semaphore) {
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
    std::unique_lock<std::mutex> lock(DispatcherLock());
    DISPATCHER_HEADER* h = HeaderOf(object, "KeWaitForSingleObject");
    if (!h) return STATUS_UNSUCCESSFUL;
    bool hasDeadline = timeout != nullptr;
    int64_t deadline = hasDeadline ? detail::DeadlineFromTimeout(timeout) : 0;
    bool got = detail::WaitUntil(lock, hasDeadline, deadline, [h] { return h->SignalState > 0; });
    if (!got) return STATUS_TIMEOUT;
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
    if (g_sleepsEndOnTicks) {
        const int64_t tick = g_timeIncrement;
        deadline = (deadline + tick - 1) / tick * tick;
    }
    std::unique_lock<std::mutex> lock(DispatcherLock());
    detail::WaitUntil(lock, true, deadline, [] { return false; });
    return STATUS_SUCCESS;
}

extern "C" ULONG KeQueryTimeIncrement(void) { return g_timeIncrement; }

extern "C" VOID KeQueryTickCount(PLARGE_INTEGER count) { count->QuadPart = detail::Now() / g_timeIncrement; }

extern "C" VOID KeQuerySystemTime(PLARGE_INTEGER time) { time->QuadPart = kBootSystemTime + detail::Now(); }

extern "C" ULONGLONG KeQueryInterruptTime(void) { return static_cast<ULONGLONG>(detail::Now()); }
