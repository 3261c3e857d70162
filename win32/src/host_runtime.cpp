// The host runtime: boot on first use, the module's settings from the
// environment, the unplug at exit, and the application's simulation threads.
#include "host_runtime.h"

#include "bench_device.h"

#include <hostkernel/hostkernel.h>
#include <hostkernel/pnp.h>

#include <velnor/host_thread.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

extern "C" DRIVER_INITIALIZE DriverEntry;  // the velnor driver, linked in

namespace velnor::host {
namespace {

constexpr std::u16string_view kHardwareId = u"USB\\VID_1209&PID_7E1A";
constexpr std::u16string_view kService = u"Velnor";
// How long the unplug at exit may take in real time before the process
// leaves without it (a thread of the application still running holds the
// discrete clock).
constexpr auto kExitLimit = std::chrono::seconds(30);

struct Runtime {
    velnor::sim::ModuleSettings settings;  // from the environment, for a module plugged in later
    std::shared_ptr<velnor::sim::AcquisitionModule> module;
    std::unique_ptr<hk::pnp::UsbDevice> device;
    FILE* log = nullptr;
    bool ownLog = false;
    // The plug pulled at a set time (VELNOR_SIM unplug=SECONDS); `quit` ends the wait at exit.
    std::unique_ptr<hk::SimThread> unplugTimer;
    KEVENT quit;
    bool bench = false;  // VELNOR_BENCH=1: the test bench's control device
};

// Never destroyed: the unplug at exit and late threads may still use it.
Runtime* g_runtime = nullptr;
std::mutex g_runtimeLock;
thread_local bool t_simulation = false;

[[noreturn]] void ExitBadEnvironment(const std::string& message) {
    std::fprintf(stderr, "velnor: %s\n", message.c_str());
    std::fflush(stderr);
    std::exit(2);
}

// ---------------------------------------------------------------- VELNOR_SIM
std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

std::vector<std::string_view> Split(std::string_view s, char separator) {
    std::vector<std::string_view> parts;
    for (;;) {
        size_t at = s.find(separator);
        parts.push_back(Trim(s.substr(0, at)));
        if (at == std::string_view::npos) return parts;
        s.remove_prefix(at + 1);
    }
}

bool ParseDouble(std::string_view s, double* value) {
    if (s.empty()) return false;
    if (s.front() == '+') s.remove_prefix(1);
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *value);
    return ec == std::errc() && end == s.data() + s.size();
}

// Decimal, or hexadecimal with 0x.
bool ParseUnsigned(std::string_view s, uint64_t* value) {
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty()) return false;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *value, base);
    return ec == std::errc() && end == s.data() + s.size();
}

class SimParser {
public:
    SimParser(velnor::sim::ModuleSettings* settings, std::string* error) : s_(settings), error_(error) {}

