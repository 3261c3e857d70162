// The Plug and Play manager: the hardware-ID table, the loaded function
// drivers by service, and each USB device node's life from enumeration to
// removal.
//
// Locking: g_lock guards the tables and every node's fields, and is never
// held while a request is sent or driver code runs. Loading and unloading
// a service's driver go one at a time through a gate that is a kernel
// event, so a thread that waits there is a waiting thread to the clock.
#include "internal.h"

#include <hostkernel/pnp.h>

#include <optional>
#include <utility>

namespace hk::pnp {

struct UsbDevice::Node {
    std::unique_ptr<usb::HostController> controller;  // null once the physical device is deleted
    PDEVICE_OBJECT pdo = nullptr;
    std::optional<DriverImage> image;  // the matched driver
    Driver* driver = nullptr;          // bound: holds one use of the service
    DeviceState state = DeviceState::NoDriver;
    NTSTATUS addStatus = STATUS_NO_SUCH_DEVICE;
    NTSTATUS startStatus = STATUS_NO_SUCH_DEVICE;
    bool plugged = true;
    bool awaitingRemoval = false;  // unplugged; the remove request waits for the last handle
    bool removing = false;         // a thread has taken the remove request on
    KEVENT removed;                // set when that thread is through
};

namespace {

using Node = UsbDevice::Node;

std::mutex g_lock;

// Never destroyed: a node still waiting for its last handle at exit must
// not be torn down after the bus is gone.
std::map<std::u16string, DriverImage>& Registry() {  // by lower-case hardware ID
    static auto* table = new std::map<std::u16string, DriverImage>;
    return *table;
}
struct Service {
    Driver* driver;
    unsigned users;  // device nodes bound to it
};
std::map<std::u16string, Service>& Services() {  // by lower-case service name
    static auto* table = new std::map<std::u16string, Service>;
    return *table;
}
std::vector<std::shared_ptr<Node>>& Waiting() {
    static auto* nodes = new std::vector<std::shared_ptr<Node>>;
    return *nodes;
}

class DriverGate {
public:
    DriverGate() { KeWaitForSingleObject(&Event(), Executive, KernelMode, FALSE, nullptr); }
    ~DriverGate() { KeSetEvent(&Event(), IO_NO_INCREMENT, FALSE); }
    DriverGate(const DriverGate&) = delete;
    DriverGate& operator=(const DriverGate&) = delete;

private:
    static KEVENT& Event() {
        static KEVENT* event = [] {
            auto* e = new KEVENT;
            KeInitializeEvent(e, SynchronizationEvent, TRUE);
            return e;
        }();
        return *event;
    }
};

// The service's driver, loaded (DriverEntry run) if it is not; null when it
// cannot be loaded.
Driver* AcquireDriver(const DriverImage& image) {
    DriverGate gate;
    const std::u16string key = detail::Lower(image.service);
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto it = Services().find(key);
        if (it != Services().end()) {
            it->second.users++;
            return it->second.driver;
        }
    }
    Driver* driver = nullptr;
    if (image.entry) driver = LoadDriver(image.entry, image.service);
    else if (!image.modulePath.empty()) driver = LoadDriverModule(image.modulePath, image.service);
    if (!driver) return nullptr;
    std::lock_guard<std::mutex> guard(g_lock);
    Services()[key] = {driver, 1};
    return driver;
}

// Gives one use back; the driver is unloaded when no node uses it and it
// has no device objects left, as the system unloads a driver whose last
// device is removed.
void ReleaseDriver(Driver* driver, const std::u16string& service) {
    DriverGate gate;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto it = Services().find(detail::Lower(service));
        if (it == Services().end() || it->second.driver != driver) return;
        if (it->second.users > 0) it->second.users--;
        if (it->second.users > 0 || DriverObjectOf(driver)->DeviceObject) return;
        Services().erase(it);
    }
    UnloadDriver(driver);
}

std::vector<PDEVICE_OBJECT> StackOf(PDEVICE_OBJECT pdo) {
    std::vector<PDEVICE_OBJECT> stack;
    for (PDEVICE_OBJECT d = pdo; d; d = d->AttachedDevice) stack.push_back(d);
    return stack;
}

