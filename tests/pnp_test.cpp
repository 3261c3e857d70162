// The Plug and Play manager: what the simulated bus's physical device
// answers, which driver a device gets, and the requests a function driver
// sees from plug-in to removal, through a small test driver.
#include <hostkernel/pnp.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using hk::pnp::DeviceState;
using hk::pnp::UsbDevice;

// A USB function that is only its descriptors.
class Descriptors : public hk::usb::Function {
public:
    Descriptors(uint16_t product, uint16_t release) : product_(product), release_(release) {}
    std::vector<uint8_t> DeviceDescriptor() override {
        auto lo = [](unsigned v) { return static_cast<uint8_t>(v); };
        return {18, 1, 0x10, 0x01, 0xFF, 0, 0, 64, 0x09, 0x12, lo(product_), lo(product_ >> 8u), lo(release_),
                lo(release_ >> 8u), 0, 0, 0, 1};
    }
    std::vector<uint8_t> ConfigurationDescriptor() override { return {9, 2, 9, 0, 0, 1, 0, 0x80, 50}; }
    std::optional<std::vector<uint8_t>> StringDescriptor(uint8_t, uint16_t) override { return std::nullopt; }
    bool Control(const hk::usb::Setup&, std::vector<uint8_t>&) override { return false; }
    size_t IsoIn(uint8_t, uint32_t, uint8_t*, size_t) override { return 0; }
    void IsoOut(uint8_t, uint32_t, const uint8_t*, size_t) override {}
    size_t BulkIn(uint8_t, uint8_t*, size_t) override { return 0; }
    void BulkOut(uint8_t, const uint8_t*, size_t) override {}
    uint16_t product_, release_;
};

std::shared_ptr<hk::usb::Function> Module(uint16_t product = 0x7E1A, uint16_t release = 0x0100) {
    return std::make_shared<Descriptors>(product, release);
}

// ------------------------------------------------------------------ the test driver
// Attaches a named device (\Device\HkPnpN, linked as \DosDevices\HkPnpN, N
// the lowest free slot) at add-device, starts and answers capabilities on
// the way up, passes the rest down, and records what it saw.
struct Seen {
    int entries = 0;
    int unloads = 0;
    std::vector<UCHAR> pnp;  // minor functions in order
    std::vector<DEVICE_CAPABILITIES> caps;
    struct Power {
        UCHAR minor;
        POWER_STATE_TYPE type;
        int state;
        bool operator==(const Power&) const = default;
    };
    std::vector<Power> power;
    NTSTATUS linkStatus = STATUS_SUCCESS;
    // What the driver does.
    NTSTATUS startFailure = STATUS_SUCCESS;
    bool vetoQueries = false;  // fails query-stop and query-remove
    bool keepLink = false;     // leaves its symbolic link behind at remove
    bool slots[4] = {};
} g_seen;

struct Fdo {
    PDEVICE_OBJECT lower;
    int slot;
    bool hasLink;
    UNICODE_STRING link;
    char16_t linkText[32];
};

std::u16string Name(const char16_t* prefix, int slot) { return prefix + std::u16string(1, char16_t(u'0' + slot)); }

NTSTATUS ForwardAndWait(Fdo* fdo, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, [](PDEVICE_OBJECT, PIRP, PVOID event) -> NTSTATUS {
        KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(fdo->lower, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    auto* fdo = static_cast<Fdo*>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    g_seen.pnp.push_back(stack->MinorFunction);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS s = ForwardAndWait(fdo, irp);
        return Complete(irp, NT_SUCCESS(s) ? g_seen.startFailure : s);
    }
    case IRP_MN_QUERY_CAPABILITIES: {
        NTSTATUS s = ForwardAndWait(fdo, irp);
        g_seen.caps.push_back(*stack->Parameters.DeviceCapabilities.Capabilities);
        return Complete(irp, s);
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
        if (g_seen.vetoQueries) return Complete(irp, STATUS_UNSUCCESSFUL);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL: irp->IoStatus.Status = STATUS_SUCCESS; break;
    case IRP_MN_REMOVE_DEVICE: {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS s = IoCallDriver(fdo->lower, irp);
        if (fdo->hasLink && !g_seen.keepLink) IoDeleteSymbolicLink(&fdo->link);
        g_seen.slots[fdo->slot] = false;
        IoDetachDevice(fdo->lower);
        IoDeleteDevice(device);
        return s;
    }
    default: break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(fdo->lower, irp);
}

NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const POWER_STATE state = stack->Parameters.Power.State;
    g_seen.power.push_back({stack->MinorFunction, stack->Parameters.Power.Type,
                            stack->Parameters.Power.Type == DevicePowerState ? static_cast<int>(state.DeviceState)
                                                                             : static_cast<int>(state.SystemState)});
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(static_cast<Fdo*>(device->DeviceExtension)->lower, irp);
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    int slot = 0;
    while (g_seen.slots[slot]) ++slot;
    std::u16string name = Name(u"\\Device\\HkPnp", slot), link = Name(u"\\DosDevices\\HkPnp", slot);
    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, name.c_str());
    PDEVICE_OBJECT device;
    NTSTATUS s = IoCreateDevice(driver, sizeof(Fdo), &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(s)) return s;
    g_seen.slots[slot] = true;
    auto* fdo = static_cast<Fdo*>(device->DeviceExtension);
    fdo->slot = slot;
    fdo->lower = IoAttachDeviceToDeviceStack(device, pdo);
    std::memcpy(fdo->linkText, link.c_str(), (link.size() + 1) * sizeof(char16_t));
    RtlInitUnicodeString(&fdo->link, fdo->linkText);
    g_seen.linkStatus = IoCreateSymbolicLink(&fdo->link, &deviceName);
    fdo->hasLink = NT_SUCCESS(g_seen.linkStatus);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    g_seen.entries++;
    driver->DriverUnload = [](PDRIVER_OBJECT) { g_seen.unloads++; };
    driver->DriverExtension->AddDevice = AddDevice;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE})
        driver->MajorFunction[major] = [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); };
    return STATUS_SUCCESS;
}

