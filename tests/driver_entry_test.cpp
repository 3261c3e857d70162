// Loading the driver module: banner, log level from the registry, dispatch
// table defaults, system-control pass-through, unload and reload.
#include "core/device_extension.h"

#include <hostkernel/hostkernel.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

const std::u16string kService = u"Velnor";

class DriverEntryTest : public ::testing::Test {
protected:
    void SetUp() override {
        hk::RegistryReset();
        hk::LogClear();
    }
    hk::Driver* Load(std::u16string_view service = kService) {
        hk::Driver* d = hk::LoadDriverModule(VELNOR_MODULE_PATH, service);
        EXPECT_NE(d, nullptr);
        return d;
    }
    void SetLevel(uint32_t level) { hk::RegistrySetDword(hk::ServiceKeyPath(kService), u"DebugLevel", level); }
};

TEST_F(DriverEntryTest, BannerLinesCarryTheBuildDayPackedAndSpelledOut) {
    SetLevel(0);
    hk::Driver* d = Load();
    auto lines = hk::LogLines();
    ASSERT_EQ(lines.size(), 2u) << "level 0 prints only the banner";
    char month[4] = {};
    int day = 0, year = 0, h = 0, m = 0, s = 0;
    ASSERT_EQ(std::sscanf(lines[0].c_str(), "Velnor.sys Build: %3s %d %d %d:%d:%d", month, &day, &year, &h, &m, &s), 6)
        << lines[0];
    const std::string months = "JanFebMarAprMayJunJulAugSepOctNovDec";
    unsigned mon = static_cast<unsigned>(months.find(month) / 3 + 1);
    unsigned packed = mon << 24 | static_cast<unsigned>(day) << 16 | static_cast<unsigned>(year % 100);
    char expected[96];
    std::snprintf(expected, sizeof expected, "VELNOR> Driver Build Day (0x%X) = %02u/%02u/%02u", packed, mon,
                  static_cast<unsigned>(day), static_cast<unsigned>(year % 100));
    EXPECT_EQ(lines[1], expected);
    EXPECT_TRUE(hk::UnloadDriver(d));
}

// What the load prints follows the level just read: no value gives 2 (the
// level-3 lines, tested against the level before the read, stay silent);
// level 1 prints errors only, not even its own success; 5 traces.
TEST_F(DriverEntryTest, LevelReadFromTheRegistryDecidesWhatTheLoadPrints) {
    hk::Driver* d = Load();
    auto lines = hk::LogLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2], "Velnor> Debug: SetDebugLevelFromRegistry() - DebugLevel set to 0x2");
    EXPECT_TRUE(hk::UnloadDriver(d));

    hk::LogClear();
    SetLevel(1);
    d = Load();
    EXPECT_EQ(hk::LogLines().size(), 2u);
    EXPECT_TRUE(hk::UnloadDriver(d));

    hk::LogClear();
    SetLevel(5);
    d = Load();
    EXPECT_TRUE(hk::LogHasLine("Velnor> Debug: SetDebugLevelFromRegistry() - DebugLevel set to 0x5"));
    EXPECT_TRUE(hk::LogHasLine("Velnor> DriverEntry() - EXIT (0x0)"));
    EXPECT_FALSE(hk::LogHasLine("Velnor> DriverEntry() - START")) << "printed before the level was read";
    EXPECT_TRUE(hk::UnloadDriver(d));
    EXPECT_TRUE(hk::LogHasLine("Velnor> Velnor_Unload() - START"));
    EXPECT_TRUE(hk::LogHasLine("Velnor> Velnor_Unload() - EXIT"));
}

TEST_F(DriverEntryTest, RegistryFailuresLogTheirCauseAndKeepLevelTwo) {
    struct Case {
        NTSTATUS status;
        const char* line;
    } cases[] = {
        {STATUS_INVALID_PARAMETER, "Velnor> Debug: SetDebugLevelFromRegistry() - STATUS_INVALID_PARAMETER"},
        {STATUS_OBJECT_NAME_NOT_FOUND, "Velnor> Debug: SetDebugLevelFromRegistry() - STATUS_OBJECT_NAME_NOT_FOUND"},
        {STATUS_INSUFFICIENT_RESOURCES,
         "Velnor> Debug: SetDebugLevelFromRegistry() - function failed (Status = 0xC000009A)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        hk::LogClear();
        SetLevel(5);
        hk::RegistryFailNextQuery(c.status);
        hk::Driver* d = Load();
        auto lines = hk::LogLines();
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[2], c.line);
        EXPECT_TRUE(hk::UnloadDriver(d));
        EXPECT_FALSE(hk::LogHasLine("Velnor> Velnor_Unload() - START")) << "the level stayed 2";
    }
    // A value of the wrong type is a failed query too: the driver asks for a
    // type-checked DWORD, so neither a string (a UNICODE_STRING) nor eight
    // bytes of binary are ever written over its 4-byte level.
    for (bool text : {true, false}) {
        SCOPED_TRACE(text ? "REG_SZ" : "REG_BINARY");
        hk::LogClear();
        if (text)
            hk::RegistrySetString(hk::ServiceKeyPath(kService), u"DebugLevel", u"5");
        else
            hk::RegistrySetBinary(hk::ServiceKeyPath(kService), u"DebugLevel", {5, 0, 0, 0, 5, 0, 0, 0});
        hk::ViolationRecorder recorder;
        hk::Driver* d = Load();
        EXPECT_TRUE(
            hk::LogHasLine("Velnor> Debug: SetDebugLevelFromRegistry() - function failed (Status = 0xC0000024)"));
        EXPECT_TRUE(hk::UnloadDriver(d));
        EXPECT_FALSE(hk::LogHasLine("Velnor> Velnor_Unload() - START")) << "the level stayed 2";
        EXPECT_TRUE(recorder.Take().empty()) << "a direct query of a DWORD without the type check";
    }
}

