// velnor-setup.exe: installs the drivers of a Windows test run through the
// setup API (as Device Manager's "Have Disk" would) and checks an INF with
// it first.
//
//   velnor-setup check INF HARDWARE_ID SERVICE     the INF parses and installs HARDWARE_ID
//                                                  with SERVICE as its function driver
//   velnor-setup add-driver INF                    copies the INF into the driver store
//   velnor-setup add-root-device INF HARDWARE_ID   a root-enumerated device, driver from INF
#include <windows.h>
#include <setupapi.h>
#include <newdev.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

int Fail(const char* what, DWORD error = GetLastError()) {
    std::fprintf(stderr, "velnor-setup: %s failed (error %lu)\n", what, static_cast<unsigned long>(error));
    return 1;
}

std::wstring Wide(const char* text) {
    std::wstring w;
    while (*text) w += static_cast<wchar_t>(static_cast<unsigned char>(*text++));
    return w;
}

std::wstring Field(INFCONTEXT& line, DWORD index) {
    wchar_t buffer[512];
    DWORD size = 0;
    if (!SetupGetStringFieldW(&line, index, buffer, 512, &size)) return L"";
    return buffer;
}

bool SameText(const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) == 0; }

struct Checker {
    HINF inf;
    int problems = 0;

    void Problem(const char* what, const std::wstring& detail = L"") {
        std::fprintf(stderr, "velnor-setup: INF: %s %ls\n", what, detail.c_str());
        ++problems;
    }
    bool Line(const std::wstring& section, const wchar_t* key, INFCONTEXT& line) {
        return SetupFindFirstLineW(inf, section.c_str(), key, &line);
    }
    std::wstring Value(const std::wstring& section, const wchar_t* key) {
        INFCONTEXT line;
        return Line(section, key, line) ? Field(line, 1) : L"";
    }
};

// Walks the INF the way device installation does for a 64-bit Windows 10:
// manufacturer, the NTamd64.10.0 models section, the model that names the
// hardware ID, its .NT install section, the files it copies and the service it
// adds, and the DebugLevel value of the service key.
int Check(const char* path, const char* hardwareId, const char* service) {
    UINT errorLine = 0;
    HINF inf = SetupOpenInfFileW(Wide(path).c_str(), nullptr, INF_STYLE_WIN4, &errorLine);
    if (inf == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "velnor-setup: %s: syntax error at line %u\n", path, errorLine);
        return Fail("SetupOpenInfFile");
    }
    Checker c{inf};
    if (!SameText(c.Value(L"Version", L"Signature"), L"$WINDOWS NT$")) c.Problem("Signature is not $WINDOWS NT$");
    if (c.Value(L"Version", L"Class").empty() || c.Value(L"Version", L"ClassGuid").size() != 38)
        c.Problem("Class or ClassGuid missing");
    if (c.Value(L"Version", L"DriverVer").empty()) c.Problem("DriverVer missing");
    if (c.Value(L"Version", L"CatalogFile").empty()) c.Problem("CatalogFile missing (a signed package needs one)");

    INFCONTEXT line;
    std::wstring install;
    if (!c.Line(L"Manufacturer", nullptr, line)) c.Problem("no [Manufacturer] entry");
    else {
        std::wstring models = Field(line, 1), decorated;
        for (DWORD i = 2; i <= SetupGetFieldCount(&line); ++i)
            if (SameText(Field(line, i), L"NTamd64.10.0")) decorated = models + L".NTamd64.10.0";
        if (decorated.empty()) c.Problem("no NTamd64.10.0 models for", models);
        else if (c.Line(decorated, nullptr, line)) {
            do {
                for (DWORD i = 2; i <= SetupGetFieldCount(&line); ++i)
                    if (SameText(Field(line, i), Wide(hardwareId))) install = Field(line, 1);
            } while (SetupFindNextLine(&line, &line));
        }
        if (install.empty()) c.Problem("no model installs", Wide(hardwareId));
    }
    if (!install.empty()) {
        std::wstring nt = install + L".NT";
        if (!c.Line(nt, L"CopyFiles", line)) c.Problem("no CopyFiles in", nt);
        else {
            INFCONTEXT file;
            if (!c.Line(Field(line, 1), nullptr, file)) c.Problem("empty file list", Field(line, 1));
            else
                do {
                    INFCONTEXT source;
                    if (!c.Line(L"SourceDisksFiles", Field(file, 1).c_str(), source))
                        c.Problem("not in [SourceDisksFiles]:", Field(file, 1));
                } while (SetupFindNextLine(&file, &file));
        }
        std::wstring serviceSection;
        if (!c.Line(nt + L".Services", L"AddService", line)) c.Problem("no AddService in", nt + L".Services");
        else {
            INT flags = 0;
            SetupGetIntField(&line, 2, &flags);
            if (!SameText(Field(line, 1), Wide(service))) c.Problem("service name is", Field(line, 1));
            if (!(flags & SPSVCINST_ASSOCSERVICE)) c.Problem("the service is not the function driver");
            serviceSection = Field(line, 3);
        }
        if (!serviceSection.empty()) {
            INT type = 0, start = 0;
            if (c.Line(serviceSection, L"ServiceType", line)) SetupGetIntField(&line, 1, &type);
            if (c.Line(serviceSection, L"StartType", line)) SetupGetIntField(&line, 1, &start);
            if (type != SERVICE_KERNEL_DRIVER) c.Problem("ServiceType is not a kernel driver");
            if (start != SERVICE_DEMAND_START) c.Problem("StartType is not demand start (Plug and Play loads it)");
            std::wstring binary = c.Value(serviceSection, L"ServiceBinary");
            if (binary.size() < 4 || !SameText(binary.substr(binary.size() - 4), L".sys"))
                c.Problem("ServiceBinary is", binary);
            bool debugLevel = false;
            if (c.Line(serviceSection, L"AddReg", line)) {
                INFCONTEXT value;
                if (c.Line(Field(line, 1), nullptr, value))
                    do {
                        INT type = 0;
                        SetupGetIntField(&value, 4, &type);
                        if (SameText(Field(value, 1), L"HKR") && SameText(Field(value, 3), L"DebugLevel"))
                            debugLevel = type == 0x00010001;  // FLG_ADDREG_TYPE_DWORD
                    } while (SetupFindNextLine(&value, &value));
            }
            if (!debugLevel) c.Problem("no REG_DWORD DebugLevel under the service key");
        }
    }
    SetupCloseInfFile(inf);
    if (c.problems) return 1;
    std::printf("velnor-setup: %s installs %s with service %s\n", path, hardwareId, service);
    return 0;
}