PDEVICE_OBJECT PdoOf(const Node& n) {
    std::lock_guard<std::mutex> guard(g_lock);
    return n.pdo;
}

// The hardware IDs the physical device reports, most specific first.
std::vector<std::u16string> HardwareIds(PDEVICE_OBJECT pdo) {
    IoResult r = detail::PnpSendUnordered(pdo, IRP_MN_QUERY_ID, [](PIO_STACK_LOCATION stack) {
        stack->Parameters.QueryId.IdType = BusQueryHardwareIDs;
    });
    std::vector<std::u16string> ids;
    if (!NT_SUCCESS(r.status) || !r.information) return ids;
    auto* list = reinterpret_cast<const char16_t*>(r.information);
    for (const char16_t* p = list; *p; p += ids.back().size() + 1) ids.emplace_back(p);
    ExFreePool(const_cast<char16_t*>(list));
    return ids;
}

std::optional<DriverImage> FindDriver(const std::vector<std::u16string>& ids) {
    std::lock_guard<std::mutex> guard(g_lock);
    for (const auto& id : ids) {
        auto it = Registry().find(detail::Lower(id));
        if (it != Registry().end()) return it->second;
    }
    return std::nullopt;
}

// The driver leaves the stack: its use of the service goes back.
void Unbind(Node& n, DeviceState state) {
    Driver* driver;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        driver = std::exchange(n.driver, nullptr);
        n.state = state;
    }
    if (driver) ReleaseDriver(driver, n.image->service);
}

void DeletePhysicalDevice(Node& n) {
    std::unique_ptr<usb::HostController> controller;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        controller = std::move(n.controller);
        n.pdo = nullptr;
    }
    controller.reset();
}

// IRP_MN_START_DEVICE, then the capabilities query; a failed start is
// followed by IRP_MN_REMOVE_DEVICE.
IoResult StartStack(Node& n) {
    PDEVICE_OBJECT pdo = PdoOf(n);
    IoResult r = PnpSend(pdo, IRP_MN_START_DEVICE);
    {
        std::lock_guard<std::mutex> guard(g_lock);
        n.startStatus = r.status;
        if (NT_SUCCESS(r.status)) n.state = DeviceState::Started;
    }
    if (NT_SUCCESS(r.status)) {
        DEVICE_CAPABILITIES caps;
        QueryCapabilities(pdo, 1, &caps);
    } else {
        PnpSend(pdo, IRP_MN_REMOVE_DEVICE);
        Unbind(n, DeviceState::StartFailed);
    }
    return r;
}

// Loads the matched driver if need be, calls its add-device routine and
// starts the stack. Returns what failed, or the start's status.
NTSTATUS AddAndStart(Node& n) {
    Driver* driver = AcquireDriver(*n.image);
    if (!driver) {
        std::lock_guard<std::mutex> guard(g_lock);
        n.state = DeviceState::NoDriver;
        return STATUS_NO_SUCH_DEVICE;
    }
    PDEVICE_OBJECT pdo = PdoOf(n);
    const NTSTATUS add = PnpAddDevice(driver, pdo);
    {
        std::lock_guard<std::mutex> guard(g_lock);
        n.addStatus = add;
        n.driver = driver;
    }
    if (!NT_SUCCESS(add)) {
        Unbind(n, DeviceState::AddFailed);
        return add;
    }
    return StartStack(n).status;
}

// The remove request of an unplugged device, then the physical device and
// the driver go.
void Remove(Node& n) {
    PnpSend(PdoOf(n), IRP_MN_REMOVE_DEVICE);
    DeletePhysicalDevice(n);
    Unbind(n, DeviceState::Removed);
    {
        std::lock_guard<std::mutex> guard(g_lock);
        n.removing = false;
    }
    KeSetEvent(&n.removed, IO_NO_INCREMENT, FALSE);
}

// Sends the remove request to every unplugged device that no handle keeps,
// each exactly once, on this thread.
void RemoveUnheld() {
    std::vector<std::shared_ptr<Node>> ready;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto& waiting = Waiting();
        for (auto it = waiting.begin(); it != waiting.end();) {
            Node& n = **it;
            if (detail::HandlesOpenOn(StackOf(n.pdo)) == 0) {
                n.awaitingRemoval = false;
                n.removing = true;
                ready.push_back(std::move(*it));
                it = waiting.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& n : ready) Remove(*n);
}

IoResult NotNow() { return {STATUS_INVALID_DEVICE_STATE, 0}; }

}  // namespace

