// The Win32 layer's tests, kernel side: the status driver and the key press
// the application-side tests use (support/win32_bridge.h), and the parsing
// of VELNOR_SIM.
#include "support/win32_bridge.h"

#include "host_runtime.h"

#include <hostkernel/hostkernel.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace win32_test {
namespace {

hk::Driver* g_statusDriver = nullptr;
PDEVICE_OBJECT g_statusDevice = nullptr;
UNICODE_STRING g_deviceName, g_linkName;

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS Succeed(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 0); }

NTSTATUS ReturnStatus(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    StatusRequest request{};
    if (!buffer || stack->Parameters.DeviceIoControl.InputBufferLength < sizeof request)
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    std::memcpy(&request, buffer, sizeof request);
    const ULONG n = std::min<ULONG>(request.information, stack->Parameters.DeviceIoControl.OutputBufferLength);
    std::memset(buffer, kFill, n);
    return Complete(irp, static_cast<NTSTATUS>(request.status), n);
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    RtlInitUnicodeString(&g_deviceName, u"\\Device\\VelnorStatus");
    RtlInitUnicodeString(&g_linkName, u"\\DosDevices\\VelnorStatus");
    NTSTATUS status = IoCreateDevice(driver, 0, &g_deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_statusDevice);
    if (!NT_SUCCESS(status)) return status;
    g_statusDevice->Flags |= DO_BUFFERED_IO;
    g_statusDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    status = IoCreateSymbolicLink(&g_linkName, &g_deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(g_statusDevice);
        return status;
    }
    driver->MajorFunction[IRP_MJ_CREATE] = Succeed;
    driver->MajorFunction[IRP_MJ_CLEANUP] = Succeed;
    driver->MajorFunction[IRP_MJ_CLOSE] = Succeed;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ReturnStatus;
    return STATUS_SUCCESS;
}

}  // namespace

// Loaded once and kept: its unload would count the velnor driver's pool as its leak.
void LoadStatusDriver() {
    if (g_statusDriver) return;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    g_statusDriver = hk::LoadDriver(Entry, u"VelnorStatus", &status);
    ASSERT_TRUE(g_statusDriver && NT_SUCCESS(status));
}

void PressKey(int key, double seconds) {
    velnor::host::EnsureBooted();
    velnor::host::Module()->PressKey({key, static_cast<double>(hk::Now100ns()) / 1e7, seconds});
}

}  // namespace win32_test

namespace {

using velnor::host::ParseSimSettings;

TEST(VelnorSimSettings, EveryNameReachesItsFieldAndDefaultsStayForTheRest) {
    velnor::sim::ModuleSettings s;
    std::string error;
    ASSERT_TRUE(ParseSimSettings(" rate=90 ,noise=0.02,mains=60:0.1,paced=1,leadoff=0x3,recording=path.edf,seed=3,"
                                 "key=1:0.5:0.2,key=3:2:1,ectopic=4,asystole=2:1.5,pace=0x80,amplitude=1.5,axis=-30,"
                                 "irregularity=0.1,wander=0.3,carrier=0.05,counts=200,csvrate=250,",
                                 &s, &error))
        << error;
    EXPECT_EQ(s.ecg.heartRate, 90);
    EXPECT_EQ(s.ecg.muscleMv, 0.02);
    EXPECT_EQ(s.ecg.mainsHz, 60);
    EXPECT_EQ(s.ecg.mainsMv, 0.1);
    EXPECT_TRUE(s.ecg.paced);
    EXPECT_EQ(s.leadOffMask, 3u);
    EXPECT_EQ(s.recording, "path.edf");
    EXPECT_EQ(s.ecg.seed, 3u);
    ASSERT_EQ(s.keys.size(), 2u);
    EXPECT_EQ(s.keys[1].key, 3);
    EXPECT_EQ(s.keys[1].start, 2);
    EXPECT_EQ(s.keys[1].duration, 1);
    EXPECT_EQ(s.ecg.ectopicEvery, 4);
    EXPECT_EQ(s.ecg.asystoleStart, 2);
    EXPECT_EQ(s.ecg.asystoleSeconds, 1.5);
    EXPECT_EQ(s.paceValue, 0x80);
    EXPECT_EQ(s.ecg.amplitude, 1.5);
    EXPECT_EQ(s.ecg.axisDegrees, -30);
    EXPECT_EQ(s.ecg.irregularity, 0.1);
    EXPECT_EQ(s.ecg.wanderMv, 0.3);
    EXPECT_EQ(s.ecg.carrierMv, 0.05);
    EXPECT_EQ(s.countsPerMv, 200);
    EXPECT_EQ(s.csvRate, 250);

    velnor::sim::ModuleSettings untouched;
    ASSERT_TRUE(ParseSimSettings("", &untouched, &error));
    EXPECT_EQ(untouched.ecg.heartRate, velnor::sim::ModuleSettings{}.ecg.heartRate);
    EXPECT_TRUE(untouched.keys.empty());
}

TEST(VelnorSimSettings, BadTextNamesTheItemAndTheReason) {
    const struct {
        const char* text;
        const char* reason;
    } cases[] = {
        {"rate", "\"rate\": expected NAME=VALUE"},
        {"rate=fast", "\"rate=fast\": not a number"},
        {"seed=3,rate=500", "\"rate=500\": out of range (30 to 300)"},
        {"paced=yes", "expected 0 or 1"},
        {"mains=50", "expected two numbers separated by ':'"},
        {"key=4:0:1", "\"key=4:0:1\": out of range (1 to 3)"},
        {"key=1:0", "expected KEY:START:DURATION"},
        {"leadoff=0x1000", "out of range (0 to 4095)"},
        {"seed=-1", "not a whole number"},
        {"recording=", "a file name is required"},
        {"colour=red", "unknown setting \"colour\""},
    };
    for (const auto& c : cases) {
        velnor::sim::ModuleSettings s;
        std::string error;
        EXPECT_FALSE(ParseSimSettings(c.text, &s, &error)) << c.text;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.text << " gave: " << error;
        EXPECT_EQ(error.rfind("VELNOR_SIM: ", 0), 0u) << error;
    }
}

}  // namespace
