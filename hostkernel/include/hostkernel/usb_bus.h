// The simulated USB host controller: one function on one port, reached
// through a physical device object that takes the USB stack's internal
// requests (URBs, port reset and enable). It runs on the kernel clock in
// 1 ms frames; every request completes on the bus thread at DISPATCH_LEVEL
// and can be cancelled at any point. Faults can be injected per endpoint.
#pragma once

#include <hostkernel/hostkernel.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace hk::usb {

struct Setup {
    uint8_t requestType;  // direction, type (vendor 0x40, class 0x20) and recipient
    uint8_t request;
    uint16_t value;
    uint16_t index;
    uint16_t length;
};

// A USB function on the simulated bus. The controller calls it from the bus
// thread (and from the caller of PortReset's request), one call at a time.
class Function {
public:
    virtual ~Function() = default;
    virtual std::vector<uint8_t> DeviceDescriptor() = 0;
    // The whole configuration: configuration, interface and endpoint descriptors.
    virtual std::vector<uint8_t> ConfigurationDescriptor() = 0;
    // String descriptor `index` (0: the language table); nothing stalls.
    virtual std::optional<std::vector<uint8_t>> StringDescriptor(uint8_t index, uint16_t language) = 0;
    // A vendor or class request. For IN requests fill `data` (at most
    // setup.length bytes); for OUT requests `data` holds the host's bytes.
    // Returning false stalls the request.
    virtual bool Control(const Setup& setup, std::vector<uint8_t>& data) = 0;
    // One isochronous packet of `frame`: IN writes at most `capacity` bytes
    // and returns how many; OUT receives the packet's bytes.
    virtual size_t IsoIn(uint8_t endpoint, uint32_t frame, uint8_t* data, size_t capacity) = 0;
    virtual void IsoOut(uint8_t endpoint, uint32_t frame, const uint8_t* data, size_t length) = 0;
    // Bulk and interrupt transfers.
    virtual size_t BulkIn(uint8_t endpoint, uint8_t* data, size_t capacity) = 0;
    virtual void BulkOut(uint8_t endpoint, const uint8_t* data, size_t length) = 0;
    virtual void PortReset() {}
};

class HostController {
public:
    explicit HostController(std::shared_ptr<Function> function);
    // Cancels what is still pending, then removes the physical device.
    ~HostController();
    HostController(const HostController&) = delete;
    HostController& operator=(const HostController&) = delete;

    PDEVICE_OBJECT PhysicalDevice() const;
    static uint32_t FrameNumber();  // the current 1 ms frame of the kernel clock

    // Faults, per endpoint address (0 is the control pipe).
    void HangNextTransfer(uint8_t endpoint);  // stays pending until cancelled
    // The nth transfer submitted from now on (1: the next) fails with these statuses.
    void FailTransfer(uint8_t endpoint, unsigned nth, NTSTATUS status, USBD_STATUS usbdStatus);
    void StallNext(uint8_t endpoint);  // control, bulk or interrupt: the next request stalls
    void SetCompletionDelay(uint8_t endpoint, int64_t delay100ns);
    // Unplugged, every request fails as the device is gone, and what was
    // pending completes that way; plugging it in again ends that.
    void Unplug();
    void Plug();

    size_t Pending() const;                       // requests not yet through their completion
    uint64_t Completed(uint8_t endpoint) const;   // transfers completed on an endpoint
    std::shared_ptr<Function> Attached() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace hk::usb
