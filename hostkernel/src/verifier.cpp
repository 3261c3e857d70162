// Verifier reporting and the pool with per-tag accounting.
#include "internal.h"

#include <sanitizer/asan_interface.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <unordered_map>

namespace hk {
namespace {

std::mutex g_handlerLock;
ViolationHandler g_handler;

struct Allocation {
    uint32_t tag;
    size_t bytes;
};
std::mutex g_poolLock;
std::unordered_map<void*, Allocation> g_pool;
// Low resources simulation: the armed rules and the calls seen per routine.
struct FaultRule {
    uint64_t id;
    AllocFault fault;
    unsigned matched = 0;
    unsigned failed = 0;
    uint64_t random = 0;   // generator state
    bool oneShot = false;  // gone once it has failed a call
};
std::mutex g_faultLock;
std::vector<FaultRule> g_faultRules;
uint64_t g_nextFaultId = 1;
constexpr size_t kAllocRoutines = static_cast<size_t>(Alloc::Any);
std::atomic<uint64_t> g_allocCalls[kAllocRoutines];

// splitmix64: a fixed generator, so a seed fails the same calls everywhere.
double NextUniform(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * 0x1.0p-53;
}

FaultRule* FindRule(uint64_t id) {
    for (auto& r : g_faultRules)
        if (r.id == id) return &r;
    return nullptr;
}

}  // namespace

void SetViolationHandler(ViolationHandler handler) {
    std::lock_guard<std::mutex> guard(g_handlerLock);
    g_handler = std::move(handler);
}

void ReportViolation(const char* routine, const std::string& message) {
    ViolationHandler handler;
    {
        std::lock_guard<std::mutex> guard(g_handlerLock);
        handler = g_handler;
    }
    Violation v{routine, message};
    if (handler) {
        handler(v);
        return;
    }
    std::fprintf(stderr, "\n*** VERIFIER: %s: %s\n", routine, message.c_str());
    std::fflush(stderr);
    std::abort();
}

ViolationRecorder::ViolationRecorder() : seen_(std::make_shared<std::vector<Violation>>()) {
    std::lock_guard<std::mutex> guard(g_handlerLock);
    previous_ = g_handler;
    g_handler = [seen = seen_](const Violation& v) {
        std::lock_guard<std::mutex> guard(g_handlerLock);
        seen->push_back(v);
    };
}

ViolationRecorder::~ViolationRecorder() { SetViolationHandler(previous_); }

std::vector<Violation> ViolationRecorder::Take() {
    std::lock_guard<std::mutex> guard(g_handlerLock);
    std::vector<Violation> out;
    out.swap(*seen_);
    return out;
}

bool ViolationRecorder::Any(std::string_view routine) const {
    std::lock_guard<std::mutex> guard(g_handlerLock);
    for (const auto& v : *seen_)
        if (v.routine == routine) return true;
    return false;
}

std::string TagName(uint32_t tag) {
    // A four-character constant 'ABCD' holds 'A' in its top byte.
    std::string s;
    for (int shift = 24; shift >= 0; shift -= 8) {
        char c = static_cast<char>((tag >> shift) & 0xFF);
        s += (c >= 32 && c < 127) ? c : '?';
    }
    return s;
}

std::vector<PoolUsage> OutstandingPool() {
    std::map<uint32_t, PoolUsage> byTag;
    std::lock_guard<std::mutex> guard(g_poolLock);
    for (const auto& [p, a] : g_pool) {
        if (a.tag == detail::kTagIo || a.tag == detail::kTagMdl) continue;  // the kernel's own objects
        auto& u = byTag[a.tag];
        u.tag = a.tag;
        u.count++;
        u.bytes += a.bytes;
    }
    std::vector<PoolUsage> out;
    for (auto& [tag, u] : byTag) out.push_back(u);
    return out;
}

void FailPoolAllocation(uint32_t tag, unsigned successes) {
    std::lock_guard<std::mutex> guard(g_faultLock);
    FaultRule rule{g_nextFaultId++, AllocFault{Alloc::ExAllocatePoolWithTag, tag, successes + 1, 1, 0, 0}};
    rule.oneShot = true;
    g_faultRules.push_back(rule);
}

const char* AllocName(Alloc routine) {
    switch (routine) {
    case Alloc::ExAllocatePoolWithTag: return "ExAllocatePoolWithTag";
    case Alloc::IoAllocateIrp: return "IoAllocateIrp";
    case Alloc::IoBuildDeviceIoControlRequest: return "IoBuildDeviceIoControlRequest";
    case Alloc::IoAllocateMdl: return "IoAllocateMdl";
    case Alloc::MmMapLockedPagesSpecifyCache: return "MmMapLockedPagesSpecifyCache";
    case Alloc::USBD_CreateConfigurationRequestEx: return "USBD_CreateConfigurationRequestEx";
    case Alloc::IoCreateDevice: return "IoCreateDevice";
    case Alloc::IoCreateSymbolicLink: return "IoCreateSymbolicLink";
    case Alloc::RtlUnicodeStringToAnsiString: return "RtlUnicodeStringToAnsiString";
    case Alloc::Any: return "any allocating routine";
    }
    return "?";
}

FailAllocations::FailAllocations(const AllocFault& fault) {
    std::lock_guard<std::mutex> guard(g_faultLock);
    id_ = g_nextFaultId++;
    FaultRule rule{id_, fault};
    rule.random = fault.seed;
    g_faultRules.push_back(rule);
}

FailAllocations::~FailAllocations() {
    std::lock_guard<std::mutex> guard(g_faultLock);
    for (auto it = g_faultRules.begin(); it != g_faultRules.end(); ++it) {
        if (it->id == id_) {
            g_faultRules.erase(it);
            break;
        }
    }
}

unsigned FailAllocations::Matched() const {
    std::lock_guard<std::mutex> guard(g_faultLock);
    const FaultRule* r = FindRule(id_);
    return r ? r->matched : 0;
}

unsigned FailAllocations::Failed() const {
    std::lock_guard<std::mutex> guard(g_faultLock);
    const FaultRule* r = FindRule(id_);
    return r ? r->failed : 0;
}

uint64_t AllocationCalls(Alloc routine) {
    size_t i = static_cast<size_t>(routine);
    return i < kAllocRoutines ? g_allocCalls[i].load() : 0;
}

void ResetAllocationCalls() {
    for (auto& c : g_allocCalls) c = 0;
}

namespace detail {

bool ShouldFail(Alloc routine, uint32_t tag) {
    size_t index = static_cast<size_t>(routine);
    if (index < kAllocRoutines) g_allocCalls[index]++;
    std::lock_guard<std::mutex> guard(g_faultLock);
    bool fail = false;
    for (auto it = g_faultRules.begin(); it != g_faultRules.end();) {
        FaultRule& r = *it;
        const bool matches = (r.fault.routine == Alloc::Any || r.fault.routine == routine) &&
                             (r.fault.tag == 0 || (routine == Alloc::ExAllocatePoolWithTag && tag == r.fault.tag));
        if (!matches) {
            ++it;
            continue;
        }
        ++r.matched;
        bool failThis = false;
        if (r.fault.probability > 0)
            failThis = NextUniform(r.random) < r.fault.probability;
        else if (r.fault.nth > 0)
            failThis = r.matched >= r.fault.nth && r.matched - r.fault.nth < r.fault.repeat;
        if (failThis) {
            ++r.failed;
            fail = true;
        }
        if (failThis && r.oneShot)
            it = g_faultRules.erase(it);
        else
            ++it;
    }
    return fail;
}

size_t OutstandingTag(uint32_t tag) {
    std::lock_guard<std::mutex> guard(g_poolLock);
    size_t n = 0;
    for (const auto& [p, a] : g_pool) n += a.tag == tag;
    return n;
}

void FillStale(void* p, size_t bytes) { std::memset(p, kStalePoolByte, bytes); }

namespace {

// Large blocks (a device's rings) freed are kept for the next allocation of
// the same size: under AddressSanitizer each fresh large block is a new
// mapping faulted in page by page, which made adding a device cost more than
// everything it did afterwards. A kept block is poisoned, so touching it
// after its free is still reported, and it is filled anew when reused.
constexpr size_t kKeepFrom = 64 * 1024;
constexpr size_t kKeepAtMost = 4;
// A plain array: it outlives every destructor, so the kept blocks stay
// reachable for the leak check at exit.
struct Kept {
    void* block;
    size_t bytes;
};
Kept g_kept[kKeepAtMost];  // guarded by g_poolLock; empty slots hold nullptr

void* TakeKept(size_t bytes) {
    if (bytes < kKeepFrom) return nullptr;
    std::lock_guard<std::mutex> guard(g_poolLock);
    for (Kept& k : g_kept) {
        if (!k.block || k.bytes != bytes) continue;
        void* p = k.block;
        k.block = nullptr;
        ASAN_UNPOISON_MEMORY_REGION(p, bytes);
        return p;
    }
    return nullptr;
}

// Called with g_poolLock held.
bool Keep(void* p, size_t bytes) {
    if (bytes < kKeepFrom) return false;
    for (Kept& k : g_kept) {
        if (k.block) continue;
        ASAN_POISON_MEMORY_REGION(p, bytes);
        k = {p, bytes};
        return true;
    }
    return false;
}

}  // namespace

void* PoolAllocate(size_t bytes, uint32_t tag) {
    // Not zeroed, as on the platform: fill with a pattern so reads of
    // uninitialised pool show up.
    void* p = TakeKept(bytes);
    if (!p) p = std::malloc(bytes ? bytes : 1);
    if (!p) return nullptr;
    FillStale(p, bytes);
    std::lock_guard<std::mutex> guard(g_poolLock);
    g_pool[p] = {tag, bytes};
    return p;
}

void* KernelAlloc(size_t bytes, uint32_t tag) {
    void* p = std::calloc(1, bytes ? bytes : 1);
    if (!p) std::abort();
    std::lock_guard<std::mutex> guard(g_poolLock);
    g_pool[p] = {tag, bytes};
    return p;
}

void KernelFree(void* p) {
    if (!p) return;
    bool known = false, kept = false;
    {
        std::lock_guard<std::mutex> guard(g_poolLock);
        auto it = g_pool.find(p);
        if (it != g_pool.end()) {
            known = true;
            kept = Keep(p, it->second.bytes);
            g_pool.erase(it);
        }
    }
    if (!known) {
        ReportViolation("ExFreePool", "block freed twice, or never allocated from the pool");
        return;
    }
    if (!kept) std::free(p);
}

}  // namespace detail
}  // namespace hk