void RegisterDriver(std::u16string_view hardwareId, DriverImage image) {
    std::lock_guard<std::mutex> guard(g_lock);
    Registry()[detail::Lower(hardwareId)] = std::move(image);
}

void UnregisterDrivers() {
    std::lock_guard<std::mutex> guard(g_lock);
    Registry().clear();
}

Driver* LoadedDriver(std::u16string_view service) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = Services().find(detail::Lower(service));
    return it == Services().end() ? nullptr : it->second.driver;
}

IoResult QueryCapabilities(PDEVICE_OBJECT physicalDevice, USHORT version, DEVICE_CAPABILITIES* caps) {
    DEVICE_CAPABILITIES record{};
    record.Size = sizeof(DEVICE_CAPABILITIES);
    record.Version = version;
    record.Address = 0xFFFFFFFF;  // unknown until the bus driver says
    record.UINumber = 0xFFFFFFFF;
    IoResult r = detail::PnpSendPrepared(physicalDevice, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION stack) {
        stack->Parameters.DeviceCapabilities.Capabilities = &record;
    });
    if (caps) *caps = record;
    return r;
}

const char* StateName(DeviceState state) {
    switch (state) {
    case DeviceState::NoDriver: return "NoDriver";
    case DeviceState::AddFailed: return "AddFailed";
    case DeviceState::StartFailed: return "StartFailed";
    case DeviceState::Started: return "Started";
    case DeviceState::Stopped: return "Stopped";
    case DeviceState::SurpriseRemoved: return "SurpriseRemoved";
    case DeviceState::Removed: return "Removed";
    case DeviceState::Disabled: return "Disabled";
    }
    return "?";
}

UsbDevice::UsbDevice(std::shared_ptr<usb::Function> function, usb::ControllerOptions options)
    : node_(std::make_shared<Node>()) {
    Node& n = *node_;
    KeInitializeEvent(&n.removed, NotificationEvent, FALSE);
    n.controller = std::make_unique<usb::HostController>(std::move(function), options);
    n.pdo = n.controller->PhysicalDevice();
    n.image = FindDriver(HardwareIds(n.pdo));
    if (n.image) AddAndStart(n);
}

UsbDevice::~UsbDevice() {
    Node& n = *node_;
    bool plugged;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        plugged = n.plugged;
    }
    if (plugged) Unplug();
    bool removing;
    size_t handles = 0;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        removing = n.removing;
        if (n.awaitingRemoval) handles = detail::HandlesOpenOn(StackOf(n.pdo));
    }
    // A removal under way on a closing thread finishes before the node's owner goes.
    if (removing) KeWaitForSingleObject(&n.removed, Executive, KernelMode, FALSE, nullptr);
    // The node stays with the manager: closing the last handle still removes it.
    if (handles)
        ReportViolation("UsbDevice", "device destroyed while IRP_MN_REMOVE_DEVICE waits for " +
                                         std::to_string(handles) + " open handle(s)");
}

DeviceState UsbDevice::State() const {
    std::lock_guard<std::mutex> guard(g_lock);
    return node_->state;
}

NTSTATUS UsbDevice::AddStatus() const {
    std::lock_guard<std::mutex> guard(g_lock);
    return node_->addStatus;
}

NTSTATUS UsbDevice::StartStatus() const {
    std::lock_guard<std::mutex> guard(g_lock);
    return node_->startStatus;
}

usb::HostController& UsbDevice::Controller() {
    usb::HostController* controller;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        controller = node_->controller.get();
    }
    if (!controller) {
        ReportViolation("UsbDevice::Controller", "the physical device was deleted after its removal");
        std::abort();
    }
    return *controller;
}

PDEVICE_OBJECT UsbDevice::PhysicalDevice() const { return PdoOf(*node_); }

std::optional<uint8_t> UsbDevice::AlternateSetting(uint8_t interfaceNumber) const {
    std::lock_guard<std::mutex> guard(g_lock);  // the controller is taken away under it
    if (!node_->controller) return std::nullopt;
    return node_->controller->AlternateSetting(interfaceNumber);
}

