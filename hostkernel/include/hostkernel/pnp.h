// The Plug and Play manager: function drivers found by hardware ID, USB
// functions enumerated on the simulated bus, and the requests Windows sends a
// device stack through its life (add-device, start, capabilities, stop,
// surprise removal, remove, power).
#pragma once

#include <hostkernel/hostkernel.h>
#include <hostkernel/usb_bus.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace hk::pnp {

// Where a function driver comes from, as an INF's service install names it.
struct DriverImage {
    std::u16string service;              // service key name (u"Velnor")
    std::string modulePath;              // a driver module to load, or
    PDRIVER_INITIALIZE entry = nullptr;  // a driver linked into the process
};

// Binds a hardware ID ("USB\\VID_1234&PID_5678") to a driver. A device's IDs
// are tried most specific first and compared without regard to case.
void RegisterDriver(std::u16string_view hardwareId, DriverImage image);
void UnregisterDrivers();
// The loaded instance of a service's driver; null when it is not loaded.
Driver* LoadedDriver(std::u16string_view service);

// A capabilities query as the PnP manager sends it to the top of the stack:
// a record of `version` with Size set, Address and UINumber -1 (unknown),
// everything else zero, the request's status STATUS_NOT_SUPPORTED. `caps`
// receives the record as it came back. Under PnpSend's order rules.
IoResult QueryCapabilities(PDEVICE_OBJECT physicalDevice, USHORT version, DEVICE_CAPABILITIES* caps);

enum class DeviceState {
    NoDriver,         // no registered driver matched, or it failed to load
    AddFailed,        // the add-device routine failed
    StartFailed,      // the start failed; the stack was removed again
    Started,
    Stopped,          // stopped for a rebalance
    SurpriseRemoved,  // unplugged; the remove request waits for the last handle
    Removed,          // removed; the physical device is gone when unplugged
    Disabled,         // removed in order while plugged (device manager's disable)
};
const char* StateName(DeviceState state);

// One USB function plugged into a port of the simulated root hub: its host
// controller with the physical device, and its device node.
class UsbDevice {
public:
    // Plugs the function in and enumerates it as Windows does: the physical
    // device answers IRP_MN_QUERY_ID with the hardware IDs
    // "USB\VID_vvvv&PID_pppp&REV_rrrr" and "USB\VID_vvvv&PID_pppp" built
    // from its device descriptor; the matched driver is loaded if it is not
    // (DriverEntry runs once per load), its add-device routine is called,
    // IRP_MN_START_DEVICE goes to the top of the stack and, once started,
    // IRP_MN_QUERY_CAPABILITIES with a version-1 record. A failed start is
    // followed by IRP_MN_REMOVE_DEVICE, as Windows does.
    explicit UsbDevice(std::shared_ptr<usb::Function> function, usb::ControllerOptions options = {});
    // Unplugs the function if it is still plugged in. A removal still
    // waiting for open handles is a verifier finding; it goes on when the
    // last of them is closed.
    ~UsbDevice();
    UsbDevice(const UsbDevice&) = delete;
    UsbDevice& operator=(const UsbDevice&) = delete;

    DeviceState State() const;
    // What the add-device routine and the last start request returned;
    // STATUS_NO_SUCH_DEVICE before the first call.
    NTSTATUS AddStatus() const;
    NTSTATUS StartStatus() const;
    // The controller and its physical device exist until the removal of an
    // unplugged device has deleted them (PhysicalDevice() is null then).
    usb::HostController& Controller();
    PDEVICE_OBJECT PhysicalDevice() const;
    Driver* FunctionDriver() const;  // null when no driver is bound
    // The controller's AlternateSetting, safe against a removal running on
    // another thread: none once the physical device is gone.
    std::optional<uint8_t> AlternateSetting(uint8_t interfaceNumber) const;

    // Pulls the plug: requests pending at the controller fail as the device
    // is gone, IRP_MN_SURPRISE_REMOVAL goes to a started (or stopped) stack,
    // and IRP_MN_REMOVE_DEVICE follows once no handle to the device is open:
    // at once, or when the last handle is closed (on the closing thread,
    // inside hk::CloseFile). After the removal the physical device is
    // deleted, and a driver left without devices and without other device
    // nodes is unloaded (with the unload checks for leaks). A device with no
    // stack (no driver, start failed, disabled) just loses its physical device.
    void Unplug();
    // Rebalance: IRP_MN_QUERY_STOP_DEVICE, then IRP_MN_STOP_DEVICE if it
    // was granted, else IRP_MN_CANCEL_STOP_DEVICE. Returns the query's result.
    // Each operation returns STATUS_INVALID_DEVICE_STATE, sending nothing,
    // in a state the PnP manager would not send it in.
    IoResult Stop();
    // IRP_MN_START_DEVICE to a stopped device; a failed restart removes the
    // stack as a failed start does.
    IoResult Restart();
    // Orderly removal while plugged in (disable): IRP_MN_QUERY_REMOVE_DEVICE,
    // vetoed without a request while a handle is open (STATUS_ACCESS_DENIED,
    // Windows' outstanding-open veto); then IRP_MN_REMOVE_DEVICE if granted,
    // else IRP_MN_CANCEL_REMOVE_DEVICE. Unloads a driver left without devices.
    IoResult Disable();
    // A disabled device is enumerated again: add-device and start.
    NTSTATUS Enable();
    // Power requests to the top of a started or stopped stack (hk::PowerSend).
    IoResult SetDevicePower(DEVICE_POWER_STATE state);
    IoResult QueryDevicePower(DEVICE_POWER_STATE state);
    IoResult SetSystemPower(SYSTEM_POWER_STATE state);
    IoResult QuerySystemPower(SYSTEM_POWER_STATE state);

    struct Node;

private:
    std::shared_ptr<Node> node_;
};

}  // namespace hk::pnp
