// The Windows build of the driver, checked as the kernel's image loader and
// a WDK build would have it:
// - an executable image, not a DLL: the linker's /DRIVER makes an image without
//   IMAGE_FILE_DLL (a DLL-flagged kernel image is an export driver, loaded as
//   another driver's import), and sets IMAGE_DLLCHARACTERISTICS_WDM_DRIVER with
//   :WDM; relocations kept, since /DRIVER implies /FIXED:NO;
// - no export table: nothing imports from this driver;
// - the optional header's CheckSum is the image checksum (CheckSumMappedFile),
//   which kernel-mode images must carry;
// - memory-integrity rules: no section both writable and executable, page-sized
//   section alignment, NX compatible; an INIT section, if any, discardable;
// - its entry point is DriverEntry and its only imports are ntoskrnl.exe,
//   hal.dll and usbd.sys, every routine one of them exports (Wine's modules,
//   whose export lists are Windows', are the reference when installed).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr uint16_t kFileRelocsStripped = 0x0001, kFileExecutable = 0x0002, kFileLargeAddressAware = 0x0020,
                   kFileUpSystemOnly = 0x4000, kFileDll = 0x2000;
constexpr uint16_t kDllDynamicBase = 0x0040, kDllNxCompat = 0x0100, kDllWdmDriver = 0x2000;
constexpr uint32_t kScnCode = 0x20, kScnDiscardable = 0x02000000, kScnExecute = 0x20000000, kScnWrite = 0x80000000;
enum Directory { kExports = 0, kImports = 1, kRelocations = 5, kTls = 9 };

struct Section {
    std::string name;
    uint32_t virtualAddress = 0, virtualSize = 0, rawOffset = 0, rawSize = 0, characteristics = 0;
};

struct PeImage {
    std::vector<unsigned char> bytes;
    uint16_t machine = 0, subsystem = 0, magic = 0, characteristics = 0, dllCharacteristics = 0;
    uint32_t entryPoint = 0, checkSum = 0, checkSumOffset = 0, sectionAlignment = 0, fileAlignment = 0;
    uint32_t sizeOfImage = 0, symbolTable = 0, symbolCount = 0;
    std::vector<std::pair<uint32_t, uint32_t>> directories;  // RVA, size
    std::vector<Section> sections;
    std::map<std::string, std::set<std::string>> imports;  // lower-case DLL -> functions
    std::string error;

    template <typename T>
    T At(size_t offset) const {
        T v{};
        if (offset + sizeof(T) <= bytes.size()) std::memcpy(&v, bytes.data() + offset, sizeof(T));
        return v;
    }
    size_t ToOffset(uint32_t rva) const {
        for (const auto& s : sections)
            if (rva >= s.virtualAddress && rva < s.virtualAddress + std::max(s.virtualSize, s.rawSize))
                return s.rawOffset + (rva - s.virtualAddress);
        return bytes.size();
    }
    std::string String(size_t off) const {
        std::string s;
        while (off < bytes.size() && bytes[off]) s += static_cast<char>(bytes[off++]);
        return s;
    }
};