using namespace hk;

extern "C" PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T bytes, ULONG tag) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL || (poolType == PagedPool && irql > APC_LEVEL))
        ReportViolation("ExAllocatePoolWithTag", "called at IRQL " + std::to_string(irql) + " for this pool type");
    if (tag == 0) ReportViolation("ExAllocatePoolWithTag", "pool tag 0");
    if (bytes == 0) ReportViolation("ExAllocatePoolWithTag", "allocation of zero bytes");
    if (detail::ShouldFail(Alloc::ExAllocatePoolWithTag, tag)) return nullptr;
    return detail::PoolAllocate(bytes, tag);
}

extern "C" VOID ExFreePool(PVOID p) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) ReportViolation("ExFreePool", "called above DISPATCH_LEVEL");
    if (!p) {
        ReportViolation("ExFreePool", "null pointer freed");
        return;
    }
    detail::ForgetIrp(p);
    detail::KernelFree(p);
}

extern "C" VOID ExFreePoolWithTag(PVOID p, ULONG tag) {
    if (p) {
        uint32_t allocated = tag;
        {
            std::lock_guard<std::mutex> guard(g_poolLock);
            auto it = g_pool.find(p);
            if (it != g_pool.end()) allocated = it->second.tag;
        }
        if (allocated != tag)
            ReportViolation("ExFreePoolWithTag", "freed with tag '" + TagName(tag) + "' but allocated with '" +
                                                     TagName(allocated) + "'");
    }
    ExFreePool(p);
}
