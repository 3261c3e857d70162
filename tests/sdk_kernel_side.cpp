// The SDK's test, kernel side (support/win32_bridge.h): the driver's filter
// selection and the simulated module's packets and analog outputs.
#include "support/win32_bridge.h"

#include "host_runtime.h"
#include "output/signal_filter.h"

#include <hostkernel/hostkernel.h>

#include <algorithm>

namespace win32_test {

DriverFilters ReadDriverFilters() {
    DriverFilters f{};
    std::copy(HpfCoefficients, HpfCoefficients + 3, f.highPass.begin());
    std::copy(LpfCoefficients, LpfCoefficients + 16, f.lowPass.begin());
    f.mainsCosine = NotchCoefficients[3];
    f.mainsOn = (FilterFlags & FILTER_NOTCH_ON) != 0;
    return f;
}

std::array<uint16_t, 17> ModulePacket(uint64_t k) {
    const std::vector<uint16_t> w = velnor::host::Module()->PacketAt(k);
    std::array<uint16_t, 17> words{};
    std::copy_n(w.begin(), std::min<size_t>(w.size(), 17), words.begin());
    return words;
}

int64_t FindModulePacket(const int16_t* la, const int16_t* ll, size_t n, int stride) {
    const auto& module = velnor::host::Module();
    const int64_t span = static_cast<int64_t>(n) * stride;
    // Packet k leaves the module at k / 2000 s of the bus's time.
    const int64_t last = hk::Now100ns() / 5000 - span;
    for (int64_t k = last; k >= 0 && k > last - 40000; --k) {
        bool match = true;
        for (size_t j = 0; j < n && match; ++j) {
            const std::vector<uint16_t> w = module->PacketAt(static_cast<uint64_t>(k + static_cast<int64_t>(j) * stride));
            match = static_cast<int16_t>(w[1]) == la[j] && static_cast<int16_t>(w[2]) == ll[j];
        }
        if (match) return k;
    }
    return -1;
}

std::array<uint16_t, 4> LatestAnalogOutputs() {
    const std::vector<velnor::sim::OutputSample> outputs = velnor::host::Module()->Outputs();
    if (outputs.empty()) return {};
    const velnor::sim::OutputSample& s = outputs.back();
    return {s.an[0], s.an[1], s.an[2], s.an[3]};
}

}  // namespace win32_test