// A request to the physical device alone, as the enumeration sends it.
struct Answer {
    NTSTATUS status;
    ULONG_PTR information;
};
Answer AskPhysicalDevice(PDEVICE_OBJECT pdo, UCHAR minor, void (*fill)(PIO_STACK_LOCATION, void*), void* context) {
    PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = minor;
    if (fill) fill(next, context);
    IoSetCompletionRoutine(irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; },
                           nullptr, TRUE, TRUE, TRUE);
    EXPECT_NE(IoCallDriver(pdo, irp), STATUS_PENDING);
    Answer a{irp->IoStatus.Status, irp->IoStatus.Information};
    IoFreeIrp(irp);
    return a;
}

// A string list as written, with its zeros (the literal's own last zero off).
template <size_t N>
std::u16string List(const char16_t (&text)[N]) {
    return std::u16string(text, N - 1);
}

// The string list of an ID answer with its terminators, freed as the PnP manager frees it.
std::u16string TakeIds(const Answer& a) {
    if (!NT_SUCCESS(a.status) || !a.information) return u"(none)";
    auto* p = reinterpret_cast<const char16_t*>(a.information);
    size_t n = 0;
    while (p[n] || p[n + 1]) ++n;
    std::u16string list(p, n + 2);
    ExFreePool(const_cast<char16_t*>(p));
    return list;
}

class Pnp : public ::testing::Test {
protected:
    void SetUp() override {
        g_seen = {};
        hk::pnp::RegisterDriver(u"USB\\VID_1209&PID_7E1A", {u"HkPnp", {}, Entry});
    }
    void TearDown() override {
        hk::pnp::UnregisterDrivers();
        EXPECT_EQ(hk::pnp::LoadedDriver(u"HkPnp"), nullptr);
        for (const auto& v : recorder_.Take()) ADD_FAILURE() << v.routine << ": " << v.message;
    }
    static Answer QueryId(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type) {
        return AskPhysicalDevice(pdo, IRP_MN_QUERY_ID, [](PIO_STACK_LOCATION s, void* t) {
            s->Parameters.QueryId.IdType = *static_cast<BUS_QUERY_ID_TYPE*>(t);
        }, &type);
    }
    hk::ViolationRecorder recorder_;
};

using Minors = std::vector<UCHAR>;