PeImage ReadPe(const std::string& path) {
    PeImage pe;
    std::ifstream f(path, std::ios::binary);
    pe.bytes.assign(std::istreambuf_iterator<char>(f), {});
    if (pe.bytes.size() < 0x40 || pe.bytes[0] != 'M' || pe.bytes[1] != 'Z') {
        pe.error = "not an MZ image";
        return pe;
    }
    size_t nt = pe.At<uint32_t>(0x3C);
    if (pe.At<uint32_t>(nt) != 0x00004550) {
        pe.error = "no PE signature";
        return pe;
    }
    size_t coff = nt + 4;
    pe.machine = pe.At<uint16_t>(coff);
    uint16_t sections = pe.At<uint16_t>(coff + 2);
    pe.symbolTable = pe.At<uint32_t>(coff + 8);
    pe.symbolCount = pe.At<uint32_t>(coff + 12);
    uint16_t optSize = pe.At<uint16_t>(coff + 16);
    pe.characteristics = pe.At<uint16_t>(coff + 18);
    size_t opt = coff + 20;
    pe.magic = pe.At<uint16_t>(opt);
    pe.entryPoint = pe.At<uint32_t>(opt + 16);
    pe.sectionAlignment = pe.At<uint32_t>(opt + 32);
    pe.fileAlignment = pe.At<uint32_t>(opt + 36);
    pe.sizeOfImage = pe.At<uint32_t>(opt + 56);
    pe.checkSumOffset = static_cast<uint32_t>(opt + 64);
    pe.checkSum = pe.At<uint32_t>(opt + 64);
    pe.subsystem = pe.At<uint16_t>(opt + 68);
    pe.dllCharacteristics = pe.At<uint16_t>(opt + 70);
    uint32_t directoryCount = pe.At<uint32_t>(opt + 108);
    for (uint32_t i = 0; i < std::min(directoryCount, 16u); ++i)
        pe.directories.emplace_back(pe.At<uint32_t>(opt + 112 + 8 * i), pe.At<uint32_t>(opt + 116 + 8 * i));
    pe.directories.resize(16);
    size_t sectionTable = opt + optSize;
    for (uint16_t i = 0; i < sections; ++i) {
        size_t s = sectionTable + 40u * i;
        Section section;
        section.name.assign(reinterpret_cast<const char*>(pe.bytes.data() + std::min(s, pe.bytes.size())),
                            strnlen(reinterpret_cast<const char*>(pe.bytes.data() + std::min(s, pe.bytes.size())),
                                    std::min<size_t>(8, pe.bytes.size() - std::min(s, pe.bytes.size()))));
        section.virtualSize = pe.At<uint32_t>(s + 8);
        section.virtualAddress = pe.At<uint32_t>(s + 12);
        section.rawSize = pe.At<uint32_t>(s + 16);
        section.rawOffset = pe.At<uint32_t>(s + 20);
        section.characteristics = pe.At<uint32_t>(s + 36);
        pe.sections.push_back(section);
    }
    auto toOffset = [&](uint32_t rva) { return pe.ToOffset(rva); };
    auto readString = [&](size_t off) { return pe.String(off); };
    uint32_t importRva = pe.directories[kImports].first;
    for (size_t d = toOffset(importRva);; d += 20) {
        uint32_t lookup = pe.At<uint32_t>(d), nameRva = pe.At<uint32_t>(d + 12), thunk = pe.At<uint32_t>(d + 16);
        if (nameRva == 0 || d + 20 > pe.bytes.size()) break;
        std::string dll = readString(toOffset(nameRva));
        std::transform(dll.begin(), dll.end(), dll.begin(), ::tolower);
        auto& functions = pe.imports[dll];
        for (size_t t = toOffset(lookup ? lookup : thunk);; t += 8) {
            uint64_t entry = pe.At<uint64_t>(t);
            if (entry == 0) break;
            if (entry >> 63) {
                functions.insert("#" + std::to_string(entry & 0xFFFF));
                continue;
            }
            functions.insert(readString(toOffset(static_cast<uint32_t>(entry)) + 2));
        }
    }
    return pe;
}

// Symbols of an object: the undefined ones, or (defined = true) those it defines.
std::vector<std::string> Symbols(const std::string& object, bool defined) {
    std::vector<std::string> out;
    std::string cmd = "x86_64-w64-mingw32-nm " + std::string(defined ? "--defined-only" : "-u") + " '" + object + "'";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char line[512];
    while (std::fgets(line, sizeof line, p)) {
        std::istringstream in(line);
        std::string first, type, name;
        in >> first >> type >> name;
        if (!defined) name = type;  // "U name"
        if (name.empty()) continue;
        if (name.rfind("__imp_", 0) == 0) name = name.substr(6);
        out.push_back(name);
    }
    EXPECT_EQ(pclose(p), 0) << cmd;
    return out;
}

// Names a PE image exports (its export directory's name table).
std::set<std::string> Exports(const PeImage& pe) {
    std::set<std::string> names;
    auto [rva, size] = pe.directories[kExports];
    if (size == 0) return names;
    size_t dir = pe.ToOffset(rva);
    uint32_t count = pe.At<uint32_t>(dir + 24), nameTable = pe.At<uint32_t>(dir + 32);
    for (uint32_t i = 0; i < count; ++i) names.insert(pe.String(pe.ToOffset(pe.At<uint32_t>(pe.ToOffset(nameTable) + 4 * i))));
    return names;
}

