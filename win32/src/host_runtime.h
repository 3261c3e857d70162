// The host runtime behind the Win32 layer: on first use it boots the host
// kernel, registers the linked-in velnor driver for the module's hardware ID
// and plugs the simulated acquisition module in, configured from the
// environment; at exit it unplugs the module again (see README.md,
// "Applications on Linux").
#pragma once

#include <velnor_sim/acquisition_module.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace hk::pnp {
class UsbDevice;
}

namespace velnor::host {

// Parses VELNOR_SIM ("rate=72,noise=0.02,mains=50:0.1,...") onto `settings`.
// False, with the reason in `error`, for text that is not valid.
bool ParseSimSettings(std::string_view text, velnor::sim::ModuleSettings* settings, std::string* error);

// Boots once per process, from whichever thread comes first; the others
// wait. A bad VELNOR_* variable prints the reason on stderr and exits with
// status 2.
void EnsureBooted();

// The module on the bus; null before the boot.
std::shared_ptr<velnor::sim::AcquisitionModule> Module();

// For tests of the device going away. Device() is the module's device node
// (null before the boot): its Unplug() is a surprise removal, and the
// removal follows when the application closes its last handle. Once that
// has happened, PlugNewModule() plugs a new module, made with the boot's
// settings, in its place (the driver loads again). Both from a simulation
// thread.
hk::pnp::UsbDevice* Device();
void PlugNewModule();

// The calling thread takes part in the simulation (the process's first
// thread does from the start).
void MarkSimulationThread();
bool IsSimulationThread();

// Handles the application holds open to the module's device, or with
// `bench` to the test bench's (defined by the layer).
size_t OpenHandleCount(bool bench = false);

}  // namespace velnor::host