TEST_F(Pnp, PhysicalDeviceAnswersAsTheHubDoesAndTheMostSpecificIdPicksTheDriver) {
    hk::usb::HostController controller(Module(0x7e1a, 0x010b));
    PDEVICE_OBJECT pdo = controller.PhysicalDevice();
    EXPECT_EQ(TakeIds(QueryId(pdo, BusQueryHardwareIDs)),
              List(u"USB\\VID_1209&PID_7E1A&REV_010B\0USB\\VID_1209&PID_7E1A\0\0"));
    EXPECT_EQ(TakeIds(QueryId(pdo, BusQueryDeviceID)), List(u"USB\\VID_1209&PID_7E1A&REV_010B\0\0"));
    // What a physical device does not handle goes back as it came.
    EXPECT_EQ(QueryId(pdo, BusQueryContainerID).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(AskPhysicalDevice(pdo, IRP_MN_QUERY_DEVICE_RELATIONS, nullptr, nullptr).status, STATUS_NOT_SUPPORTED);

    auto capabilities = [&](USHORT version, USHORT size, DEVICE_CAPABILITIES& caps) {
        caps = {};
        caps.Version = version;
        caps.Size = size;
        return AskPhysicalDevice(pdo, IRP_MN_QUERY_CAPABILITIES, [](PIO_STACK_LOCATION s, void* c) {
            s->Parameters.DeviceCapabilities.Capabilities = static_cast<DEVICE_CAPABILITIES*>(c);
        }, &caps).status;
    };
    DEVICE_CAPABILITIES caps;
    EXPECT_FALSE(NT_SUCCESS(capabilities(0, sizeof caps, caps)));
    EXPECT_FALSE(NT_SUCCESS(capabilities(1, sizeof caps - 4, caps)));
    ASSERT_EQ(capabilities(1, sizeof caps, caps), STATUS_SUCCESS);
    EXPECT_TRUE(caps.Removable);
    EXPECT_FALSE(caps.SurpriseRemovalOK) << "the function driver's to set";
    EXPECT_EQ(caps.Address, 1u);
    EXPECT_EQ(caps.UINumber, 1u);
    EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
    for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) EXPECT_EQ(caps.DeviceState[s], PowerDeviceD3) << s;

    // Driver match: the revision's ID wins over the general one, in any case.
    hk::pnp::RegisterDriver(u"usb\\vid_1209&pid_7e1a&rev_0100", {u"HkPnpRev", {}, Entry});
    {
        UsbDevice general(Module(0x7E1A, 0x0200));
        UsbDevice specific(Module(0x7E1A, 0x0100));
        EXPECT_EQ(general.State(), DeviceState::Started);
        EXPECT_EQ(specific.State(), DeviceState::Started);
        EXPECT_EQ(general.FunctionDriver(), hk::pnp::LoadedDriver(u"HkPnp"));
        EXPECT_EQ(specific.FunctionDriver(), hk::pnp::LoadedDriver(u"hkpnprev"));
        EXPECT_NE(general.FunctionDriver(), specific.FunctionDriver());
        EXPECT_EQ(g_seen.entries, 2);
    }
    EXPECT_EQ(hk::pnp::LoadedDriver(u"HkPnpRev"), nullptr);
    UsbDevice unknown(Module(0x7E1B));
    EXPECT_EQ(unknown.State(), DeviceState::NoDriver);
    EXPECT_EQ(unknown.FunctionDriver(), nullptr);
    EXPECT_NE(unknown.PhysicalDevice(), nullptr);
    unknown.Unplug();
    EXPECT_EQ(unknown.PhysicalDevice(), nullptr);
}