// The image checksum: 16-bit one's-complement sum of the file with the
// CheckSum field taken as zero, plus the file length.
uint32_t ImageCheckSum(const PeImage& pe) {
    uint64_t sum = 0;
    for (size_t i = 0; i < pe.bytes.size(); i += 2) {
        uint32_t word = pe.bytes[i] | (i + 1 < pe.bytes.size() ? pe.bytes[i + 1] << 8 : 0);
        if (i >= pe.checkSumOffset && i < pe.checkSumOffset + 4) word = 0;
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + pe.bytes.size());
}

// The address the linker's map file gives a symbol, as an RVA (0 if absent).
uint32_t MapAddress(const std::string& mapFile, const std::string& symbol, uint64_t imageBase) {
    std::ifstream map(mapFile);
    for (std::string line; std::getline(map, line);) {
        std::istringstream in(line);
        std::string address, name, extra;
        if (in >> address >> name && !(in >> extra) && name == symbol && address.rfind("0x", 0) == 0)
            return static_cast<uint32_t>(std::stoull(address, nullptr, 16) - imageBase);
    }
    return 0;
}

TEST(VelnorSys, IsANativeX64DriverImageWithoutExports) {
    PeImage pe = ReadPe(VELNOR_SYS_PATH);
    ASSERT_TRUE(pe.error.empty()) << pe.error;
    EXPECT_EQ(pe.machine, 0x8664) << "x64";
    EXPECT_EQ(pe.magic, 0x20B) << "PE32+";
    EXPECT_EQ(pe.subsystem, 1) << "native subsystem";
    EXPECT_TRUE(pe.characteristics & kFileExecutable);
    EXPECT_TRUE(pe.characteristics & kFileLargeAddressAware);
    EXPECT_FALSE(pe.characteristics & kFileDll) << "a driver is not a DLL";
    EXPECT_FALSE(pe.characteristics & kFileRelocsStripped);
    EXPECT_FALSE(pe.characteristics & kFileUpSystemOnly);
    EXPECT_TRUE(pe.dllCharacteristics & kDllWdmDriver);
    EXPECT_TRUE(pe.dllCharacteristics & kDllNxCompat);
    EXPECT_TRUE(pe.dllCharacteristics & kDllDynamicBase);
    EXPECT_EQ(pe.directories[kExports].second, 0u) << "export directory";
    EXPECT_TRUE(Exports(pe).empty());
    EXPECT_EQ(pe.directories[kTls].second, 0u) << "no thread-local storage in a driver";
    EXPECT_EQ(pe.symbolTable, 0u) << "symbol table left in the image";
    EXPECT_EQ(pe.symbolCount, 0u);
    EXPECT_EQ(pe.checkSum, ImageCheckSum(pe));
    EXPECT_NE(pe.checkSum, 0u);
    EXPECT_EQ(pe.entryPoint, MapAddress(VELNOR_SYS_LINK_MAP, "DriverEntry", 0x140000000)) << "entry is DriverEntry";
    EXPECT_NE(pe.entryPoint, 0u);
}

TEST(VelnorSys, SectionsAndRelocationsAreThoseOfADriver) {
    PeImage pe = ReadPe(VELNOR_SYS_PATH);
    ASSERT_TRUE(pe.error.empty()) << pe.error;
    EXPECT_EQ(pe.sectionAlignment, 0x1000u);
    EXPECT_EQ(pe.fileAlignment, 0x200u);
    std::set<std::string> names;
    for (const auto& s : pe.sections) {
        names.insert(s.name);
        EXPECT_EQ(s.virtualAddress % pe.sectionAlignment, 0u) << s.name;
        EXPECT_FALSE((s.characteristics & kScnWrite) && (s.characteristics & kScnExecute)) << s.name << " is W+X";
        EXPECT_EQ(bool(s.characteristics & kScnExecute), bool(s.characteristics & kScnCode)) << s.name;
        if (s.name == "INIT") {
            EXPECT_TRUE(s.characteristics & kScnDiscardable) << "INIT stays resident";
        }
        if (s.name == ".reloc") {
            EXPECT_TRUE(s.characteristics & kScnDiscardable);
        }
        EXPECT_LE(s.virtualAddress + s.virtualSize, pe.sizeOfImage) << s.name;
    }
    EXPECT_TRUE(names.count(".text") && names.count(".reloc"));
    for (const char* runtime : {".edata", ".tls", ".CRT"}) EXPECT_FALSE(names.count(runtime)) << runtime;

    // Base relocations: whole blocks inside the image, 64-bit fixups only.
    auto [rva, size] = pe.directories[kRelocations];
    ASSERT_GT(size, 0u) << "no relocations: the image could only load at its preferred base";
    size_t fixups = 0;
    for (uint32_t at = 0; at < size;) {
        size_t block = pe.ToOffset(rva + at);
        uint32_t page = pe.At<uint32_t>(block), blockSize = pe.At<uint32_t>(block + 4);
        ASSERT_GE(blockSize, 8u);
        ASSERT_LE(at + blockSize, size);
        for (uint32_t e = 8; e < blockSize; e += 2) {
            uint16_t entry = pe.At<uint16_t>(block + e);
            if (entry >> 12 == 0) continue;  // padding
            EXPECT_EQ(entry >> 12, 10) << "IMAGE_REL_BASED_DIR64";
            EXPECT_LT(page + (entry & 0xFFF) + 8, pe.sizeOfImage);
            ++fixups;
        }
        at += blockSize;
    }
    EXPECT_GT(fixups, 0u);
}

