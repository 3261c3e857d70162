// The virtual clock and the threads that take part in the simulation.
//
// Discrete mode (the default): virtual time stands still while any
// registered thread is running, and only when every one of them is blocked
// in a kernel wait does it jump to the earliest deadline. A wake-up is
// counted the moment the waker changes the state (under the dispatcher
// lock), so no deadline can pass between a signal and the woken thread
// running. Real-time mode: virtual time is real time times a factor.
#include "internal.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <atomic>
#include <limits>
#include <list>
#include <thread>

namespace hk {
namespace {

constexpr int64_t kNoDeadline = std::numeric_limits<int64_t>::max();

// Each waiter sleeps on its own condition variable, so a wake-up disturbs
// only the thread it wakes: a shared one woke every simulation thread on
// every step of the clock, and the futex traffic dominated a long run.
struct Waiter {
    const std::function<bool()>* ready;
    const std::function<int64_t()>* deadline;
    bool woken = false;
    detail::WaitResult result = detail::WaitResult::Ready;
    std::condition_variable cv;
};

struct Participant {
    std::string name;
    bool finished = false;
};

struct Scheduler {
    std::mutex lock;
    std::condition_variable cv;  // real-time waits
    std::list<Waiter*> waiters;
    int running = 0;  // registered threads not blocked in a kernel wait
    std::atomic<bool> realTime{false};
    std::mutex clockLock;  // the real-time base; taken inside the dispatcher lock, never around it
    double factor = 1.0;
    std::chrono::steady_clock::time_point baseReal = std::chrono::steady_clock::now();
    int64_t baseVirtual = 0;
    std::atomic<int64_t> now{0};  // discrete mode's time
};

// Never destroyed: threads still winding down at exit may take the lock.
Scheduler& S() {
    static Scheduler* s = new Scheduler;
    return *s;
}

thread_local Participant* t_self = nullptr;

// Simulation threads hand the processor to each other at every step of the
// clock, always under the dispatcher lock. As batch threads a woken thread
// does not preempt its waker, which would only block on the lock the waker
// still holds and switch straight back.
void BecomeBatchThread() {
    sched_param none{};
    (void)pthread_setschedparam(pthread_self(), SCHED_BATCH, &none);
}

// Real-time virtual time; clockLock held.
int64_t RealNowLocked(const Scheduler& s) {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - s.baseReal).count();
    return s.baseVirtual + static_cast<int64_t>(static_cast<double>(ns) / 100.0 * s.factor);
}

// The mode is checked again under clockLock, so a reader racing a switch to
// the discrete clock never sees time go backwards.
int64_t RealNow(Scheduler& s) {
    std::lock_guard<std::mutex> guard(s.clockLock);
    return s.realTime ? RealNowLocked(s) : s.now.load();
}

// The process's first thread takes part from the start: a test body or a
// tool's main() drives the simulation without registering.
struct MainThreadRegistration {
    MainThreadRegistration() {
        if (syscall(SYS_gettid) != getpid()) return;
        BecomeBatchThread();
        std::lock_guard<std::mutex> guard(S().lock);
        t_self = new Participant{"main", false};
        S().running++;
    }
} g_mainThread;

void Wake(Waiter* w, detail::WaitResult result) {
    w->woken = true;
    w->result = result;
    S().running++;
    w->cv.notify_one();
}

// A change of clock mode concerns every waiter.
void NotifyEveryone() {
    Scheduler& s = S();
    for (Waiter* w : s.waiters) w->cv.notify_one();
    s.cv.notify_all();
}

// Every registered thread is blocked: wake whoever is ready, otherwise move
// time to the earliest deadline. No deadline at all is a deadlock.
void Advance() {
    Scheduler& s = S();
    bool any = false;
    for (Waiter* w : s.waiters)
        if (!w->woken && (*w->ready)()) Wake(w, detail::WaitResult::Ready), any = true;
    if (!any) {
        int64_t earliest = kNoDeadline;
        for (Waiter* w : s.waiters)
            if (!w->woken) earliest = std::min(earliest, (*w->deadline)());
        if (earliest == kNoDeadline) {
            for (Waiter* w : s.waiters)
                if (!w->woken) Wake(w, detail::WaitResult::Deadlock);
        } else {
            // Work due at the new time (a bus thread's) runs before any
            // timeout of that time fires: the timed-out waiters wake at the
            // next moment everything is blocked again, and see its effects.
            if (earliest > s.now.load()) {
                s.now.store(earliest);
                for (Waiter* w : s.waiters)
                    if (!w->woken && (*w->ready)()) Wake(w, detail::WaitResult::Ready), any = true;
            }
            if (!any)
                for (Waiter* w : s.waiters)
                    if (!w->woken && (*w->deadline)() <= s.now.load()) Wake(w, detail::WaitResult::Timeout);
        }
    }
}

void LeaveRunning() {
    Scheduler& s = S();
    if (--s.running == 0 && !s.realTime) Advance();
}

}  // namespace