TEST_F(DriverEntryTest, RegistryPathTooLongForTheCopyIsNotQueried) {
    // The service key path has 52 characters before the name: 204 more make
    // 256, which leaves no room for the terminating zero.
    std::u16string service(204, u'x');
    hk::RegistrySetDword(hk::ServiceKeyPath(service), u"DebugLevel", 5);
    hk::Driver* d = Load(service);
    auto lines = hk::LogLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2], "Velnor> ERROR: SetDebugLevelFromRegistry() - registry path too long (256 characters)");
    EXPECT_TRUE(hk::UnloadDriver(d));
    EXPECT_FALSE(hk::LogHasLine("Velnor> Velnor_Unload() - START"));

    // One character shorter fits the 256-character buffer with its zero.
    hk::LogClear();
    std::u16string fits(203, u'y');
    hk::RegistrySetDword(hk::ServiceKeyPath(fits), u"DebugLevel", 5);
    d = Load(fits);
    EXPECT_TRUE(hk::LogHasLine("Velnor> Debug: SetDebugLevelFromRegistry() - DebugLevel set to 0x5"));
    EXPECT_TRUE(hk::UnloadDriver(d));
}

// A device of the loaded driver over a lower device, as add-device will
// make it; enough to route requests through the dispatch table.
struct BoundDevice {
    PDEVICE_OBJECT lower = nullptr;
    PDEVICE_OBJECT device = nullptr;
    explicit BoundDevice(hk::Driver* d, hk::LowerHandler handler) {
        lower = hk::CreateLowerDevice(std::move(handler));
        EXPECT_EQ(IoCreateDevice(hk::DriverObjectOf(d), sizeof(DeviceExtension), nullptr, FILE_DEVICE_UNKNOWN, 0,
                                 FALSE, &device),
                  STATUS_SUCCESS);
        auto* ext = static_cast<DeviceExtension*>(device->DeviceExtension);
        ext->StackDeviceObject = IoAttachDeviceToDeviceStack(device, lower);
    }
    ~BoundDevice() {
        IoDetachDevice(lower);
        IoDeleteDevice(device);
        hk::DeleteLowerDevice(lower);
    }
};

TEST_F(DriverEntryTest, SystemControlPassesDownUnchangedAndReturnsTheLowerStatus) {
    SetLevel(5);
    hk::Driver* d = Load();
    {
    UCHAR seenMinor = 0xFF;
    NTSTATUS seenStatus = -1;
    BoundDevice bound(d, [&](PDEVICE_OBJECT, PIRP irp) {
        seenMinor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
        seenStatus = irp->IoStatus.Status;
        IoMarkIrpPending(irp);
        hk::BusPost([irp] { hk::CompleteIrp(irp, STATUS_NOT_SUPPORTED, 0); });
        return STATUS_PENDING;
    });
    hk::IoResult r = hk::SendIrp(bound.device, IRP_MJ_SYSTEM_CONTROL, 0x0B);
    EXPECT_EQ(r.status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(seenMinor, 0x0B);
    EXPECT_EQ(seenStatus, STATUS_SUCCESS) << "status set to success before passing down";
    EXPECT_TRUE(hk::LogHasLine("Velnor> Velnor_ProcessSysControlIrp() - EXIT (0x103)")) << "the lower driver's status";
    hk::BusFlush();
    }
    EXPECT_TRUE(hk::UnloadDriver(d));
}

TEST_F(DriverEntryTest, WriteRequestGetsThePlatformDefaultAnswer) {
    hk::Driver* d = Load();
    {
        BoundDevice bound(d, nullptr);
        EXPECT_EQ(hk::SendIrp(bound.device, IRP_MJ_WRITE, 0).status, STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(hk::SendIrp(bound.device, IRP_MJ_CLEANUP, 0).status, STATUS_INVALID_DEVICE_REQUEST);
    }
    EXPECT_TRUE(hk::UnloadDriver(d));
}

TEST_F(DriverEntryTest, UnloadReleasesTheModuleAndAReloadStartsFresh) {
    SetLevel(5);
    hk::Driver* d = Load();
    EXPECT_TRUE(hk::UnloadDriver(d)) << "module still mapped after unload";
    hk::LogClear();
    SetLevel(0);
    d = Load();
    EXPECT_EQ(hk::LogLines().size(), 2u) << "the second load reads the registry again";
    EXPECT_TRUE(hk::UnloadDriver(d));
}

}  // namespace
