// Test support: every thread a test starts besides its own goes through
// StartThread, so what such a thread needs from the host kernel is set up
// in one place: it takes part in the simulation (the virtual clock waits
// for it) and runs at the IRQL asked for.
#pragma once

#include <hostkernel/hostkernel.h>

#include <functional>
#include <memory>
#include <stop_token>
#include <utility>

namespace velnor_test {

class TestThread {
public:
    TestThread(KIRQL irql, std::function<void(std::stop_token)> body)
        : thread_(std::make_unique<hk::SimThread>("test", [irql, body = std::move(body), token = stop_.get_token()] {
              KIRQL old = PASSIVE_LEVEL;
              if (irql != PASSIVE_LEVEL) KeRaiseIrql(irql, &old);
              body(token);
              if (irql != PASSIVE_LEVEL) KeLowerIrql(old);
          })) {}
    ~TestThread() {
        request_stop();
        join();
    }
    TestThread(TestThread&&) = default;
    void request_stop() { stop_.request_stop(); }
    void join() {
        if (thread_) thread_->Join();
    }

private:
    std::stop_source stop_;
    std::unique_ptr<hk::SimThread> thread_;
};

// Runs `body` on a new simulation thread at `irql`: PASSIVE_LEVEL for a
// request thread, DISPATCH_LEVEL for the role of a completion routine. The
// body should return once its stop token is set; the thread is asked to
// stop and joined when the returned object goes out of scope (also when an
// assertion leaves the test early).
inline TestThread StartThread(KIRQL irql, std::function<void(std::stop_token)> body) {
    return TestThread(irql, std::move(body));
}

}  // namespace velnor_test
