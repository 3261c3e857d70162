// Test support: every thread a test starts besides its own goes through
// StartThread, so what such a thread needs from the host kernel is set up
// in one place.
#pragma once

#include <hostkernel/hostkernel.h>

#include <functional>
#include <stop_token>
#include <thread>
#include <utility>

namespace velnor_test {

// Runs `body` on a new thread at `irql`: PASSIVE_LEVEL for a request
// thread, DISPATCH_LEVEL for the role of a completion routine. The body
// should return once its stop token is set; the thread is asked to stop
// and joined when the returned object goes out of scope (also when an
// assertion leaves the test early).
inline std::jthread StartThread(KIRQL irql, std::function<void(std::stop_token)> body) {
    return std::jthread([irql, body = std::move(body)](std::stop_token stop) {
        KIRQL old = PASSIVE_LEVEL;
        if (irql != PASSIVE_LEVEL) KeRaiseIrql(irql, &old);
        body(stop);
        if (irql != PASSIVE_LEVEL) KeLowerIrql(old);
    });
}

}  // namespace velnor_test
