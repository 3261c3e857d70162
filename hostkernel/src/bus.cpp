// The bus threads: work that runs at DISPATCH_LEVEL, now or at a virtual
// time, as the USB stack's completions do. Their queues live under the
// dispatcher lock, so posting work wakes the lane in the same step and the
// discrete clock never jumps past work that is already due.
#include "internal.h"

#include <array>
#include <atomic>
#include <cstdlib>
#include <queue>
#include <thread>

namespace hk {
namespace {

struct Work {
    int64_t due;
    int rank;
    uint64_t seq;
    std::function<void()> fn;
    bool operator>(const Work& o) const {
        if (due != o.due) return due > o.due;
        return rank != o.rank ? rank > o.rank : seq > o.seq;
    }
};

struct Lane {
    std::priority_queue<Work, std::vector<Work>, std::greater<Work>> queue;  // dispatcher lock
    uint64_t seq = 0;
    std::once_flag start;
    std::atomic<bool> started{false};
    std::unique_ptr<SimThread> thread;
};

thread_local bool t_onBus = false;
// Set at process exit: the lanes finish the work in hand and end, before the
// kernel's globals are destroyed under them.
bool g_stopping = false;  // dispatcher lock

// Never destroyed: a lane's thread may still be posting work at exit.
std::array<Lane, kBusLanes>& Lanes() {
    static auto* lanes = new std::array<Lane, kBusLanes>;
    return *lanes;
}

void Run(Lane* lane) {
    t_onBus = true;
    std::unique_lock<std::mutex> lock(detail::DispatcherLock());
    std::function<bool()> ready = [lane] {
        return g_stopping || (!lane->queue.empty() && lane->queue.top().due <= detail::Now());
    };
    std::function<int64_t()> deadline = [lane] { return lane->queue.empty() ? detail::kNoDeadline : lane->queue.top().due; };
    for (;;) {
        // An idle lane is part of every deadlock; the waiting thread reports it.
        if (detail::BlockUntil(lock, "BusThread", ready, deadline) != detail::WaitResult::Ready) continue;
        if (g_stopping) return;
        Work w = lane->queue.top();
        lane->queue.pop();
        lock.unlock();
        detail::SetIrql(DISPATCH_LEVEL);
        w.fn();
        if (KeGetCurrentIrql() != DISPATCH_LEVEL)
            ReportViolation("BusThread", "work returned at IRQL " + std::to_string(KeGetCurrentIrql()));
        if (detail::HeldSpinLocks() != 0) ReportViolation("BusThread", "work returned holding a spin lock");
        w.fn = nullptr;  // its captures go before the lock is taken again
        lock.lock();
    }
}

// Lanes start on first use and run until the process ends. A new lane's
// thread counts as running from its creation, so no time passes before it
// has looked at its queue.
void StopLanes() {
    {
        std::lock_guard<std::mutex> guard(detail::DispatcherLock());
        g_stopping = true;
        detail::Signal();
    }
    for (Lane& lane : Lanes())
        if (lane.started) lane.thread->Join();
}

Lane& LaneFor(unsigned index) {
    static std::once_flag atExit;
    std::call_once(atExit, [] { std::atexit(StopLanes); });
    Lane& lane = Lanes()[index % kBusLanes];
    std::call_once(lane.start, [&lane, index] {
        Lane* l = &lane;
        lane.thread = std::make_unique<SimThread>("bus" + std::to_string(index), [l] { Run(l); });
        lane.started = true;
    });
    return lane;
}

}  // namespace

void BusPostOn(unsigned lane, int64_t due, std::function<void()> work, int rank) {
    detail::CheckSimulationThread("BusPost");
    Lane& l = LaneFor(lane);
    std::lock_guard<std::mutex> guard(detail::DispatcherLock());
    l.queue.push(Work{due, rank, l.seq++, std::move(work)});
    detail::Signal();
}

void BusPost(std::function<void()> work) { BusPostOn(0, detail::Now(), std::move(work)); }

void BusPostAt(int64_t virtual100ns, std::function<void()> work, int rank) {
    BusPostOn(0, virtual100ns, std::move(work), rank);
}

void BusFlush() {
    if (OnBusThread()) return;
    auto left = std::make_shared<int>(0);  // lanes still to reach the marker (dispatcher lock)
    int64_t now = detail::Now();
    for (unsigned i = 0; i < kBusLanes; ++i) {
        if (!Lanes()[i].started) continue;
        {
            std::lock_guard<std::mutex> guard(detail::DispatcherLock());
            ++*left;
        }
        BusPostOn(i, now, [left] {
            std::lock_guard<std::mutex> guard(detail::DispatcherLock());
            --*left;
            detail::Signal();
        });
    }
    std::unique_lock<std::mutex> lock(detail::DispatcherLock());
    detail::BlockUntil(
        lock, "BusFlush", [left] { return *left == 0; }, [] { return detail::kNoDeadline; });
}

bool OnBusThread() { return t_onBus; }

}  // namespace hk