Driver* UsbDevice::FunctionDriver() const {
    std::lock_guard<std::mutex> guard(g_lock);
    return node_->driver;
}

void UsbDevice::Unplug() {
    Node& n = *node_;
    DeviceState state;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (!n.plugged) return;
        n.plugged = false;
        state = n.state;
    }
    n.controller->Unplug();
    if (state != DeviceState::Started && state != DeviceState::Stopped) {
        // No stack left on it: the physical device goes at once.
        DeletePhysicalDevice(n);
        std::lock_guard<std::mutex> guard(g_lock);
        if (n.state == DeviceState::Disabled) n.state = DeviceState::Removed;
        return;
    }
    PnpSend(PdoOf(n), IRP_MN_SURPRISE_REMOVAL);
    {
        std::lock_guard<std::mutex> guard(g_lock);
        n.state = DeviceState::SurpriseRemoved;
        n.awaitingRemoval = true;
        Waiting().push_back(node_);
    }
    RemoveUnheld();
}

IoResult UsbDevice::Stop() {
    Node& n = *node_;
    if (State() != DeviceState::Started) return NotNow();
    PDEVICE_OBJECT pdo = PdoOf(n);
    IoResult query = PnpSend(pdo, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(query.status)) {
        PnpSend(pdo, IRP_MN_CANCEL_STOP_DEVICE);
        return query;
    }
    PnpSend(pdo, IRP_MN_STOP_DEVICE);
    std::lock_guard<std::mutex> guard(g_lock);
    n.state = DeviceState::Stopped;
    return query;
}

IoResult UsbDevice::Restart() {
    if (State() != DeviceState::Stopped) return NotNow();
    return StartStack(*node_);
}

IoResult UsbDevice::Disable() {
    Node& n = *node_;
    PDEVICE_OBJECT pdo;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (n.state != DeviceState::Started) return NotNow();
        pdo = n.pdo;
        if (detail::HandlesOpenOn(StackOf(pdo))) return {STATUS_ACCESS_DENIED, 0};
    }
    IoResult query = PnpSend(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(query.status)) {
        PnpSend(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
        return query;
    }
    PnpSend(pdo, IRP_MN_REMOVE_DEVICE);
    Unbind(n, DeviceState::Disabled);
    return query;
}

NTSTATUS UsbDevice::Enable() {
    if (State() != DeviceState::Disabled) return STATUS_INVALID_DEVICE_STATE;
    return AddAndStart(*node_);
}

namespace {
IoResult SendPower(const Node& n, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
    PDEVICE_OBJECT pdo;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (n.state != DeviceState::Started && n.state != DeviceState::Stopped) return NotNow();
        pdo = n.pdo;
    }
    return PowerSend(pdo, minor, type, state);
}
POWER_STATE DeviceStateOf(DEVICE_POWER_STATE s) {
    POWER_STATE p;
    p.DeviceState = s;
    return p;
}
POWER_STATE SystemStateOf(SYSTEM_POWER_STATE s) {
    POWER_STATE p;
    p.SystemState = s;
    return p;
}
}  // namespace

IoResult UsbDevice::SetDevicePower(DEVICE_POWER_STATE state) {
    return SendPower(*node_, IRP_MN_SET_POWER, DevicePowerState, DeviceStateOf(state));
}
IoResult UsbDevice::QueryDevicePower(DEVICE_POWER_STATE state) {
    return SendPower(*node_, IRP_MN_QUERY_POWER, DevicePowerState, DeviceStateOf(state));
}
IoResult UsbDevice::SetSystemPower(SYSTEM_POWER_STATE state) {
    return SendPower(*node_, IRP_MN_SET_POWER, SystemPowerState, SystemStateOf(state));
}
IoResult UsbDevice::QuerySystemPower(SYSTEM_POWER_STATE state) {
    return SendPower(*node_, IRP_MN_QUERY_POWER, SystemPowerState, SystemStateOf(state));
}

}  // namespace hk::pnp

namespace hk::detail {

void PnpHandleClosed() {
    {
        std::lock_guard<std::mutex> guard(pnp::g_lock);
        if (pnp::Waiting().empty()) return;
    }
    pnp::RemoveUnheld();
}

}  // namespace hk::detail
