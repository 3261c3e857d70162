// The control interface test's kernel side: the simulated module pulled out
// and a new one plugged in (support/win32_bridge.h).
#include "support/win32_bridge.h"

#include "host_runtime.h"

#include <hostkernel/pnp.h>

namespace win32_test {

void UnplugModule() {
    velnor::host::EnsureBooted();
    velnor::host::Device()->Unplug();
}

const char* DeviceState() {
    hk::pnp::UsbDevice* device = velnor::host::Device();
    return device ? hk::pnp::StateName(device->State()) : "none";
}

void PlugNewModule() { velnor::host::PlugNewModule(); }

}  // namespace win32_test
