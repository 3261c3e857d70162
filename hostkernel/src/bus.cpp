// The bus thread: work that runs at DISPATCH_LEVEL, now or at a virtual time,
// as the USB stack's completions do.
#include "internal.h"

#include <queue>
#include <thread>

namespace hk {
namespace {

struct Work {
    int64_t due;
    uint64_t seq;
    std::function<void()> fn;
    bool operator>(const Work& o) const { return due != o.due ? due > o.due : seq > o.seq; }
};

class BusThread {
public:
    BusThread() : thread_([this] { Run(); }) {}
    ~BusThread() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    void Post(int64_t due, std::function<void()> fn) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            queue_.push(Work{due, seq_++, std::move(fn)});
        }
        cv_.notify_all();
    }
    std::thread::id Id() const { return thread_.get_id(); }

private:
    void Run() {
        std::unique_lock<std::mutex> lock(lock_);
        for (;;) {
            if (stop_) return;
            if (queue_.empty()) {
                cv_.wait(lock);
                continue;
            }
            int64_t due = queue_.top().due;
            if (detail::Now() < due) {
                // Bounded so a change of the clock factor is noticed soon.
                auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(5);
                cv_.wait_until(lock, std::min(detail::RealDeadline(due), limit));
                continue;
            }
            Work w = queue_.top();
            queue_.pop();
            lock.unlock();
            detail::SetIrql(DISPATCH_LEVEL);
            w.fn();
            if (KeGetCurrentIrql() != DISPATCH_LEVEL)
                ReportViolation("BusThread", "work returned at IRQL " + std::to_string(KeGetCurrentIrql()));
            if (detail::HeldSpinLocks() != 0) ReportViolation("BusThread", "work returned holding a spin lock");
            lock.lock();
        }
    }

    std::mutex lock_;
    std::condition_variable cv_;
    std::priority_queue<Work, std::vector<Work>, std::greater<Work>> queue_;
    uint64_t seq_ = 0;
    bool stop_ = false;
    std::thread thread_;
};

BusThread& Bus() {
    static BusThread bus;
    return bus;
}

}  // namespace

void BusPost(std::function<void()> work) { Bus().Post(detail::Now(), std::move(work)); }

void BusPostAt(int64_t virtual100ns, std::function<void()> work) { Bus().Post(virtual100ns, std::move(work)); }

void BusFlush() {
    if (OnBusThread()) return;
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    BusPost([&] {
        std::lock_guard<std::mutex> guard(m);
        done = true;
        cv.notify_all();
    });
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return done; });
}

bool OnBusThread() { return std::this_thread::get_id() == Bus().Id(); }

}  // namespace hk
