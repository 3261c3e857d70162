// The simulated USB host controller: executes the USB stack's internal
// requests against one Function, on the kernel clock in 1 ms frames.
//
// Ownership of a pending request follows the cancel routine: whoever takes
// it out of the request (the scheduled completion, an abort, an unplug, or
// IoCancelIrp calling ours) completes the request, exactly once.
#include "internal.h"

#include <hostkernel/usb_bus.h>

#include <functional>
#include <algorithm>
#include <atomic>
#include <map>
#include <utility>

namespace hk::usb {

struct HostController::State : std::enable_shared_from_this<HostController::State> {
    struct Faults {
        bool hang = false;
        bool stall = false;
        unsigned failIn = 0;  // countdown of submissions to the failing one
        NTSTATUS failStatus = STATUS_SUCCESS;
        USBD_STATUS failUsbd = USBD_STATUS_SUCCESS;
        int64_t delay = 0;
        uint32_t nextFrame = 0;  // isochronous schedule
        uint64_t completed = 0;
    };
    // Runs when a request completes: moves the data, returns (status, USBD status).
    using Action = std::function<std::pair<NTSTATUS, USBD_STATUS>()>;
    struct Pending {
        PIRP irp;
        PURB urb;
        uint8_t endpoint;
        Action action;
    };

    std::shared_ptr<Function> function;
    PDEVICE_OBJECT pdo = nullptr;
    mutable std::mutex lock;
    std::map<uint8_t, Faults> endpoints;
    std::map<uint64_t, Pending> pending;
    uint64_t nextId = 1;
    bool unplugged = false;
    // Requests accepted and not yet through their completion (counted until
    // IofCompleteRequest returns, so a caller that sees 0 knows the bus no
    // longer touches any buffer).
    std::atomic<size_t> inFlight{0};

    NTSTATUS Dispatch(PIRP irp);
    NTSTATUS Submit(PIRP irp, PURB urb, uint8_t endpoint, int64_t due, Action action);
    NTSTATUS SubmitUrb(PIRP irp, PURB urb);
    void Finish(uint64_t id);
    void CancelWhere(const std::function<bool(const Pending&)>& which, NTSTATUS status, USBD_STATUS usbd);
};

namespace {

using State = HostController::State;

constexpr uintptr_t kPipeTag = 0x5B00;
constexpr uintptr_t kConfigurationHandle = 0xC0F1;
constexpr int64_t kFrame = 10000;  // 1 ms in 100 ns units

// Which controller and request a pending IRP belongs to, for the cancel routine.
std::mutex g_ownersLock;
std::map<PIRP, std::pair<std::weak_ptr<State>, uint64_t>> g_owners;

USBD_PIPE_HANDLE PipeHandle(uint8_t endpoint) { return reinterpret_cast<USBD_PIPE_HANDLE>(kPipeTag | endpoint); }
bool EndpointOf(USBD_PIPE_HANDLE handle, uint8_t* endpoint) {
    auto h = reinterpret_cast<uintptr_t>(handle);
    if ((h & ~uintptr_t{0xFF}) != kPipeTag) return false;
    *endpoint = static_cast<uint8_t>(h & 0xFF);
    return true;
}

UCHAR* BufferOf(PVOID buffer, PMDL mdl) {
    if (buffer) return static_cast<UCHAR*>(buffer);
    return mdl ? static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority)) : nullptr;
}

void CompleteOnBus(const std::shared_ptr<State>& state, PIRP irp, PURB urb, NTSTATUS status, USBD_STATUS usbd) {
    BusPost([state, irp, urb, status, usbd] {
        if (urb) urb->UrbHeader.Status = usbd;
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = 0;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        if (state) state->inFlight--;
    });
}

VOID CancelRoutine(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    std::shared_ptr<State> state;
    uint64_t id = 0;
    {
        std::lock_guard<std::mutex> guard(g_ownersLock);
        auto it = g_owners.find(irp);
        if (it != g_owners.end()) {
            state = it->second.first.lock();
            id = it->second.second;
            g_owners.erase(it);
        }
    }
    PURB urb = nullptr;
    if (state) {
        std::lock_guard<std::mutex> guard(state->lock);
        auto it = state->pending.find(id);
        if (it != state->pending.end()) {
            urb = it->second.urb;
            state->pending.erase(it);
        }
    }
    CompleteOnBus(state, irp, urb, STATUS_CANCELLED, USBD_STATUS_CANCELED);
}

