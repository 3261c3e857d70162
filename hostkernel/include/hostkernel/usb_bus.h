// The simulated USB host controller: one full-speed function on one port,
// reached through a physical device object that takes the USB stack's
// internal requests (URBs, port reset, and port enable, which stacks of
// USBDI 6.00 and later refuse as Windows Vista's does). It runs on the kernel
// clock in 1 ms frames and checks URBs the way the USB stack does: a
// malformed request, a pipe handle the current configuration did not hand
// out, or an isochronous transfer the stack would refuse is completed at
// once with the stack's error. Accepted requests complete on the bus thread
// at DISPATCH_LEVEL (or, with inline completion, inside IoCallDriver) and can
// be cancelled at any point. Faults can be injected per endpoint.
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
    // After the packets of each isochronous transfer: the frame of its last
    // packet. The wire never shows a real function where the host's
    // transfers end; test equipment lines its data up by it.
    virtual void IsoTransferEnd(uint8_t /*endpoint*/, uint32_t /*lastFrame*/) {}
    // Bulk and interrupt transfers.
    virtual size_t BulkIn(uint8_t endpoint, uint8_t* data, size_t capacity) = 0;
    virtual void BulkOut(uint8_t endpoint, const uint8_t* data, size_t length) = 0;
    virtual void PortReset() {}
};

struct ControllerOptions {
    // A request a thread below DISPATCH_LEVEL submits, and that is done
    // within 8 frames, completes inside its IoCallDriver, in that thread, as
    // the stack's completion may preempt the submitter: IoCallDriver waits
    // (a kernel wait, in virtual time) until the request is done, runs the
    // completion at DISPATCH_LEVEL and returns the final status. A request
    // due later, hung, or delayed on its way to the controller returns
    // STATUS_PENDING and completes on the bus thread, as does one submitted
    // at DISPATCH_LEVEL that needs bus time, since nothing can preempt its
    // submitter there.
    bool inlineCompletion = false;
    // ABORT_PIPE completes first and the transfers it cancels one frame
    // later, as the stack may do; by default they complete before it.
    bool abortCompletesFirst = false;
    // An ASAP isochronous transfer on an idle pipe starts this many frames
    // after the current one (the stack adjusts the start for bus latency;
    // 1 is the next frame).
    uint32_t asapLatencyFrames = 1;
    // Each pipe's completions run on a bus thread of their own (one of
    // hk::kBusLanes, by endpoint number), so completions of different pipes
    // run at the same time, as on a multiprocessor; one pipe's keep their order.
    bool completionThreadPerPipe = false;
    // Of the isochronous transfers that end with the same frame, the IN ones
    // move their data and complete on the bus thread before the OUT ones, as
    // the Windows test bus does; by default they go in the order they reached
    // the controller. (With completionThreadPerPipe or inlineCompletion only
    // the data keeps that order: the completions run elsewhere.)
    bool isoInBeforeOut = false;
};

class HostController {
public:
    using Options = ControllerOptions;

    explicit HostController(std::shared_ptr<Function> function, Options options = {});
    // Cancels what is still pending, then removes the physical device.
    ~HostController();
    HostController(const HostController&) = delete;
    HostController& operator=(const HostController&) = delete;

    PDEVICE_OBJECT PhysicalDevice() const;
    static uint32_t FrameNumber();  // the current 1 ms frame of the kernel clock
    // The alternate setting the last selection of the interface chose; none before one.
    std::optional<uint8_t> AlternateSetting(uint8_t interfaceNumber) const;

    void SetInlineCompletion(bool on);
    void SetAbortCompletesFirst(bool on);
    void SetIsoInBeforeOut(bool on);  // for transfers sent from now on

    // Faults, per endpoint address (0 is the control pipe).
    void HangNextTransfer(uint8_t endpoint);  // stays pending until cancelled
    // The nth transfer submitted from now on (1: the next) fails with these statuses.
    void FailTransfer(uint8_t endpoint, unsigned nth, NTSTATUS status, USBD_STATUS usbdStatus);
    // The next request stalls. On the control pipe only that request fails;
    // a bulk or interrupt pipe stays halted, failing every transfer (those
    // already pending on it too, without moving data), until
    // URB_FUNCTION_RESET_PIPE, or SYNC_RESET_PIPE (host side) and
    // SYNC_CLEAR_STALL (the device's halt) both (isochronous pipes have no
    // handshake to stall).
    void StallNext(uint8_t endpoint);
    bool Halted(uint8_t endpoint) const;
    // Requests to the endpoint reach the controller this much later; an
    // isochronous transfer takes its frames only then.
    void SetSubmissionDelay(uint8_t endpoint, int64_t delay100ns);
    // Requests complete this much after they are done on the bus, as a late
    // completion would: a transfer resubmitted from it finds its frames gone.
    void SetCompletionDelay(uint8_t endpoint, int64_t delay100ns);
    // Isochronous packets that come back not accessed by the controller
    // (USBD_STATUS_ISO_NOT_ACCESSED_BY_HW, Length 0, buffer untouched): the
    // next `count` packets of the endpoint, and every packet whose frame
    // number is a multiple of `n` (0: none).
    void MissIsoPackets(uint8_t endpoint, unsigned count);
    void MissEveryNthIsoFrame(uint8_t endpoint, unsigned n);
    // Unplugged, every request fails as the device is gone, and what was
    // pending completes that way; plugging it in again ends that.
    void Unplug();
    void Plug();

    // Requests not yet through their completion: one whose completion routine
    // has already woken the driver counts until the bus thread returns from
    // IofCompleteRequest, so a settled count comes after hk::BusFlush().
    size_t Pending() const;
    uint64_t Completed(uint8_t endpoint) const;   // transfers completed on an endpoint
    std::shared_ptr<Function> Attached() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace hk::usb
