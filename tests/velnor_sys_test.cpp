// The Windows build of the driver: a native-subsystem x64 image whose only
// imports are ntoskrnl.exe, hal.dll and usbd.sys, and which imports every
// kernel routine its objects call (nothing filled in from a static library).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct PeImage {
    std::vector<unsigned char> bytes;
    uint16_t machine = 0, subsystem = 0, magic = 0;
    uint32_t entryPoint = 0;
    std::map<std::string, std::set<std::string>> imports;  // lower-case DLL -> functions
    std::string error;

    template <typename T>
    T At(size_t offset) const {
        T v{};
        if (offset + sizeof(T) <= bytes.size()) std::memcpy(&v, bytes.data() + offset, sizeof(T));
        return v;
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
    uint16_t optSize = pe.At<uint16_t>(coff + 16);
    size_t opt = coff + 20;
    pe.magic = pe.At<uint16_t>(opt);
    pe.entryPoint = pe.At<uint32_t>(opt + 16);
    pe.subsystem = pe.At<uint16_t>(opt + 68);
    uint32_t importRva = pe.At<uint32_t>(opt + 112 + 8);
    size_t sectionTable = opt + optSize;
    auto toOffset = [&](uint32_t rva) -> size_t {
        for (uint16_t i = 0; i < sections; ++i) {
            size_t s = sectionTable + 40u * i;
            uint32_t va = pe.At<uint32_t>(s + 12), size = pe.At<uint32_t>(s + 16), raw = pe.At<uint32_t>(s + 20);
            if (rva >= va && rva < va + size) return raw + (rva - va);
        }
        return pe.bytes.size();
    };
    auto readString = [&](size_t off) {
        std::string s;
        while (off < pe.bytes.size() && pe.bytes[off]) s += static_cast<char>(pe.bytes[off++]);
        return s;
    };
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

TEST(VelnorSys, IsANativeX64DriverImage) {
    PeImage pe = ReadPe(VELNOR_SYS_PATH);
    ASSERT_TRUE(pe.error.empty()) << pe.error;
    EXPECT_EQ(pe.machine, 0x8664) << "x64";
    EXPECT_EQ(pe.magic, 0x20B) << "PE32+";
    EXPECT_EQ(pe.subsystem, 1) << "native subsystem";
    EXPECT_NE(pe.entryPoint, 0u);
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

}  // namespace