// Bytes of isochronous packet p: up to the next packet's offset, the last up
// to the end of the buffer.
ULONG IsoPacketLength(const struct _URB_ISOCH_TRANSFER& iso, ULONG p) {
    ULONG end = p + 1 < iso.NumberOfPackets ? iso.IsoPacket[p + 1].Offset : iso.TransferBufferLength;
    return end > iso.IsoPacket[p].Offset ? end - iso.IsoPacket[p].Offset : 0;
}

// Fills one interface information record from the configuration descriptor.
bool FillInterface(PUSBD_INTERFACE_INFORMATION info, const std::vector<uint8_t>& config) {
    size_t at = 0;
    const USB_INTERFACE_DESCRIPTOR* found = nullptr;
    while (at + 2 <= config.size() && config[at] >= 2) {
        if (config[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
            auto* d = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(&config[at]);
            if (found) break;
            if (d->bInterfaceNumber == info->InterfaceNumber && d->bAlternateSetting == info->AlternateSetting) {
                found = d;
                info->Class = d->bInterfaceClass;
                info->SubClass = d->bInterfaceSubClass;
                info->Protocol = d->bInterfaceProtocol;
                info->InterfaceHandle =
                    reinterpret_cast<USBD_INTERFACE_HANDLE>(uintptr_t{0x1F00} | d->bInterfaceNumber << 4 | d->bAlternateSetting);
                const ULONG room = (info->Length - offsetof(USBD_INTERFACE_INFORMATION, Pipes)) / sizeof(USBD_PIPE_INFORMATION);
                info->NumberOfPipes = std::min<ULONG>(d->bNumEndpoints, room);
                ULONG pipe = 0;
                for (size_t e = at + config[at]; e + 2 <= config.size() && config[e] >= 2 && pipe < info->NumberOfPipes;
                     e += config[e]) {
                    if (config[e + 1] == USB_INTERFACE_DESCRIPTOR_TYPE) break;
                    if (config[e + 1] != USB_ENDPOINT_DESCRIPTOR_TYPE) continue;
                    auto* ep = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(&config[e]);
                    USBD_PIPE_INFORMATION& p = info->Pipes[pipe++];
                    p.MaximumPacketSize = ep->wMaxPacketSize;
                    p.EndpointAddress = ep->bEndpointAddress;
                    p.Interval = ep->bInterval;
                    p.PipeType = static_cast<USBD_PIPE_TYPE>(ep->bmAttributes & USB_ENDPOINT_TYPE_MASK);
                    p.PipeHandle = PipeHandle(ep->bEndpointAddress);
                    if (!p.MaximumTransferSize) p.MaximumTransferSize = 4096;
                }
                info->NumberOfPipes = pipe;
            }
        }
        at += config[at];
    }
    return found != nullptr;
}

}  // namespace

NTSTATUS State::Submit(PIRP irp, PURB urb, uint8_t endpoint, int64_t due, Action action) {
    uint64_t id;
    bool hang = false;
    {
        std::lock_guard<std::mutex> guard(lock);
        Faults& f = endpoints[endpoint];
        due += f.delay;
        hang = std::exchange(f.hang, false);
        if (f.failIn && --f.failIn == 0) {
            NTSTATUS s = f.failStatus;
            USBD_STATUS u = f.failUsbd;
            action = [s, u] { return std::make_pair(s, u); };
        }
        id = nextId++;
        pending[id] = Pending{irp, urb, endpoint, std::move(action)};
        inFlight++;
    }
    {
        std::lock_guard<std::mutex> guard(g_ownersLock);
        g_owners[irp] = {weak_from_this(), id};
    }
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelRoutine);
    // A cancel that came before the routine was set still has to end it.
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
        {
            std::lock_guard<std::mutex> guard(lock);
            pending.erase(id);
        }
        {
            std::lock_guard<std::mutex> guard(g_ownersLock);
            g_owners.erase(irp);
        }
        CompleteOnBus(shared_from_this(), irp, urb, STATUS_CANCELLED, USBD_STATUS_CANCELED);
        return STATUS_PENDING;
    }
    if (!hang) {
        std::weak_ptr<State> self = weak_from_this();
        BusPostAt(due, [self, id] {
            if (auto s = self.lock()) s->Finish(id);
        });
    }
    return STATUS_PENDING;
}

void State::Finish(uint64_t id) {
    Pending p;
    {
        std::lock_guard<std::mutex> guard(lock);
        auto it = pending.find(id);
        if (it == pending.end()) return;  // cancelled, aborted or unplugged meanwhile
        // Still registered, so the IRP is ours to take unless a cancel has
        // already taken its routine; then the cancel routine completes it.
        if (!IoSetCancelRoutine(it->second.irp, nullptr)) return;
        p = std::move(it->second);
        pending.erase(it);
        endpoints[p.endpoint].completed++;
    }
    {
        std::lock_guard<std::mutex> guard(g_ownersLock);
        g_owners.erase(p.irp);
    }
    auto [status, usbd] = p.action();
    if (p.urb) p.urb->UrbHeader.Status = usbd;
    p.irp->IoStatus.Status = status;
    p.irp->IoStatus.Information = 0;
    IofCompleteRequest(p.irp, IO_NO_INCREMENT);
    inFlight--;
}

