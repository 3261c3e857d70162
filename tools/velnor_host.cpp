// velnor-host: loads the velnor driver on the host kernel, as Windows would
// at boot, shows its banner and log, and unloads it with the verifier's
// leak and request checks.
//
//   velnor-host [--debug-level N] [--module PATH] [--realtime FACTOR] [--quiet]
//
// It runs on the discrete virtual clock unless --realtime asks for virtual
// time at FACTOR times real time (for watching a live run).
#include <hostkernel/hostkernel.h>

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

    NTSTATUS status = 0;
    hk::Driver* driver = hk::LoadDriverModule(module, service, &status);
    if (!driver) {
        std::cerr << "velnor-host: the driver did not load (DriverEntry status 0x" << std::hex << status << ")\n";
        return 1;
    }
    if (!quiet) std::cout << "-- driver loaded; unloading\n";
    bool gone = hk::UnloadDriver(driver);
    hk::LogEcho(nullptr);
    std::cout << "velnor-host: " << hk::LogLines().size() << " log lines, " << violations << " verifier finding(s), module "
              << (gone ? "unloaded" : "still mapped") << "\n";
    return violations == 0 && gone ? 0 : 1;
}