    bool Item(std::string_view item) {
        item_ = item;
        size_t eq = item.find('=');
        if (eq == std::string_view::npos) return Fail("expected NAME=VALUE");
        const std::string_view name = Trim(item.substr(0, eq));
        const std::string_view value = Trim(item.substr(eq + 1));
        velnor::sim::EcgSettings& ecg = s_->ecg;
        if (name == "rate") return Number(value, 30, 300, &ecg.heartRate);
        if (name == "amplitude") return Number(value, 0, 10, &ecg.amplitude);
        if (name == "axis") return Number(value, -180, 180, &ecg.axisDegrees);
        if (name == "irregularity") return Number(value, 0, 0.5, &ecg.irregularity);
        if (name == "ectopic") return Integer(value, 0, 1000, &ecg.ectopicEvery);
        if (name == "paced") return Flag(value, &ecg.paced);
        if (name == "asystole") return Pair(value, 0, 1e6, 0, 1e6, &ecg.asystoleStart, &ecg.asystoleSeconds);
        if (name == "mains") return Pair(value, 1, 1000, 0, 100, &ecg.mainsHz, &ecg.mainsMv);
        if (name == "wander") return Number(value, 0, 100, &ecg.wanderMv);
        if (name == "noise") return Number(value, 0, 100, &ecg.muscleMv);
        if (name == "carrier") return Number(value, 0, 100, &ecg.carrierMv);
        if (name == "seed") return Integer(value, 0, UINT32_MAX, &ecg.seed);
        if (name == "counts") return Number(value, 1, 10000, &s_->countsPerMv);
        if (name == "leadoff") return Integer(value, 0, (1u << velnor::sim::kElectrodeCount) - 1, &s_->leadOffMask);
        if (name == "pace") return Integer(value, 0, 0xFFFF, &s_->paceValue);
        if (name == "csvrate") return Number(value, 1, 100000, &s_->csvRate);
        if (name == "recording") {
            if (value.empty()) return Fail("a file name is required");
            s_->recording = std::string(value);
            return true;
        }
        if (name == "key") return Key(value);
        if (name == "unplug") return Number(value, 0, 1e7, &s_->unplugAfter);
        return Fail("unknown setting \"" + std::string(name) +
                    "\" (known: rate, amplitude, axis, irregularity, ectopic, paced, asystole, mains, wander, noise, "
                    "carrier, seed, counts, leadoff, key, pace, recording, csvrate, unplug)");
    }

private:
    bool Fail(const std::string& why) {
        *error_ = "VELNOR_SIM: \"" + std::string(item_) + "\": " + why;
        return false;
    }
    static std::string Range(double lo, double hi) {
        char text[64];
        std::snprintf(text, sizeof text, "%.10g to %.10g", lo, hi);
        return text;
    }
    bool Number(std::string_view text, double lo, double hi, double* out) {
        double v = 0;
        if (!ParseDouble(text, &v)) return Fail("not a number");
        if (!(v >= lo && v <= hi)) return Fail("out of range (" + Range(lo, hi) + ")");
        *out = v;
        return true;
    }
    template <typename T>
    bool Integer(std::string_view text, uint64_t lo, uint64_t hi, T* out) {
        uint64_t v = 0;
        if (!ParseUnsigned(text, &v)) return Fail("not a whole number");
        if (v < lo || v > hi) return Fail("out of range (" + Range(double(lo), double(hi)) + ")");
        *out = static_cast<T>(v);
        return true;
    }
    bool Flag(std::string_view text, bool* out) {
        if (text != "0" && text != "1") return Fail("expected 0 or 1");
        *out = text == "1";
        return true;
    }
    bool Pair(std::string_view text, double lo1, double hi1, double lo2, double hi2, double* first, double* second) {
        std::vector<std::string_view> parts = Split(text, ':');
        if (parts.size() != 2) return Fail("expected two numbers separated by ':'");
        double a = 0, b = 0;
        if (!Number(parts[0], lo1, hi1, &a) || !Number(parts[1], lo2, hi2, &b)) return false;
        *first = a;
        *second = b;
        return true;
    }
    bool Key(std::string_view text) {
        std::vector<std::string_view> parts = Split(text, ':');
        if (parts.size() != 3) return Fail("expected KEY:START:DURATION");
        velnor::sim::KeyPress press{};
        if (!Integer(parts[0], 1, 3, &press.key) || !Number(parts[1], 0, 1e6, &press.start) ||
            !Number(parts[2], 0, 1e6, &press.duration))
            return false;
        s_->keys.push_back(press);
        return true;
    }

    velnor::sim::ModuleSettings* s_;
    std::string* error_;
    std::string_view item_;
};

// ---------------------------------------------------------------- environment
const char* Env(const char* name) {
    const char* value = std::getenv(name);
    return value && *value ? value : nullptr;
}

void ApplyEnvironment(Runtime* rt, velnor::sim::ModuleSettings* settings) {
    std::string error;
    if (const char* sim = Env("VELNOR_SIM"); sim && !ParseSimSettings(sim, settings, &error))
        ExitBadEnvironment(error + "\nvelnor: syntax: VELNOR_SIM=\"rate=72,noise=0.02,mains=50:0.1,paced=1,leadoff=0x3,"
                                   "key=1:0.5:0.2,recording=FILE.edf,seed=3\" (see README.md)");
    if (const char* level = Env("VELNOR_DEBUG_LEVEL")) {
        uint64_t v = 0;
        if (!ParseUnsigned(level, &v) || v > UINT32_MAX)
            ExitBadEnvironment(std::string("VELNOR_DEBUG_LEVEL: \"") + level + "\" is not a whole number (0 to 5)");
        hk::RegistrySetDword(hk::ServiceKeyPath(kService), u"DebugLevel", static_cast<uint32_t>(v));
    }
    if (const char* factor = Env("VELNOR_REALTIME")) {
        double f = 0;
        if (!ParseDouble(factor, &f) || !(f > 0))
            ExitBadEnvironment(std::string("VELNOR_REALTIME: \"") + factor + "\" is not a factor above 0");
        hk::SetClockFactor(f);
    }
    if (const char* bench = Env("VELNOR_BENCH")) {
        if (std::strcmp(bench, "0") != 0 && std::strcmp(bench, "1") != 0)
            ExitBadEnvironment(std::string("VELNOR_BENCH: \"") + bench + "\" is neither 0 nor 1");
        rt->bench = bench[0] == '1';
        // The bench replaces the module; a timer pulling the plug as well would race it.
        if (rt->bench && settings->unplugAfter >= 0)
            ExitBadEnvironment("VELNOR_BENCH=1 pulls the plug itself; drop unplug= from VELNOR_SIM");
    }
    if (const char* log = Env("VELNOR_LOG")) {
        if (std::strcmp(log, "-") == 0) {
            rt->log = stderr;
        } else {
            rt->log = std::fopen(log, "w");
            if (!rt->log) ExitBadEnvironment(std::string("VELNOR_LOG: cannot write ") + log + ": " + std::strerror(errno));
            rt->ownLog = true;
        }
        hk::LogEcho(rt->log);
    }
}