void State::CancelWhere(const std::function<bool(const Pending&)>& which, NTSTATUS status, USBD_STATUS usbd) {
    std::vector<Pending> taken;
    {
        std::lock_guard<std::mutex> guard(lock);
        for (auto it = pending.begin(); it != pending.end();) {
            if (which(it->second) && IoSetCancelRoutine(it->second.irp, nullptr)) {
                taken.push_back(std::move(it->second));
                it = pending.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const Pending& p : taken) {
        {
            std::lock_guard<std::mutex> guard(g_ownersLock);
            g_owners.erase(p.irp);
        }
        CompleteOnBus(shared_from_this(), p.irp, p.urb, status, usbd);
    }
}

NTSTATUS State::Dispatch(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_PNP || stack->MajorFunction == IRP_MJ_POWER) {
        // The bus answers Plug and Play and power for its device.
        if (stack->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    if (stack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    auto* urb = code == IOCTL_INTERNAL_USB_SUBMIT_URB ? static_cast<PURB>(stack->Parameters.Others.Argument1) : nullptr;
    bool gone;
    {
        std::lock_guard<std::mutex> guard(lock);
        gone = unplugged;
    }
    const int64_t now = detail::Now();
    if (gone) return Submit(irp, urb, 0, now, [] { return std::make_pair(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE); });
    switch (code) {
    case IOCTL_INTERNAL_USB_RESET_PORT:
    case IOCTL_INTERNAL_USB_ENABLE_PORT:
        return Submit(irp, nullptr, 0, now, [this] {
            function->PortReset();
            return std::make_pair(STATUS_SUCCESS, USBD_STATUS_SUCCESS);
        });
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        if (urb) return SubmitUrb(irp, urb);
        [[fallthrough]];
    default:
        return Submit(irp, nullptr, 0, now, [] { return std::make_pair(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER); });
    }
}

NTSTATUS State::SubmitUrb(PIRP irp, PURB urb) {
    const int64_t now = detail::Now();
    const uint32_t frame = HostController::FrameNumber();
    auto fail = [](USBD_STATUS usbd) { return [usbd] { return std::make_pair(STATUS_UNSUCCESSFUL, usbd); }; };
    auto ok = std::make_pair(STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    uint8_t endpoint = 0;
    bool stall = false;
    auto takeStall = [&](uint8_t ep) {
        std::lock_guard<std::mutex> guard(lock);
        stall = std::exchange(endpoints[ep].stall, false);
    };

    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return Submit(irp, urb, 0, now, [this, urb, ok] {
            auto& sc = urb->UrbSelectConfiguration;
            if (!sc.ConfigurationDescriptor) return ok;  // unconfigure
            std::vector<uint8_t> config = function->ConfigurationDescriptor();
            auto* end = reinterpret_cast<UCHAR*>(urb) + urb->UrbHeader.Length;
            for (auto* info = &sc.Interface; reinterpret_cast<UCHAR*>(info) + sizeof(USBD_INTERFACE_INFORMATION) <= end &&
                                             info->Length >= sizeof(USBD_INTERFACE_INFORMATION);
                 info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR*>(info) + info->Length)) {
                if (!FillInterface(info, config)) return std::make_pair(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
            }
            sc.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(kConfigurationHandle);
            return ok;
        });
    case URB_FUNCTION_SELECT_INTERFACE:
        return Submit(irp, urb, 0, now, [this, urb, ok] {
            auto& si = urb->UrbSelectInterface;
            if (si.ConfigurationHandle != reinterpret_cast<USBD_CONFIGURATION_HANDLE>(kConfigurationHandle) ||
                !FillInterface(&si.Interface, function->ConfigurationDescriptor()))
                return std::make_pair(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
            return ok;
        });
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
        return Submit(irp, urb, 0, now, [urb, ok] {
            urb->UrbGetCurrentFrameNumber.FrameNumber = HostController::FrameNumber();
            return ok;
        });
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_RESET_PIPE: {
        if (!EndpointOf(urb->UrbPipeRequest.PipeHandle, &endpoint))
            return Submit(irp, urb, 0, now, fail(USBD_STATUS_INVALID_PIPE_HANDLE));
        if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
            // The pipe's transfers complete as cancelled before the abort does.
            CancelWhere([endpoint](const Pending& p) { return p.endpoint == endpoint; }, STATUS_CANCELLED,
                        USBD_STATUS_CANCELED);
        } else {
            std::lock_guard<std::mutex> guard(lock);
            endpoints[endpoint].stall = false;
        }
        return Submit(irp, urb, 0, now, [ok] { return ok; });
    }
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
        takeStall(0);
        if (stall) return Submit(irp, urb, 0, now, fail(USBD_STATUS_STALL_PID));
        return Submit(irp, urb, 0, now, [this, urb, ok, fail] {
            auto& d = urb->UrbControlDescriptorRequest;
            std::optional<std::vector<uint8_t>> bytes;
            if (d.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE) bytes = function->DeviceDescriptor();
            else if (d.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE) bytes = function->ConfigurationDescriptor();
            else if (d.DescriptorType == USB_STRING_DESCRIPTOR_TYPE) bytes = function->StringDescriptor(d.Index, d.LanguageId);
            UCHAR* out = BufferOf(d.TransferBuffer, d.TransferBufferMDL);
            if (!bytes || !out) return fail(USBD_STATUS_STALL_PID)();
            ULONG n = std::min<ULONG>(d.TransferBufferLength, static_cast<ULONG>(bytes->size()));
            std::memcpy(out, bytes->data(), n);
            d.TransferBufferLength = n;
            return ok;
        });
    }
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER: {
        takeStall(0);
        if (stall) return Submit(irp, urb, 0, now, fail(USBD_STATUS_STALL_PID));
        return Submit(irp, urb, 0, now, [this, urb, ok, fail] {
            auto& v = urb->UrbControlVendorClassRequest;
            const USHORT f = urb->UrbHeader.Function;
            const bool vendor = f == URB_FUNCTION_VENDOR_DEVICE || f == URB_FUNCTION_VENDOR_INTERFACE ||
                                f == URB_FUNCTION_VENDOR_ENDPOINT || f == URB_FUNCTION_VENDOR_OTHER;
            uint8_t recipient = f == URB_FUNCTION_VENDOR_DEVICE || f == URB_FUNCTION_CLASS_DEVICE         ? 0
                                : f == URB_FUNCTION_VENDOR_INTERFACE || f == URB_FUNCTION_CLASS_INTERFACE ? 1
                                : f == URB_FUNCTION_VENDOR_ENDPOINT || f == URB_FUNCTION_CLASS_ENDPOINT   ? 2
                                                                                                          : 3;
            const bool in = v.TransferFlags & USBD_TRANSFER_DIRECTION_IN;
            Setup setup{static_cast<uint8_t>((in ? 0x80 : 0) | (vendor ? 0x40 : 0x20) | recipient), v.Request, v.Value,
                        v.Index, static_cast<uint16_t>(std::min<ULONG>(v.TransferBufferLength, 0xFFFF))};
            UCHAR* buffer = BufferOf(v.TransferBuffer, v.TransferBufferMDL);
            std::vector<uint8_t> data;
            if (!in && buffer) data.assign(buffer, buffer + setup.length);
            if (!function->Control(setup, data)) return fail(USBD_STATUS_STALL_PID)();
            if (in) {
                ULONG n = std::min<ULONG>(setup.length, static_cast<ULONG>(data.size()));
                if (n && buffer) std::memcpy(buffer, data.data(), n);
                v.TransferBufferLength = n;
            }
            return ok;
        });
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        auto& b = urb->UrbBulkOrInterruptTransfer;
        if (!EndpointOf(b.PipeHandle, &endpoint)) return Submit(irp, urb, 0, now, fail(USBD_STATUS_INVALID_PIPE_HANDLE));
        takeStall(endpoint);
        if (stall) return Submit(irp, urb, endpoint, now, fail(USBD_STATUS_STALL_PID));
        return Submit(irp, urb, endpoint, (frame + 1) * kFrame, [this, urb, endpoint, ok] {
            auto& t = urb->UrbBulkOrInterruptTransfer;
            UCHAR* buffer = BufferOf(t.TransferBuffer, t.TransferBufferMDL);
            if (USB_ENDPOINT_DIRECTION_IN(endpoint))
                t.TransferBufferLength = buffer ? static_cast<ULONG>(function->BulkIn(endpoint, buffer, t.TransferBufferLength)) : 0;
            else if (buffer)
                function->BulkOut(endpoint, buffer, t.TransferBufferLength);
            return ok;
        });
    }
    case URB_FUNCTION_ISOCH_TRANSFER: {
        auto& iso = urb->UrbIsochronousTransfer;
        if (!EndpointOf(iso.PipeHandle, &endpoint) || iso.NumberOfPackets == 0)
            return Submit(irp, urb, 0, now, fail(USBD_STATUS_INVALID_PARAMETER));
        // As soon as possible: one packet per frame, right after what the pipe
        // has queued. A pipe kept busy streams without gaps even when this
        // thread runs behind a fast clock; an idle pipe starts at the next frame.
        uint32_t start;
        {
            std::lock_guard<std::mutex> guard(lock);
            Faults& f = endpoints[endpoint];
            bool busy = std::any_of(pending.begin(), pending.end(),
                                    [endpoint](const auto& p) { return p.second.endpoint == endpoint; });
            start = busy ? f.nextFrame : std::max(frame + 1, f.nextFrame);
            f.nextFrame = start + iso.NumberOfPackets;
        }
        const int64_t due = static_cast<int64_t>(start + iso.NumberOfPackets) * kFrame;
        return Submit(irp, urb, endpoint, due, [this, urb, endpoint, start, ok] {
            auto& t = urb->UrbIsochronousTransfer;
            UCHAR* buffer = BufferOf(t.TransferBuffer, t.TransferBufferMDL);
            t.StartFrame = start;
            t.ErrorCount = 0;
            ULONG total = 0;
            for (ULONG p = 0; p < t.NumberOfPackets; ++p) {
                ULONG length = IsoPacketLength(t, p);
                UCHAR* data = buffer + t.IsoPacket[p].Offset;
                if (USB_ENDPOINT_DIRECTION_IN(endpoint)) {
                    t.IsoPacket[p].Length = static_cast<ULONG>(function->IsoIn(endpoint, start + p, data, length));
                    total += t.IsoPacket[p].Length;
                } else {
                    function->IsoOut(endpoint, start + p, data, length);
                    total += length;
                }
                t.IsoPacket[p].Status = USBD_STATUS_SUCCESS;
            }
            if (USB_ENDPOINT_DIRECTION_IN(endpoint)) t.TransferBufferLength = total;
            return ok;
        });
    }
    default:
        return Submit(irp, urb, 0, now, fail(USBD_STATUS_INVALID_URB_FUNCTION));
    }
}

HostController::HostController(std::shared_ptr<Function> function) : state_(std::make_shared<State>()) {
    state_->function = std::move(function);
    std::weak_ptr<State> weak = state_;
    state_->pdo = CreateLowerDevice([weak](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        if (auto s = weak.lock()) return s->Dispatch(irp);
        irp->IoStatus.Status = STATUS_DEVICE_NOT_CONNECTED;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_DEVICE_NOT_CONNECTED;
    });
}

HostController::~HostController() {
    state_->CancelWhere([](const State::Pending&) { return true; }, STATUS_CANCELLED, USBD_STATUS_CANCELED);
    BusFlush();
    DeleteLowerDevice(state_->pdo);
}

PDEVICE_OBJECT HostController::PhysicalDevice() const { return state_->pdo; }
uint32_t HostController::FrameNumber() { return static_cast<uint32_t>(detail::Now() / kFrame); }
std::shared_ptr<Function> HostController::Attached() const { return state_->function; }

void HostController::HangNextTransfer(uint8_t endpoint) {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->endpoints[endpoint].hang = true;
}
void HostController::FailTransfer(uint8_t endpoint, unsigned nth, NTSTATUS status, USBD_STATUS usbdStatus) {
    std::lock_guard<std::mutex> guard(state_->lock);
    auto& f = state_->endpoints[endpoint];
    f.failIn = nth;
    f.failStatus = status;
    f.failUsbd = usbdStatus;
}
void HostController::StallNext(uint8_t endpoint) {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->endpoints[endpoint].stall = true;
}
void HostController::SetCompletionDelay(uint8_t endpoint, int64_t delay100ns) {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->endpoints[endpoint].delay = delay100ns;
}
void HostController::Unplug() {
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        state_->unplugged = true;
    }
    state_->CancelWhere([](const State::Pending&) { return true; }, STATUS_DEVICE_NOT_CONNECTED,
                        USBD_STATUS_DEVICE_GONE);
}
void HostController::Plug() {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->unplugged = false;
}
size_t HostController::Pending() const { return state_->inFlight.load(); }
uint64_t HostController::Completed(uint8_t endpoint) const {
    std::lock_guard<std::mutex> guard(state_->lock);
    auto it = state_->endpoints.find(endpoint);
    return it == state_->endpoints.end() ? 0 : it->second.completed;
}

}  // namespace hk::usb
