// Loading the driver module: banner, log level from the registry, dispatch
// table defaults, system-control pass-through, unload and reload.
#include "core/device_extension.h"

#include <hostkernel/hostkernel.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
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
    // A fresh log, the level in the registry, and the driver loaded.
    hk::Driver* LoadAt(uint32_t level) {
        hk::LogClear();
        SetLevel(level);
        return Load();
    }
};

// What the load prints follows the level just read: no value gives 2 (the
// level-3 lines, tested against the level before the read, stay silent);
// level 1 prints errors only, not even its own success; 5 traces. Every
// load reads the registry afresh.
TEST_F(DriverEntryTest, LevelReadFromTheRegistryDecidesWhatTheLoadPrints) {
    hk::Driver* d = Load();
    auto lines = hk::LogLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2], "Velnor> Debug: SetDebugLevelFromRegistry() - DebugLevel set to 0x2");
    EXPECT_TRUE(hk::UnloadDriver(d));

    d = LoadAt(1);
    EXPECT_EQ(hk::LogLines().size(), 2u);
    EXPECT_TRUE(hk::UnloadDriver(d));

    d = LoadAt(5);
    EXPECT_TRUE(hk::LogHasLine("Velnor> Debug: SetDebugLevelFromRegistry() - DebugLevel set to 0x5"));
    EXPECT_TRUE(hk::LogHasLine("Velnor> DriverEntry() - EXIT (0x0)"));
    EXPECT_FALSE(hk::LogHasLine("Velnor> DriverEntry() - START")) << "printed before the level was read";
    EXPECT_TRUE(hk::UnloadDriver(d));
    EXPECT_TRUE(hk::LogHasLine("Velnor> Velnor_Unload() - START"));
    EXPECT_TRUE(hk::LogHasLine("Velnor> Velnor_Unload() - EXIT"));

    // Level 0 prints only the banner: the build day packed and spelled out.
    d = LoadAt(0);
    lines = hk::LogLines();
    ASSERT_EQ(lines.size(), 2u) << "a reload reads the registry again";
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

TEST_F(DriverEntryTest, RegistryFailuresLogTheirCauseAndKeepLevelTwo) {
    // A value of the wrong type is a failed query too: the driver asks for a
    // type-checked DWORD, so neither a string (a UNICODE_STRING) nor eight
    // bytes of binary are ever written over its 4-byte level.
    const std::u16string key = hk::ServiceKeyPath(kService);
    const std::string failed = "Velnor> Debug: SetDebugLevelFromRegistry() - ";
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[] { hk::RegistryFailNextQuery(STATUS_INVALID_PARAMETER); }, "STATUS_INVALID_PARAMETER"},
        {[] { hk::RegistryFailNextQuery(STATUS_OBJECT_NAME_NOT_FOUND); }, "STATUS_OBJECT_NAME_NOT_FOUND"},
        {[] { hk::RegistryFailNextQuery(STATUS_INSUFFICIENT_RESOURCES); }, "function failed (Status = 0xC000009A)"},
        {[&] { hk::RegistrySetString(key, u"DebugLevel", u"5"); }, "function failed (Status = 0xC0000024)"},
        {[&] { hk::RegistrySetBinary(key, u"DebugLevel", {5, 0, 0, 0, 5, 0, 0, 0}); },
         "function failed (Status = 0xC0000024)"},
    };
    for (const auto& [arrange, cause] : cases) {
        SCOPED_TRACE(cause);
        hk::LogClear();
        SetLevel(5);
        arrange();
        hk::ViolationRecorder recorder;
        hk::Driver* d = Load();
        auto lines = hk::LogLines();
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[2], failed + cause);
        EXPECT_TRUE(hk::UnloadDriver(d));
        EXPECT_FALSE(hk::LogHasLine("Velnor> Velnor_Unload() - START")) << "the level stayed 2";
        EXPECT_TRUE(recorder.Take().empty()) << "a direct query of a DWORD without the type check";
    }
}

TEST_F(DriverEntryTest, RegistryPathTooLongForTheCopyIsNotQueried) {
    // The service key path has 52 characters before the name: 204 more make
    // 256, which leaves no room for the terminating zero; 203 just fit.
    for (size_t length : {204u, 203u}) {
        hk::LogClear();
        std::u16string service(length, u'x');
        hk::RegistrySetDword(hk::ServiceKeyPath(service), u"DebugLevel", 5);
        hk::Driver* d = Load(service);
        const bool tooLong = length == 204;
        EXPECT_EQ(hk::LogHasLine("Velnor> ERROR: SetDebugLevelFromRegistry() - registry path too long (256 characters)"),
                  tooLong);
        EXPECT_EQ(hk::LogHasLine("Velnor> Debug: SetDebugLevelFromRegistry() - DebugLevel set to 0x5"), !tooLong);
        EXPECT_TRUE(hk::UnloadDriver(d));
        EXPECT_EQ(hk::LogHasLine("Velnor> Velnor_Unload() - START"), !tooLong) << "a path too long keeps level 2";
    }
}

// System control passes down unchanged and returns the lower driver's
// status; writes and cleanup get the platform's default answer. The device
// sits over a lower device as add-device will put it.
TEST_F(DriverEntryTest, SystemControlPassesDownAndOthersGetTheDefaultAnswer) {
    SetLevel(5);
    hk::Driver* d = Load();
    UCHAR seenMinor = 0xFF;
    NTSTATUS seenStatus = -1;
    PDEVICE_OBJECT device = nullptr, lower = hk::CreateLowerDevice([&](PDEVICE_OBJECT, PIRP irp) {
        seenMinor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
        seenStatus = irp->IoStatus.Status;
        IoMarkIrpPending(irp);
        hk::BusPost([irp] { hk::CompleteIrp(irp, STATUS_NOT_SUPPORTED, 0); });
        return STATUS_PENDING;
    });
    ASSERT_EQ(IoCreateDevice(hk::DriverObjectOf(d), sizeof(DeviceExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                             &device),
              STATUS_SUCCESS);
    static_cast<DeviceExtension*>(device->DeviceExtension)->StackDeviceObject = IoAttachDeviceToDeviceStack(device, lower);
    EXPECT_EQ(hk::SendIrp(device, IRP_MJ_SYSTEM_CONTROL, 0x0B).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(seenMinor, 0x0B);
    EXPECT_EQ(seenStatus, STATUS_SUCCESS) << "status set to success before passing down";
    EXPECT_TRUE(hk::LogHasLine("Velnor> Velnor_ProcessSysControlIrp() - EXIT (0x103)")) << "the lower driver's status";
    hk::BusFlush();
    EXPECT_EQ(hk::SendIrp(device, IRP_MJ_WRITE, 0).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(hk::SendIrp(device, IRP_MJ_CLEANUP, 0).status, STATUS_INVALID_DEVICE_REQUEST);
    IoDetachDevice(lower);
    IoDeleteDevice(device);
    hk::DeleteLowerDevice(lower);
    EXPECT_TRUE(hk::UnloadDriver(d));
}

}  // namespace