TEST(VelnorSys, ImportsOnlyTheKernelHalAndUsbd) {
    PeImage pe = ReadPe(VELNOR_SYS_PATH);
    ASSERT_TRUE(pe.error.empty()) << pe.error;
    const std::set<std::string> allowed = {"ntoskrnl.exe", "hal.dll", "usbd.sys"};
    ASSERT_FALSE(pe.imports.empty());
    for (const auto& [dll, functions] : pe.imports) EXPECT_TRUE(allowed.count(dll)) << "imports " << dll;
    const auto& kernel = pe.imports["ntoskrnl.exe"];
    EXPECT_TRUE(kernel.count("DbgPrint"));
    EXPECT_TRUE(kernel.count("KeAcquireSpinLockRaiseToDpc"));
    EXPECT_TRUE(kernel.count("RtlQueryRegistryValues"));
}

TEST(VelnorSys, EveryRoutineTheObjectsCallIsImported) {
    PeImage pe = ReadPe(VELNOR_SYS_PATH);
    ASSERT_TRUE(pe.error.empty()) << pe.error;
    std::set<std::string> imported;
    for (const auto& [dll, functions] : pe.imports) imported.insert(functions.begin(), functions.end());

    std::ifstream list(VELNOR_SYS_OBJECT_LIST);
    std::string objects;
    std::getline(list, objects);
    ASSERT_FALSE(objects.empty()) << "no object list from the Windows build";
    std::vector<std::string> objectFiles;
    std::stringstream ss(objects);
    for (std::string object; std::getline(ss, object, ';');) objectFiles.push_back(object);
    std::set<std::string> own;  // defined by one of the driver's objects
    for (const auto& object : objectFiles)
        for (const auto& symbol : Symbols(object, true)) own.insert(symbol);
    size_t checked = 0;
    for (const auto& object : objectFiles) {
        for (const auto& symbol : Symbols(object, false)) {
            if (own.count(symbol)) continue;
            ++checked;
            EXPECT_TRUE(imported.count(symbol)) << symbol << " (from " << object
                                                << ") is not imported: a static library provided it";
        }
    }
    EXPECT_GT(checked, 0u) << "the objects call no kernel routine at all?";
}

// Each imported routine is one the named module exports. Wine's builtin
// ntoskrnl.exe, hal.dll and usbd.sys carry Windows' export lists (stubs
// included), per architecture; an x86-only or misspelled import fails here
// as it would fail the load on Windows.
TEST(VelnorSys, EveryImportIsExportedByItsModule) {
    const std::filesystem::path wine = VELNOR_WINE_MODULE_DIR;
    if (!std::filesystem::exists(wine / "ntoskrnl.exe")) GTEST_SKIP() << "Wine's modules are not installed";
    PeImage pe = ReadPe(VELNOR_SYS_PATH);
    ASSERT_TRUE(pe.error.empty()) << pe.error;
    for (const auto& [dll, functions] : pe.imports) {
        PeImage module = ReadPe((wine / dll).string());
        ASSERT_TRUE(module.error.empty()) << dll << ": " << module.error;
        std::set<std::string> exported = Exports(module);
        ASSERT_FALSE(exported.empty()) << dll;
        for (const auto& f : functions) EXPECT_TRUE(exported.count(f)) << dll << " does not export " << f;
    }
}

}  // namespace