TEST_F(Pnp, AStackIsAddedStartedQueriedRebalancedAndPoweredOrRemovedWhenItsStartFails) {
    g_seen.startFailure = STATUS_INSUFFICIENT_RESOURCES;
    {
        UsbDevice failing(Module());
        EXPECT_EQ(failing.State(), DeviceState::StartFailed);
        EXPECT_EQ(failing.AddStatus(), STATUS_SUCCESS);
        EXPECT_EQ(failing.StartStatus(), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(g_seen.pnp, (Minors{IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE}));
        EXPECT_EQ(failing.FunctionDriver(), nullptr);
        EXPECT_EQ(g_seen.unloads, 1) << "the driver had no device left";
    }
    g_seen = {};

    UsbDevice device(Module());
    EXPECT_EQ(device.State(), DeviceState::Started);
    EXPECT_EQ(g_seen.pnp, (Minors{IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES}));
    ASSERT_EQ(g_seen.caps.size(), 1u);
    EXPECT_EQ(g_seen.caps[0].Version, 1);
    EXPECT_EQ(static_cast<size_t>(g_seen.caps[0].Size), sizeof(DEVICE_CAPABILITIES));
    EXPECT_EQ(g_seen.caps[0].Address, 1u) << "filled in by the physical device below";
    {
        UsbDevice second(Module());
        EXPECT_EQ(second.FunctionDriver(), device.FunctionDriver());
        EXPECT_EQ(g_seen.entries, 1) << "DriverEntry runs once per load";
    }
    EXPECT_EQ(g_seen.unloads, 0) << "the first device still uses the driver";

    // Rebalance: a granted stop, a restart, a vetoed stop.
    g_seen.pnp.clear();
    EXPECT_EQ(device.Stop().status, STATUS_SUCCESS);
    EXPECT_EQ(device.State(), DeviceState::Stopped);
    EXPECT_EQ(device.Stop().status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(device.Restart().status, STATUS_SUCCESS);
    g_seen.vetoQueries = true;
    EXPECT_EQ(device.Stop().status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(device.State(), DeviceState::Started);
    EXPECT_EQ(g_seen.pnp, (Minors{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE,
                                  IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE}));

    EXPECT_EQ(device.SetDevicePower(PowerDeviceD3).status, STATUS_SUCCESS);
    EXPECT_EQ(device.QueryDevicePower(PowerDeviceD2).status, STATUS_SUCCESS);
    EXPECT_EQ(device.SetSystemPower(PowerSystemSleeping3).status, STATUS_SUCCESS);
    EXPECT_EQ(device.QuerySystemPower(PowerSystemHibernate).status, STATUS_SUCCESS);
    using P = Seen::Power;
    EXPECT_EQ(g_seen.power, (std::vector<P>{{IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3},
                                            {IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD2},
                                            {IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3},
                                            {IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemHibernate}}));
}

// Unplugged, the stack goes at once. This driver leaves its symbolic link
// behind, which the next load then finds taken; unplugged with a handle
// open, that device is reported and removed when the handle closes.
TEST_F(Pnp, UnplugRemovesTheStackAtOnceOrWhenItsLastHandleCloses) {
    g_seen.keepLink = true;
    {
        UsbDevice device(Module());
        PDEVICE_OBJECT pdo = device.PhysicalDevice();
        g_seen.pnp.clear();
        device.Unplug();
        EXPECT_EQ(g_seen.pnp, (Minors{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
        EXPECT_EQ(device.State(), DeviceState::Removed);
        EXPECT_EQ(device.PhysicalDevice(), nullptr);
        EXPECT_EQ(hk::DeviceObjectReferences(pdo), 0u) << "the physical device is gone";
        EXPECT_EQ(g_seen.unloads, 1);
    }
    hk::Handle handle;
    EXPECT_TRUE(hk::SymbolicLinkExists(u"\\DosDevices\\HkPnp0"));
    EXPECT_EQ(hk::OpenFile("\\\\.\\HkPnp0", &handle), STATUS_OBJECT_NAME_NOT_FOUND);
    auto again = std::make_unique<UsbDevice>(Module());
    EXPECT_EQ(g_seen.entries, 2);
    EXPECT_EQ(g_seen.linkStatus, STATUS_OBJECT_NAME_COLLISION);
    ASSERT_EQ(hk::OpenFile("\\\\.\\HkPnp0", &handle), STATUS_SUCCESS) << "the old link names the new device";

    again.reset();
    auto findings = recorder_.Take();
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_EQ(findings[0].routine, "UsbDevice");
    EXPECT_EQ(g_seen.pnp.back(), IRP_MN_SURPRISE_REMOVAL);
    hk::SimThread closer("closer", [&] { EXPECT_EQ(hk::CloseFile(handle), STATUS_SUCCESS); });
    closer.Join();
    EXPECT_EQ(g_seen.pnp.back(), IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(g_seen.unloads, 2);
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, u"\\DosDevices\\HkPnp0");
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
}

TEST_F(Pnp, DisableIsVetoedByAnOpenHandleOrTheDriverAndEnableStartsAgain) {
    UsbDevice device(Module());
    hk::Handle handle;
    ASSERT_EQ(hk::OpenFile("\\\\.\\HkPnp0", &handle), STATUS_SUCCESS);
    g_seen.pnp.clear();
    EXPECT_EQ(device.Disable().status, STATUS_ACCESS_DENIED);
    EXPECT_TRUE(g_seen.pnp.empty()) << "vetoed before any request";
    EXPECT_EQ(hk::CloseFile(handle), STATUS_SUCCESS);

    g_seen.vetoQueries = true;
    EXPECT_EQ(device.Disable().status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(device.State(), DeviceState::Started);
    g_seen.vetoQueries = false;
    EXPECT_EQ(device.Disable().status, STATUS_SUCCESS);
    EXPECT_EQ(device.State(), DeviceState::Disabled);
    EXPECT_EQ(g_seen.pnp, (Minors{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE,
                                  IRP_MN_REMOVE_DEVICE}));
    EXPECT_EQ(g_seen.unloads, 1);
    EXPECT_NE(device.PhysicalDevice(), nullptr) << "still plugged in";

    EXPECT_EQ(device.Enable(), STATUS_SUCCESS);
    EXPECT_EQ(device.State(), DeviceState::Started);
    EXPECT_EQ(g_seen.entries, 2);
    ASSERT_EQ(device.Disable().status, STATUS_SUCCESS);
    g_seen.pnp.clear();
    device.Unplug();
    EXPECT_TRUE(g_seen.pnp.empty()) << "no stack left to tell";
    EXPECT_EQ(device.State(), DeviceState::Removed);
    EXPECT_EQ(device.PhysicalDevice(), nullptr);
}

}  // namespace
