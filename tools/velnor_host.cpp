// velnor-host: plugs the simulated acquisition module into the host
// kernel's USB bus, so that the Plug and Play manager loads velnor, adds and
// starts its device as Windows would, shows the driver configuring the
// module, then pulls the module out; the driver, left without devices,
// unloads under the verifier's leak and request checks.
//
//   velnor-host [--debug-level N] [--module PATH] [--realtime FACTOR] [--quiet]
//
// It runs on the discrete virtual clock unless --realtime asks for virtual
// time at FACTOR times real time (for watching a live run).
#include <hostkernel/hostkernel.h>
#include <hostkernel/pnp.h>
#include <velnor_sim/acquisition_module.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

namespace {

void Usage() {
    std::cerr << "usage: velnor-host [--debug-level N] [--module PATH] [--realtime FACTOR] [--quiet]\n"
                 "  --debug-level N  store N as the DebugLevel registry value before loading\n"
                 "  --module PATH    the driver module to load (default: the one built with this program)\n"
                 "  --realtime F     run the kernel clock at F times real time (default: discrete virtual time)\n"
                 "  --quiet          print only the verifier's summary\n";
}

}  // namespace

int main(int argc, char** argv) {
    std::string module = VELNOR_MODULE_PATH;
    long debugLevel = -1;
    bool quiet = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--debug-level" && i + 1 < argc) {
            char* end = nullptr;
            debugLevel = std::strtol(argv[++i], &end, 0);
            if (*end || debugLevel < 0) {
                std::cerr << "velnor-host: --debug-level takes a number of 0 or more\n";
                return 2;
            }
        } else if (a == "--module" && i + 1 < argc) {
            module = argv[++i];
        } else if (a == "--realtime" && i + 1 < argc) {
            char* end = nullptr;
            double factor = std::strtod(argv[++i], &end);
            if (*end || !(factor > 0)) {
                std::cerr << "velnor-host: --realtime takes a factor above 0\n";
                return 2;
            }
            hk::SetClockFactor(factor);
        } else if (a == "--quiet") {
            quiet = true;
        } else {
            Usage();
            return a == "--help" ? 0 : 2;
        }
    }

    const std::u16string service = u"Velnor";
    if (debugLevel >= 0) hk::RegistrySetDword(hk::ServiceKeyPath(service), u"DebugLevel", static_cast<uint32_t>(debugLevel));
    if (!quiet) hk::LogEcho(stdout);

    int violations = 0;
    hk::SetViolationHandler([&](const hk::Violation& v) {
        ++violations;
        std::cerr << "verifier: " << v.routine << ": " << v.message << "\n";
    });

    hk::pnp::RegisterDriver(velnor::sim::kHardwareId, {service, module, nullptr});
    auto function = std::make_shared<velnor::sim::AcquisitionModule>(velnor::sim::ModuleSettings{});
    bool bound = false;
    bool gone = false;
    {
        hk::pnp::UsbDevice device(function);
        bound = device.State() == hk::pnp::DeviceState::Started;
        if (!quiet)
            std::cout << "-- module plugged in: " << hk::pnp::StateName(device.State()) << " (add-device 0x" << std::hex
                      << device.AddStatus() << ", start 0x" << device.StartStatus() << std::dec << "); pulling it out\n";
        device.Unplug();
        gone = device.State() == hk::pnp::DeviceState::Removed && !hk::pnp::LoadedDriver(service);
    }
    hk::LogEcho(nullptr);
    std::cout << "velnor-host: " << hk::LogLines().size() << " log lines, " << violations << " verifier finding(s), module "
              << (bound ? "bound" : "NOT bound") << ", driver " << (gone ? "unloaded" : "still loaded") << "\n";
    if (!bound) std::cerr << "velnor-host: the driver did not bind to the module\n";
    return violations == 0 && bound && gone ? 0 : 1;
}