// On the bench a frame's IN transfers complete before its OUT ones, as on
// the Windows test bus, so both benches line the packet file up alike.
hk::usb::ControllerOptions ControllerOptionsFor(const Runtime& rt) {
    hk::usb::ControllerOptions options;
    options.isoInBeforeOut = rt.bench;
    return options;
}

// ---------------------------------------------------------------- exit
void Shutdown() {
    Runtime* rt;
    {
        std::lock_guard<std::mutex> guard(g_runtimeLock);
        rt = g_runtime;
    }
    if (!rt || !Device()) return;
    if (rt->unplugTimer) {
        KeSetEvent(&rt->quit, IO_NO_INCREMENT, FALSE);
        rt->unplugTimer->Join();
    }
    if (size_t open = OpenHandleCount()) {
        // Closing them is the application's business; a removal cannot
        // finish while they are open.
        std::fprintf(stderr, "velnor: %zu handle(s) to the device still open at exit; the module stays plugged in\n",
                     open);
        return;
    }
    auto findings = std::make_shared<std::atomic<int>>(0);
    hk::SetViolationHandler([findings](const hk::Violation& v) {
        findings->fetch_add(1);
        std::fprintf(stderr, "*** VERIFIER: %s: %s\n", v.routine.c_str(), v.message.c_str());
    });
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread([done] {
        const auto until = std::chrono::steady_clock::now() + kExitLimit;
        while (!done->load()) {
            if (std::chrono::steady_clock::now() >= until) {
                std::fprintf(stderr, "velnor: the module was not unplugged within %lld s at exit (a thread of the "
                                     "application still running?); leaving without it\n",
                             static_cast<long long>(kExitLimit.count()));
                std::fflush(nullptr);
                std::_Exit(3);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }).detach();
    {
        // On a simulation thread of its own: exit() may come from any thread.
        hk::SimThread unplug("velnor-exit", [rt] {
            // Bench requests of threads still running wait from here on: the
            // module they work on goes now.
            if (rt->bench) LockBench();
            // An orderly removal while the module is still there (the driver
            // unloads with its leak checks), then the plug is pulled; should
            // the removal be refused, pulling the plug removes it instead.
            std::unique_ptr<hk::pnp::UsbDevice> device;
            {
                std::lock_guard<std::mutex> guard(g_runtimeLock);
                device = std::move(rt->device);
            }
            if (device->State() == hk::pnp::DeviceState::Started) device->Disable();
            device.reset();
            hk::pnp::UnregisterDrivers();
            // A handle still open to the bench keeps its device (and any
            // request of it); it goes with the process.
            if (rt->bench) {
                if (OpenHandleCount(true) == 0) StopBench();
                UnlockBench();
            }
        });
        unplug.Join();
    }
    done->store(true);
    hk::LogEcho(nullptr);
    if (rt->ownLog) std::fclose(rt->log);
    rt->log = nullptr;
    if (int n = findings->load()) {
        std::fprintf(stderr, "velnor: %d verifier finding(s) at exit\n", n);
        std::fflush(nullptr);
        std::_Exit(3);
    }
    hk::SetViolationHandler(nullptr);
}

void Boot() {
    auto* rt = new Runtime;
    ApplyEnvironment(rt, &rt->settings);
    try {
        rt->module = std::make_shared<velnor::sim::AcquisitionModule>(rt->settings);
    } catch (const std::exception& e) {
        ExitBadEnvironment(std::string("VELNOR_SIM: the simulated module cannot start: ") + e.what());
    }
    // Plug and Play waits on the kernel clock: on a simulation thread, whichever thread came first.
    bool benchMade = true;
    hk::SimThread boot("velnor-boot", [rt, &benchMade] {
        hk::pnp::RegisterDriver(kHardwareId, {std::u16string(kService), {}, DriverEntry});
        rt->device = std::make_unique<hk::pnp::UsbDevice>(rt->module, ControllerOptionsFor(*rt));
        benchMade = !rt->bench || StartBench();
    });
    boot.Join();
    if (!benchMade) ExitBadEnvironment("VELNOR_BENCH: the bench's control device could not be made");
    if (rt->settings.unplugAfter >= 0) {
        KeInitializeEvent(&rt->quit, NotificationEvent, FALSE);
        rt->unplugTimer = std::make_unique<hk::SimThread>("velnor-unplug", [rt] {
            LARGE_INTEGER timeout;
            timeout.QuadPart = -static_cast<LONGLONG>(rt->settings.unplugAfter * 1e7);
            if (KeWaitForSingleObject(&rt->quit, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT)
                rt->device->Unplug();
        });
    }
    if (rt->device->State() != hk::pnp::DeviceState::Started)
        std::fprintf(stderr, "velnor: the simulated module did not start (%s, status 0x%08X); \\\\.\\Velnor-0 will not open\n",
                     hk::pnp::StateName(rt->device->State()), static_cast<unsigned>(rt->device->StartStatus()));
    {
        std::lock_guard<std::mutex> guard(g_runtimeLock);
        g_runtime = rt;
    }
    std::atexit(Shutdown);
}

}  // namespace

bool ParseSimSettings(std::string_view text, velnor::sim::ModuleSettings* settings, std::string* error) {
    SimParser parser(settings, error);
    for (std::string_view item : Split(text, ','))
        if (!item.empty() && !parser.Item(item)) return false;
    return true;
}

void EnsureBooted() {
    // Threads that come while another boots wait for it: a simulation thread
    // in a kernel wait (one blocked elsewhere would hold the clock that the
    // boot's own waits need), any other thread on a condition variable.
    struct Gate {
        std::atomic<int> state{0};  // 0 not booted, 1 booting, 2 booted
        std::mutex lock;
        std::condition_variable done;
        KEVENT event;
        Gate() { KeInitializeEvent(&event, NotificationEvent, FALSE); }
    };
    static Gate* gate = new Gate;  // never destroyed: late threads may still look
    if (gate->state.load(std::memory_order_acquire) == 2) return;
    int expected = 0;
    if (gate->state.compare_exchange_strong(expected, 1)) {
        Boot();
        {
            std::lock_guard<std::mutex> guard(gate->lock);
            gate->state.store(2, std::memory_order_release);
        }
        gate->done.notify_all();
        KeSetEvent(&gate->event, IO_NO_INCREMENT, FALSE);
        return;
    }
    if (IsSimulationThread()) {
        KeWaitForSingleObject(&gate->event, Executive, KernelMode, FALSE, nullptr);
    } else {
        std::unique_lock<std::mutex> lock(gate->lock);
        gate->done.wait(lock, [] { return gate->state.load() == 2; });
    }
}

std::shared_ptr<velnor::sim::AcquisitionModule> Module() {
    std::lock_guard<std::mutex> guard(g_runtimeLock);
    return g_runtime ? g_runtime->module : nullptr;
}

hk::pnp::UsbDevice* Device() {
    std::lock_guard<std::mutex> guard(g_runtimeLock);
    return g_runtime ? g_runtime->device.get() : nullptr;
}

void PlugNewModule() {
    Runtime* rt;
    std::unique_ptr<hk::pnp::UsbDevice> old;
    {
        std::lock_guard<std::mutex> guard(g_runtimeLock);
        rt = g_runtime;
        if (!rt) return;
        old = std::move(rt->device);
    }
    old.reset();  // a node whose removal still waits for a handle is a verifier finding
    auto module = std::make_shared<velnor::sim::AcquisitionModule>(rt->settings);
    auto device = std::make_unique<hk::pnp::UsbDevice>(module, ControllerOptionsFor(*rt));
    std::lock_guard<std::mutex> guard(g_runtimeLock);
    rt->module = std::move(module);
    rt->device = std::move(device);
}

void MarkSimulationThread() { t_simulation = true; }

bool IsSimulationThread() { return t_simulation || syscall(SYS_gettid) == getpid(); }

}  // namespace velnor::host

// ---------------------------------------------------------------- velnor::HostThread
namespace velnor {

struct HostThread::Impl {
    hk::SimThread thread;
    explicit Impl(std::function<void()> body)
        : thread("app", [body = std::move(body)] {
              host::MarkSimulationThread();
              body();
          }) {}
};

HostThread::HostThread(std::function<void()> body) : impl_(std::make_unique<Impl>(std::move(body))) {}

HostThread::~HostThread() { join(); }

bool HostThread::joinable() const { return impl_ != nullptr; }

void HostThread::join() {
    if (!impl_) return;
    impl_->thread.Join();
    impl_.reset();
}

}  // namespace velnor
