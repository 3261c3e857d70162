// Verifier reporting and the pool with per-tag accounting.
#include "internal.h"

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
struct PoolFault {
    uint32_t tag;
    unsigned successes;
};
std::vector<PoolFault> g_poolFaults;

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

ViolationRecorder::ViolationRecorder() {
    SetViolationHandler([this](const Violation& v) {
        std::lock_guard<std::mutex> guard(g_handlerLock);
        seen_.push_back(v);
    });
}

ViolationRecorder::~ViolationRecorder() { SetViolationHandler(nullptr); }

std::vector<Violation> ViolationRecorder::Take() {
    std::lock_guard<std::mutex> guard(g_handlerLock);
    std::vector<Violation> out;
    out.swap(seen_);
    return out;
}

bool ViolationRecorder::Any(std::string_view routine) const {
    std::lock_guard<std::mutex> guard(g_handlerLock);
    for (const auto& v : seen_)
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
        if (a.tag == detail::kTagIo) continue;  // the kernel's own objects
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
    std::lock_guard<std::mutex> guard(g_poolLock);
    g_poolFaults.push_back({tag, successes});
}

namespace detail {

void* KernelAlloc(size_t bytes, uint32_t tag) {
    void* p = std::calloc(1, bytes ? bytes : 1);
    if (!p) std::abort();
    std::lock_guard<std::mutex> guard(g_poolLock);
    g_pool[p] = {tag, bytes};
    return p;
}

void KernelFree(void* p) {
    if (!p) return;
    {
        std::lock_guard<std::mutex> guard(g_poolLock);
        if (g_pool.erase(p) == 0) {
            ReportViolation("ExFreePool", "block freed twice, or never allocated from the pool");
            return;
        }
    }
    std::free(p);
}

}  // namespace detail
}  // namespace hk

using namespace hk;

extern "C" PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T bytes, ULONG tag) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL || (poolType == PagedPool && irql > APC_LEVEL))
        ReportViolation("ExAllocatePoolWithTag", "called at IRQL " + std::to_string(irql) + " for this pool type");
    if (tag == 0) ReportViolation("ExAllocatePoolWithTag", "pool tag 0");
    {
        std::lock_guard<std::mutex> guard(g_poolLock);
        for (auto it = g_poolFaults.begin(); it != g_poolFaults.end(); ++it) {
            if (it->tag != tag) continue;
            if (it->successes == 0) {
                g_poolFaults.erase(it);
                return nullptr;
            }
            it->successes--;
            break;
        }
    }
    // Not zeroed, as on the platform: fill with a pattern so reads of
    // uninitialised pool show up.
    void* p = std::malloc(bytes ? bytes : 1);
    if (!p) return nullptr;
    std::memset(p, 0xCD, bytes);
    std::lock_guard<std::mutex> guard(g_poolLock);
    g_pool[p] = {tag, bytes};
    return p;
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
        std::lock_guard<std::mutex> guard(g_poolLock);
        auto it = g_pool.find(p);
        if (it != g_pool.end() && it->second.tag != tag)
            ReportViolation("ExFreePoolWithTag", "freed with tag '" + TagName(tag) + "' but allocated with '" +
                                                     TagName(it->second.tag) + "'");
    }
    ExFreePool(p);
}