namespace detail {

std::mutex& DispatcherLock() { return S().lock; }

int64_t Now() {
    Scheduler& s = S();
    if (!s.realTime) return s.now.load();
    return RealNow(s);
}

void CheckSimulationThread(const char* routine) {
    if (t_self == nullptr && !S().realTime)
        ReportViolation(routine, "called from a thread that does not take part in the simulation (start it with hk::SimThread)");
}

void Signal() {
    Scheduler& s = S();
    if (s.realTime) {
        s.cv.notify_all();
        return;
    }
    for (Waiter* w : s.waiters)
        if (!w->woken && (*w->ready)()) Wake(w, WaitResult::Ready);
}

WaitResult BlockUntil(std::unique_lock<std::mutex>& lock, const char* routine, const std::function<bool()>& ready,
                      const std::function<int64_t()>& deadline) {
    Scheduler& s = S();
    const bool guest = t_self == nullptr;
    if (guest && !s.realTime) {
        // A thread the simulation does not know would let time run away under
        // it, or stand still for it; it is counted for this wait only.
        lock.unlock();
        ReportViolation(routine, "waits in a thread that does not take part in the simulation (start it with hk::SimThread)");
        lock.lock();
    }
    if (guest) s.running++;
    WaitResult result = WaitResult::Ready;
    for (;;) {
        if (ready()) break;
        if (deadline() <= Now()) {  // a poll, or a time already past
            result = WaitResult::Timeout;
            break;
        }
        if (s.realTime) {
            int64_t due = deadline();
            // Bounded, so a change of mode or factor is noticed soon.
            auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(5);
            if (due != kNoDeadline) {
                double factor;
                {
                    std::lock_guard<std::mutex> guard(s.clockLock);
                    factor = s.factor;
                }
                double real100ns = static_cast<double>(due - RealNow(s)) / factor;
                auto at = std::chrono::steady_clock::now() +
                          std::chrono::nanoseconds(static_cast<int64_t>(std::min(real100ns, 1e13) * 100.0) + 1);
                limit = std::min(limit, at);
            }
            s.cv.wait_until(lock, limit);
            continue;
        }
        Waiter w{&ready, &deadline, false, WaitResult::Ready, {}};
        s.waiters.push_back(&w);
        LeaveRunning();
        while (!w.woken && !s.realTime) w.cv.wait(lock);
        s.waiters.remove(&w);
        if (!w.woken) {  // the clock went real-time under us
            s.running++;
            continue;
        }
        // The waker counted this thread running again.
        if (ready()) break;
        if (w.result != WaitResult::Ready) {
            result = w.result;
            break;
        }
        // Someone else took what woke us (a synchronization event, a semaphore).
    }
    if (guest) LeaveRunning();
    if (result == WaitResult::Deadlock && std::string_view(routine) != "BusThread") {
        // An idle bus thread is part of every deadlock; the others report it.
        lock.unlock();
        ReportViolation(routine, "deadlock: every simulation thread is waiting and none has a timeout");
        lock.lock();
    }
    return result;
}

}  // namespace detail

void SetClockFactor(double factor) {
    Scheduler& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!(factor > 0) || !std::isfinite(factor)) factor = 1;
    {
        std::lock_guard<std::mutex> clock(s.clockLock);
        int64_t now = s.realTime ? RealNowLocked(s) : s.now.load();
        s.baseReal = std::chrono::steady_clock::now();
        s.baseVirtual = now;
        s.factor = factor;
        s.now.store(now);
        s.realTime = true;
    }
    NotifyEveryone();
}

void SetDiscreteClock() {
    Scheduler& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    {
        std::lock_guard<std::mutex> clock(s.clockLock);
        if (!s.realTime) return;
        s.now.store(RealNowLocked(s));
        s.realTime = false;
    }
    // Threads in a real-time wait move to the discrete one within a few ms.
    NotifyEveryone();
}

bool ClockIsDiscrete() { return !S().realTime; }

double ClockFactor() {
    std::lock_guard<std::mutex> guard(S().clockLock);
    return S().realTime ? S().factor : 0.0;
}

int64_t Now100ns() { return detail::Now(); }

// ---------------------------------------------------------------- SimThread
struct SimThread::Shared {
    Participant participant;
    std::function<void()> body;
};

SimThread::SimThread(std::string name, std::function<void()> body) : shared_(std::make_shared<Shared>()) {
    shared_->participant.name = std::move(name);
    shared_->body = std::move(body);
    // Counted before it exists, so no time passes before it first runs.
    std::lock_guard<std::mutex> guard(S().lock);
    S().running++;
    auto shared = shared_;
    try {
        thread_ = std::thread([shared] {
            t_self = &shared->participant;
            BecomeBatchThread();
            // Named for debuggers and thread listings (at most 15 characters).
            pthread_setname_np(pthread_self(), shared->participant.name.substr(0, 15).c_str());
            shared->body();
            std::lock_guard<std::mutex> guard(S().lock);
            shared->participant.finished = true;
            t_self = nullptr;
            detail::Signal();
            LeaveRunning();
        });
    } catch (...) {
        S().running--;
        throw;
    }
}

SimThread::~SimThread() {
    if (thread_.joinable()) Join();
}

void SimThread::Join() {
    if (!thread_.joinable()) return;
    {
        std::unique_lock<std::mutex> lock(S().lock);
        auto shared = shared_;
        std::function<bool()> ready = [shared] { return shared->participant.finished; };
        std::function<int64_t()> never = [] { return kNoDeadline; };
        // A thread outside the simulation just joins; it holds no time back.
        if (t_self) detail::BlockUntil(lock, "SimThread::Join", ready, never);
    }
    thread_.join();
}

}  // namespace hk