int AddDriver(const char* path) {
    wchar_t full[MAX_PATH], oem[MAX_PATH];
    GetFullPathNameW(Wide(path).c_str(), MAX_PATH, full, nullptr);
    if (!SetupCopyOEMInfW(full, nullptr, SPOST_PATH, 0, oem, MAX_PATH, nullptr, nullptr)) return Fail("SetupCopyOEMInf");
    std::printf("velnor-setup: %s copied as %ls\n", path, oem);
    return 0;
}

int AddRootDevice(const char* path, const char* hardwareId) {
    wchar_t full[MAX_PATH];
    GetFullPathNameW(Wide(path).c_str(), MAX_PATH, full, nullptr);
    GUID classGuid;
    wchar_t className[64];
    if (!SetupDiGetINFClassW(full, &classGuid, className, 64, nullptr)) return Fail("SetupDiGetINFClass");
    HDEVINFO set = SetupDiCreateDeviceInfoList(&classGuid, nullptr);
    if (set == INVALID_HANDLE_VALUE) return Fail("SetupDiCreateDeviceInfoList");
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    std::wstring id = Wide(hardwareId);
    std::wstring name = id.substr(id.find(L'\\') + 1);
    if (!SetupDiCreateDeviceInfoW(set, name.c_str(), &classGuid, nullptr, nullptr, DICD_GENERATE_ID, &device))
        return Fail("SetupDiCreateDeviceInfo");
    std::vector<wchar_t> ids(id.begin(), id.end());
    ids.push_back(0);
    ids.push_back(0);
    if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(ids.data()),
                                           static_cast<DWORD>(ids.size() * sizeof(wchar_t))))
        return Fail("SetupDiSetDeviceRegistryProperty");
    if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) return Fail("DIF_REGISTERDEVICE");
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, id.c_str(), full, INSTALLFLAG_FORCE, &reboot))
        return Fail("UpdateDriverForPlugAndPlayDevices");
    SetupDiDestroyDeviceInfoList(set);
    std::printf("velnor-setup: root device %s installed from %s\n", hardwareId, path);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string command = argc > 1 ? argv[1] : "";
    if (command == "check" && argc == 5) return Check(argv[2], argv[3], argv[4]);
    if (command == "add-driver" && argc == 3) return AddDriver(argv[2]);
    if (command == "add-root-device" && argc == 4) return AddRootDevice(argv[2], argv[3]);
    std::fprintf(stderr,
                 "usage: velnor-setup check INF HARDWARE_ID SERVICE\n"
                 "       velnor-setup add-driver INF\n"
                 "       velnor-setup add-root-device INF HARDWARE_ID\n");
    return 2;
}
