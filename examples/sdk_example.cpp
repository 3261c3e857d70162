// The SDK in a few lines: open the module, configure the 12 leads at
// 500 Hz, read one second and print lead II's range. Builds for Linux (host
// layer, simulated module) and for Windows with mingw-w64.
#include "velnor/sdk.h"

#include <algorithm>
#include <cstdio>

int main() {
    try {
        velnor::sdk::Device device;  // \\.\Velnor-0
        velnor::sdk::Settings settings;
        settings.rate = velnor::sdk::SamplingRate::Hz500;
        device.Configure(settings);
        device.StartStreams();  // the module's recommended stream parameters
        float low = 0, high = 0;
        for (int i = 0; i < 100; ++i) {
            const velnor::sdk::Block block = device.ReadBlock(5);  // 10 ms
            if (block.error != velnor::sdk::BlockError::None) continue;
            const auto leads = velnor::sdk::DeriveLeads(block);
            const auto& ii = leads[velnor::sdk::Lead::II];
            const auto [lo, hi] = std::minmax_element(ii.begin(), ii.end());
            low = std::min(low, *lo);
            high = std::max(high, *hi);
        }
        std::printf("lead II over 1 s: %.0f to %.0f uV\n", static_cast<double>(low), static_cast<double>(high));
        return 0;  // the destructor stops the streams and closes the device
    } catch (const velnor::sdk::Error& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
