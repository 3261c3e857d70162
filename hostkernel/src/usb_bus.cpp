// The simulated USB host controller: executes the USB stack's internal
// requests against one Function, on the kernel clock in 1 ms frames.
//
// A request goes through three steps. The dispatch routine checks it: a
// refusal completes at once, in the caller's thread, as the USB stack fails
// a malformed URB in its dispatch routine. It then reaches the controller
// (at once, or after the endpoint's injected delay), which decides when it
// is done; an isochronous transfer takes its frames at that moment. When it
// is done the bus moves its data and completes it.
//
// Ownership of a pending request follows the cancel routine: whoever takes
// it out of the request (the scheduled completion, an abort, an unplug, or
// IoCancelIrp calling ours) completes the request, exactly once.
#include "internal.h"

#include <hostkernel/usb_bus.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <utility>

namespace hk::usb {

namespace {

using Result = std::pair<NTSTATUS, USBD_STATUS>;

constexpr uintptr_t kPipeTag = 0x5B000000;
constexpr uintptr_t kConfigurationHandle = 0xC0F1;
constexpr int64_t kFrame = 10000;  // 1 ms in 100 ns units
// With isoInBeforeOut, the rank of an isochronous OUT transfer: of the
// transfers due at the same time it completes after the IN ones.
constexpr int kIsoOutRank = 1;
// Inline completion waits in IoCallDriver for requests done within this many frames.
constexpr int64_t kInlineWaitFrames = 8;
// A full-speed controller takes at most this many packets in one transfer.
constexpr ULONG kMaxIsoPacketsFullSpeed = 255;
// Stacks before USBDI 1.01 knew the pipe request without its last field.
constexpr USHORT kOldPipeRequestLength = sizeof(_URB_PIPE_REQUEST) - sizeof(ULONG);
// The stack moves at most 4 KB in one transfer on the default control pipe
// and fails a longer one with USBD_STATUS_INVALID_PARAMETER.
constexpr ULONG kMaxControlTransfer = 4096;
// The stack of Windows Vista (USBDI 6.00) and later no longer supports
// IOCTL_INTERNAL_USB_ENABLE_PORT.
constexpr ULONG kFirstUsbdiWithoutEnablePort = 0x600;

// The virtual time this thread's simulation is at. A completion the
// controller delivers runs at its request's due time, so what it submits is
// scheduled from there even when the bus thread runs behind the clock.
thread_local int64_t t_logicalNow = -1;
int64_t LogicalNow() { return t_logicalNow >= 0 ? t_logicalNow : detail::Now(); }
class AtTime {
public:
    explicit AtTime(int64_t t) : saved_(t_logicalNow) { t_logicalNow = t; }
    ~AtTime() { t_logicalNow = saved_; }
    AtTime(const AtTime&) = delete;
    AtTime& operator=(const AtTime&) = delete;

private:
    int64_t saved_;
};

// URB functions the USB stack defines but this controller does not carry
// out; anything else outside the implemented set is not a URB function.
bool DefinedUrbFunction(USHORT f) {
    return (f >= 0x03 && f <= 0x06) || f == 0x08 || (f >= 0x0C && f <= 0x15) || (f >= 0x21 && f <= 0x2A) ||
           f == 0x32 || (f >= 0x35 && f <= 0x38);
}

}  // namespace

struct HostController::State : std::enable_shared_from_this<HostController::State> {
    struct Faults {
        bool hang = false;
        bool stall = false;   // the next request stalls
        bool halted = false;  // a bulk or interrupt pipe that stalled, until reset
        // The device's endpoint answers with STALL until its halt is cleared;
        // a host-side reset alone lets the next transfer stall again.
        bool deviceStalled = false;
        unsigned failIn = 0;  // countdown of submissions to the failing one
        NTSTATUS failStatus = STATUS_SUCCESS;
        USBD_STATUS failUsbd = USBD_STATUS_SUCCESS;
        int64_t submitDelay = 0;   // until a request reaches the controller
        int64_t completeDelay = 0;  // from the end of a transfer to its completion
        int64_t lastArrival = 0;    // requests reach the controller in their order
        uint32_t nextFrame = 0;     // isochronous: the frame after the last one given out
        unsigned missNext = 0;
        unsigned missEvery = 0;
        uint64_t completed = 0;
    };
    struct Pipe {
        uint8_t endpoint;
        uint8_t interfaceNumber;
        USBD_PIPE_TYPE type;
        USHORT maxPacket;
    };
    // Runs when the request reaches the controller, under the lock: returns
    // the virtual time at which it is done. `busy`: other transfers of the
    // endpoint are on the bus.
    using Schedule = std::function<int64_t(Faults&, int64_t now, bool busy)>;
    // Runs when it is done: moves the data, returns (status, USBD status).
    using Action = std::function<Result()>;
    // A submitter blocked in IoCallDriver until its request has completed.
    struct Waiter {
        KEVENT event;
        bool handoff = false;  // done: the completion is the waiter's to run
        NTSTATUS status = STATUS_PENDING;
        USBD_STATUS usbd = USBD_STATUS_SUCCESS;
        int64_t due = 0;
    };
    struct Pending {
        PIRP irp = nullptr;
        PURB urb = nullptr;
        uint8_t endpoint = 0;
        Schedule schedule;
        Action action;
        int64_t completeDelay = 0;
        bool scheduled = false;
        int64_t due = 0;
        Waiter* waiter = nullptr;
        // A bulk or interrupt data transfer: fails without moving data when
        // its pipe halts before it is done.
        bool haltable = false;
        bool haltedOut = false;  // its pipe halted while it was pending
        int rank = 0;
    };

    // What the hub read from the device at enumeration, for the physical
    // device's Plug and Play answers.
    struct Identity {
        uint16_t vendor = 0;
        uint16_t product = 0;
        uint16_t release = 0;
        bool serialNumber = false;  // iSerialNumber names a string
        bool remoteWakeup = false;  // bmAttributes of the configuration
    };

    std::shared_ptr<Function> function;
    PDEVICE_OBJECT pdo = nullptr;
    Identity identity;
    mutable std::mutex lock;
    std::map<uint8_t, Faults> endpoints;
    std::map<uint64_t, Pending> pending;
    uint64_t nextId = 1;
    bool unplugged = false;
    // The pipes the current configuration handed out, by handle.
    bool configured = false;
    std::map<uintptr_t, Pipe> pipes;
    uint32_t generation = 0;
    std::map<uint8_t, uint8_t> alternates;  // interface number: the alternate setting last selected
    std::atomic<bool> inlineCompletion{false};
    std::atomic<bool> abortCompletesFirst{false};
    std::atomic<bool> isoInBeforeOut{false};
    uint32_t asapLatencyFrames = 1;
    bool completionThreadPerPipe = false;
    // Requests accepted and not yet through their completion (counted until
    // IofCompleteRequest returns, so a caller that sees 0 knows the bus no
    // longer touches any buffer).
    std::atomic<size_t> inFlight{0};

    NTSTATUS Dispatch(PIRP irp);
    NTSTATUS DispatchPnp(PIRP irp);
    NTSTATUS SubmitUrb(PIRP irp, PURB urb);
    NTSTATUS SubmitIso(PIRP irp, PURB urb, const Pipe& pipe);
    // `rank` orders requests done at the same time (see kIsoOutRank).
    NTSTATUS Submit(PIRP irp, PURB urb, uint8_t endpoint, Schedule schedule, Action action, bool haltable = false,
                    int rank = 0);
    void HaltLocked(uint8_t endpoint);
    void Arrive(uint64_t id, int64_t at);
    void Finish(uint64_t id);
    std::vector<Pending> TakeWhere(const std::function<bool(const Pending&)>& which);
    void CancelWhere(const std::function<bool(const Pending&)>& which, NTSTATUS status, USBD_STATUS usbd,
                     int64_t at);
    int64_t ScheduleLocked(Pending& p, int64_t now);
    std::optional<Pipe> PipeOf(USBD_PIPE_HANDLE handle) const;
    bool FillInterface(PUSBD_INTERFACE_INFORMATION info, const std::vector<uint8_t>& config);
    bool MissedPacket(uint8_t endpoint, uint32_t frame);
};

namespace {

using State = HostController::State;

// Which controller and request a pending IRP belongs to, for the cancel routine.
std::mutex g_ownersLock;
std::map<PIRP, std::pair<std::weak_ptr<State>, uint64_t>> g_owners;

void ForgetOwner(PIRP irp) {
    std::lock_guard<std::mutex> guard(g_ownersLock);
    g_owners.erase(irp);
}

// The controller reaches an MDL's pages itself, as hardware does through
// the descriptor: no mapping call on the driver's behalf, so nothing the
// low-resources simulation fails or counts, and the MDL is left as it was.
UCHAR* BufferOf(PVOID buffer, PMDL mdl) {
    if (buffer) return static_cast<UCHAR*>(buffer);
    if (!mdl) return nullptr;
    if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
        return static_cast<UCHAR*>(mdl->MappedSystemVa);
    return static_cast<UCHAR*>(mdl->StartVa) + mdl->ByteOffset;
}

Result Ok() { return {STATUS_SUCCESS, USBD_STATUS_SUCCESS}; }
State::Action Fail(NTSTATUS status, USBD_STATUS usbd) {
    return [status, usbd] { return Result{status, usbd}; };
}
int64_t AtOnce(State::Faults&, int64_t now, bool) { return now; }
int64_t NextFrame(State::Faults&, int64_t now, bool) { return (now / kFrame + 1) * kFrame; }

// Completes a request the controller held (any thread, any IRQL up to
// DISPATCH_LEVEL) and wakes a submitter waiting for it.
void Complete(State* state, const State::Pending& p, NTSTATUS status, USBD_STATUS usbd) {
    if (p.urb) p.urb->UrbHeader.Status = usbd;
    p.irp->IoStatus.Status = status;
    p.irp->IoStatus.Information = 0;
    if (p.waiter) p.waiter->status = status;
    IofCompleteRequest(p.irp, IO_NO_INCREMENT);
    if (state) state->inFlight--;
    if (p.waiter) KeSetEvent(&p.waiter->event, IO_NO_INCREMENT, FALSE);
}

void CompleteOnBus(const std::shared_ptr<State>& state, State::Pending p, NTSTATUS status, USBD_STATUS usbd,
                   int64_t at) {
    BusPostAt(at, [state, p = std::move(p), status, usbd] { Complete(state.get(), p, status, usbd); });
}

// A request the dispatch routine refuses: completed before it returns.
NTSTATUS Refuse(PIRP irp, PURB urb, NTSTATUS status, USBD_STATUS usbd) {
    if (urb) urb->UrbHeader.Status = usbd;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
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
    State::Pending p;
    p.irp = irp;
    if (state) {
        std::lock_guard<std::mutex> guard(state->lock);
        auto it = state->pending.find(id);
        if (it != state->pending.end()) {
            p = std::move(it->second);
            state->pending.erase(it);
        }
    }
    CompleteOnBus(state, std::move(p), STATUS_CANCELLED, USBD_STATUS_CANCELED, detail::Now());
}

// Bytes of isochronous packet p: up to the next packet's offset, the last up
// to the end of the buffer (the dispatch routine has checked the layout).
ULONG IsoPacketLength(const struct _URB_ISOCH_TRANSFER& iso, ULONG p) {
    ULONG end = p + 1 < iso.NumberOfPackets ? iso.IsoPacket[p + 1].Offset : iso.TransferBufferLength;
    return end > iso.IsoPacket[p].Offset ? end - iso.IsoPacket[p].Offset : 0;
}

}  // namespace

int64_t State::ScheduleLocked(Pending& p, int64_t now) {
    const bool busy = std::any_of(pending.begin(), pending.end(), [&p](const auto& q) {
        return &q.second != &p && q.second.endpoint == p.endpoint && q.second.scheduled;
    });
    p.scheduled = true;
    p.due = p.schedule(endpoints[p.endpoint], now, busy) + p.completeDelay;
    return p.due;
}

std::optional<State::Pipe> State::PipeOf(USBD_PIPE_HANDLE handle) const {
    std::lock_guard<std::mutex> guard(lock);
    auto it = pipes.find(reinterpret_cast<uintptr_t>(handle));
    if (it == pipes.end()) return std::nullopt;
    return it->second;
}

// Fills one interface information record from the configuration descriptor
// and hands out new handles for its pipes; false (nothing changed) when the
// interface does not exist or the record has no room for all its pipes.
bool State::FillInterface(PUSBD_INTERFACE_INFORMATION info, const std::vector<uint8_t>& config) {
    size_t at = 0;
    const USB_INTERFACE_DESCRIPTOR* found = nullptr;
    std::lock_guard<std::mutex> guard(lock);
    // Records are read whole only when they lie whole inside the descriptor:
    // a device may state any length, and a truncated record ends the walk.
    auto whole = [&config](size_t from, size_t least) {
        return from + 2 <= config.size() && config[from] >= least && config[from] <= config.size() - from;
    };
    while (whole(at, 2)) {
        if (config[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
            if (config[at] < sizeof(USB_INTERFACE_DESCRIPTOR)) break;
            auto* d = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(&config[at]);
            if (found) break;
            if (d->bInterfaceNumber == info->InterfaceNumber && d->bAlternateSetting == info->AlternateSetting) {
                // A record without room for every endpoint is refused before
                // anything changes: a truncated pipe list would go unnoticed.
                const ULONG room = (info->Length - offsetof(USBD_INTERFACE_INFORMATION, Pipes)) / sizeof(USBD_PIPE_INFORMATION);
                if (room < d->bNumEndpoints) return false;
                found = d;
                info->Class = d->bInterfaceClass;
                info->SubClass = d->bInterfaceSubClass;
                info->Protocol = d->bInterfaceProtocol;
                info->InterfaceHandle =
                    reinterpret_cast<USBD_INTERFACE_HANDLE>(uintptr_t{0x1F00} | d->bInterfaceNumber << 4 | d->bAlternateSetting);
                info->NumberOfPipes = d->bNumEndpoints;
                std::erase_if(pipes, [d](const auto& p) { return p.second.interfaceNumber == d->bInterfaceNumber; });
                ++generation;
                alternates[d->bInterfaceNumber] = d->bAlternateSetting;
                ULONG pipe = 0;
                for (size_t e = at + config[at]; whole(e, 2) && pipe < info->NumberOfPipes; e += config[e]) {
                    if (config[e + 1] == USB_INTERFACE_DESCRIPTOR_TYPE) break;
                    if (config[e + 1] != USB_ENDPOINT_DESCRIPTOR_TYPE) continue;
                    if (config[e] < sizeof(USB_ENDPOINT_DESCRIPTOR)) break;
                    auto* ep = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(&config[e]);
                    USBD_PIPE_INFORMATION& p = info->Pipes[pipe++];
                    // The driver may ask for a packet size of its own; the pipe then runs with it.
                    if (!(p.PipeFlags & USBD_PF_CHANGE_MAX_PACKET)) p.MaximumPacketSize = ep->wMaxPacketSize;
                    p.EndpointAddress = ep->bEndpointAddress;
                    p.Interval = ep->bInterval;
                    p.PipeType = static_cast<USBD_PIPE_TYPE>(ep->bmAttributes & USB_ENDPOINT_TYPE_MASK);
                    const uintptr_t handle = kPipeTag | uintptr_t{generation & 0xFFFF} << 8 | ep->bEndpointAddress;
                    p.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(handle);
                    pipes[handle] = Pipe{ep->bEndpointAddress, d->bInterfaceNumber, p.PipeType, p.MaximumPacketSize};
                    endpoints[ep->bEndpointAddress].halted = false;  // a newly opened pipe
                    endpoints[ep->bEndpointAddress].deviceStalled = false;  // configured anew
                    if (!p.MaximumTransferSize) p.MaximumTransferSize = 4096;
                }
                info->NumberOfPipes = pipe;
            }
        }
        at += config[at];
    }
    return found != nullptr;
}

// The pipe halts: later transfers fail at submission, and those still
// pending on it fail when they are due, whatever happens to the pipe meanwhile.
void State::HaltLocked(uint8_t endpoint) {
    endpoints[endpoint].halted = true;
    endpoints[endpoint].deviceStalled = true;
    for (auto& [id, p] : pending)
        if (p.endpoint == endpoint && p.haltable) p.haltedOut = true;
}

bool State::MissedPacket(uint8_t endpoint, uint32_t frame) {
    std::lock_guard<std::mutex> guard(lock);
    Faults& f = endpoints[endpoint];
    if (f.missEvery && frame % f.missEvery == 0) return true;
    if (f.missNext) {
        --f.missNext;
        return true;
    }
    return false;
}

NTSTATUS State::Submit(PIRP irp, PURB urb, uint8_t endpoint, Schedule schedule, Action action, bool haltable,
                       int rank) {
    const int64_t now = LogicalNow();
    const bool mayWait = inlineCompletion && KeGetCurrentIrql() < DISPATCH_LEVEL;
    bool waitHere = false;
    Waiter waiter;
    if (mayWait) KeInitializeEvent(&waiter.event, NotificationEvent, FALSE);
    uint64_t id;
    bool hang;
    int64_t arrival, due = -1;
    {
        std::lock_guard<std::mutex> guard(lock);
        Faults& f = endpoints[endpoint];
        hang = std::exchange(f.hang, false);
        if (f.failIn && --f.failIn == 0) action = Fail(f.failStatus, f.failUsbd);
        arrival = std::max(now + f.submitDelay, f.lastArrival);
        f.lastArrival = arrival;
        id = nextId++;
        Pending& p = pending[id] = Pending{irp, urb, endpoint, std::move(schedule), std::move(action),
                                           f.completeDelay, false, 0, nullptr};
        p.haltable = haltable;
        p.rank = rank;
        if (!hang && arrival <= now) due = ScheduleLocked(p, now);
        // The submitter waits only for a request that is surely done soon;
        // one that is hung, not yet at the controller or due later pends and
        // completes on the bus thread, as IoCallDriver never blocks on a
        // transfer that may wait for its cancellation.
        waitHere = mayWait && due >= 0 && due - now <= kInlineWaitFrames * kFrame;
        if (waitHere) p.waiter = &waiter;
        {
            std::lock_guard<std::mutex> owners(g_ownersLock);
            g_owners[irp] = {weak_from_this(), id};
        }
        if (!waitHere) IoMarkIrpPending(irp);
        // Set with the request registered, so an abort or unplug that finds
        // it can always take it back.
        IoSetCancelRoutine(irp, CancelRoutine);
        inFlight++;
    }
    std::weak_ptr<State> self = weak_from_this();
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
        // A cancel that came before the routine was set still has to end it.
        Pending p;
        {
            std::lock_guard<std::mutex> guard(lock);
            p = std::move(pending.at(id));
            pending.erase(id);
        }
        ForgetOwner(irp);
        CompleteOnBus(shared_from_this(), std::move(p), STATUS_CANCELLED, USBD_STATUS_CANCELED, detail::Now());
    } else if (!hang && due >= 0) {
        BusPostAt(due, [self, id] {
            if (auto s = self.lock()) s->Finish(id);
        }, rank);
    } else if (!hang) {
        BusPostAt(arrival, [self, id, arrival] {
            if (auto s = self.lock()) s->Arrive(id, arrival);
        });
    }
    if (!waitHere) return STATUS_PENDING;

    KeWaitForSingleObject(&waiter.event, Executive, KernelMode, FALSE, nullptr);
    if (!waiter.handoff) return waiter.status;  // cancelled, aborted or unplugged: completed already
    // Done while its submitter waited: the completion runs here, at
    // DISPATCH_LEVEL as the bus would run it, before IoCallDriver returns.
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    {
        AtTime at(waiter.due);
        Pending p;
        p.irp = irp;
        p.urb = urb;
        Complete(this, p, waiter.status, waiter.usbd);
    }
    KeLowerIrql(irql);
    return waiter.status;
}

void State::Arrive(uint64_t id, int64_t at) {
    int64_t due;
    int rank;
    {
        std::lock_guard<std::mutex> guard(lock);
        auto it = pending.find(id);
        if (it == pending.end()) return;  // cancelled, aborted or unplugged on its way
        due = ScheduleLocked(it->second, at);
        rank = it->second.rank;
    }
    std::weak_ptr<State> self = weak_from_this();
    BusPostAt(due, [self, id] {
        if (auto s = self.lock()) s->Finish(id);
    }, rank);
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
        if (p.haltable && (p.haltedOut || endpoints[p.endpoint].halted)) {
            // Its pipe halted while it waited: nothing moves.
            PURB urb = p.urb;
            p.action = [urb] {
                urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
                return Result{STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED};
            };
        }
    }
    ForgetOwner(p.irp);
    AtTime at(p.due);
    auto [status, usbd] = p.action();
    if (p.waiter) {
        p.waiter->handoff = true;
        p.waiter->status = status;
        p.waiter->usbd = usbd;
        p.waiter->due = p.due;
        KeSetEvent(&p.waiter->event, IO_NO_INCREMENT, FALSE);
        return;
    }
    if (completionThreadPerPipe && p.endpoint != 0) {
        // The data moved here, on the bus thread; the driver sees the
        // completion on its pipe's own thread, still counted in flight.
        unsigned lane = 1 + ((p.endpoint & 0x0Fu) * 2 + (p.endpoint >> 7)) % (kBusLanes - 1);
        BusPostOn(lane, detail::Now(),
                  [self = shared_from_this(), p, status = status, usbd = usbd] {
                      Complete(self.get(), p, status, usbd);
                  });
        return;
    }
    Complete(this, p, status, usbd);
}

std::vector<State::Pending> State::TakeWhere(const std::function<bool(const Pending&)>& which) {
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
    for (const Pending& p : taken) ForgetOwner(p.irp);
    return taken;
}

void State::CancelWhere(const std::function<bool(const Pending&)>& which, NTSTATUS status, USBD_STATUS usbd,
                        int64_t at) {
    for (Pending& p : TakeWhere(which)) CompleteOnBus(shared_from_this(), std::move(p), status, usbd, at);
}

namespace {

// The hub's port the function is plugged into (one function, one port).
constexpr ULONG kPort = 1;

// "USB\VID_vvvv&PID_pppp&REV_rrrr", or without the revision.
std::u16string UsbId(const State::Identity& id, bool withRevision) {
    char text[40];
    if (withRevision)
        std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X&REV_%04X", id.vendor, id.product, id.release);
    else
        std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X", id.vendor, id.product);
    return ToU16(text);
}

// A string list in pool the caller frees with ExFreePool: each string with
// its terminating zero, and one more zero after the last (REG_MULTI_SZ).
PWCHAR PoolMultiSz(const std::vector<std::u16string>& strings) {
    size_t chars = 1;
    for (const auto& s : strings) chars += s.size() + 1;
    auto* out = static_cast<char16_t*>(detail::PoolAllocate(chars * sizeof(char16_t), detail::kTagPnp));
    if (!out) return nullptr;
    char16_t* p = out;
    for (const auto& s : strings) {
        std::memcpy(p, s.c_str(), (s.size() + 1) * sizeof(char16_t));
        p += s.size() + 1;
    }
    *p = 0;
    return reinterpret_cast<PWCHAR>(out);
}

static_assert(sizeof(DEVICE_CAPABILITIES) == 64, "x64 Windows layout");

}  // namespace

// The physical device answers Plug and Play as the hub's driver answers for
// a function on one of its ports. What it does not handle it completes as it
// came (STATUS_NOT_SUPPORTED, as the PnP manager sends it).
NTSTATUS State::DispatchPnp(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE: status = STATUS_SUCCESS; break;
    case IRP_MN_QUERY_CAPABILITIES: {
        DEVICE_CAPABILITIES* caps = stack->Parameters.DeviceCapabilities.Capabilities;
        if (!caps || caps->Version < 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) {
            status = STATUS_UNSUCCESSFUL;
            break;
        }
        // Removable from its port; SurpriseRemovalOK is the function
        // driver's to set. Sleep states map to D3, or to D2 for a function
        // that can wake the system from there.
        const bool wake = identity.remoteWakeup;
        caps->Removable = 1;
        caps->SurpriseRemovalOK = 0;
        caps->UniqueID = identity.serialNumber;
        caps->DeviceD1 = 0;
        caps->DeviceD2 = wake;
        caps->WakeFromD2 = wake;
        caps->Address = kPort;
        caps->UINumber = kPort;
        caps->DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
        caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        for (int s = PowerSystemSleeping1; s <= PowerSystemSleeping3; ++s)
            caps->DeviceState[s] = wake ? PowerDeviceD2 : PowerDeviceD3;
        caps->DeviceState[PowerSystemHibernate] = PowerDeviceD3;
        caps->DeviceState[PowerSystemShutdown] = PowerDeviceD3;
        caps->SystemWake = wake ? PowerSystemSleeping3 : PowerSystemUnspecified;
        caps->DeviceWake = wake ? PowerDeviceD2 : PowerDeviceUnspecified;
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_QUERY_ID: {
        std::vector<std::u16string> ids;
        const BUS_QUERY_ID_TYPE type = stack->Parameters.QueryId.IdType;
        if (type == BusQueryDeviceID) ids = {UsbId(identity, true)};
        else if (type == BusQueryHardwareIDs) ids = {UsbId(identity, true), UsbId(identity, false)};
        else break;
        PWCHAR list = PoolMultiSz(ids);
        if (!list) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(list);
        status = STATUS_SUCCESS;
        break;
    }
    default: break;
    }
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS State::Dispatch(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_PNP) return DispatchPnp(irp);
    if (stack->MajorFunction == IRP_MJ_POWER) {
        // The bus powers its port as asked.
        PoStartNextPowerIrp(irp);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    if (stack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL)
        return Refuse(irp, nullptr, STATUS_INVALID_DEVICE_REQUEST, USBD_STATUS_SUCCESS);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    auto* urb = code == IOCTL_INTERNAL_USB_SUBMIT_URB ? static_cast<PURB>(stack->Parameters.Others.Argument1) : nullptr;
    bool gone;
    {
        std::lock_guard<std::mutex> guard(lock);
        gone = unplugged;
    }
    // A device that is gone fails everything in the dispatch routine.
    if (gone) return Refuse(irp, urb, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    switch (code) {
    case IOCTL_INTERNAL_USB_ENABLE_PORT: {
        USBD_VERSION_INFORMATION version{};
        USBD_GetUSBDIVersion(&version);
        if (version.USBDI_Version >= kFirstUsbdiWithoutEnablePort)
            return Refuse(irp, nullptr, STATUS_NOT_SUPPORTED, USBD_STATUS_SUCCESS);
        [[fallthrough]];
    }
    case IOCTL_INTERNAL_USB_RESET_PORT:
        return Submit(irp, nullptr, 0, AtOnce, [this] {
            function->PortReset();
            return Ok();
        });
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        if (urb) return SubmitUrb(irp, urb);
        [[fallthrough]];
    default:
        return Refuse(irp, nullptr, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    }
}

NTSTATUS State::SubmitUrb(PIRP irp, PURB urb) {
    {
        std::unique_lock<std::mutex> guard(lock);
        bool held = std::any_of(pending.begin(), pending.end(), [urb](const auto& p) { return p.second.urb == urb; });
        guard.unlock();
        if (held) {
            // The stack still owns this block; its status field is not ours to write.
            ReportViolation("IofCallDriver",
                            "IOCTL_INTERNAL_USB_SUBMIT_URB: a URB was sent again while the USB stack still holds it");
            return Refuse(irp, nullptr, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
        }
    }
    const USHORT length = urb->UrbHeader.Length;
    const USHORT urbFunction = urb->UrbHeader.Function;
    auto invalid = [&] { return Refuse(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER); };
    auto badPipe = [&] { return Refuse(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE); };

    switch (urbFunction) {
    case URB_FUNCTION_SELECT_CONFIGURATION: {
        constexpr size_t head = offsetof(_URB_SELECT_CONFIGURATION, Interface);
        constexpr size_t pipesAt = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
        if (length < head) return invalid();
        auto& sc = urb->UrbSelectConfiguration;
        if (sc.ConfigurationDescriptor &&
            (length < head + pipesAt || sc.Interface.Length < pipesAt || length < head + sc.Interface.Length))
            return invalid();
        return Submit(irp, urb, 0, AtOnce, [this, urb] {
            auto& sc = urb->UrbSelectConfiguration;
            {
                // Every handle of the previous configuration is gone.
                std::lock_guard<std::mutex> guard(lock);
                pipes.clear();
                configured = false;
            }
            if (!sc.ConfigurationDescriptor) return Ok();  // unconfigure
            std::vector<uint8_t> config = function->ConfigurationDescriptor();
            auto* end = reinterpret_cast<UCHAR*>(urb) + urb->UrbHeader.Length;
            for (auto* info = &sc.Interface;
                 reinterpret_cast<UCHAR*>(info) + offsetof(USBD_INTERFACE_INFORMATION, Pipes) <= end &&
                 info->Length >= offsetof(USBD_INTERFACE_INFORMATION, Pipes) &&
                 reinterpret_cast<UCHAR*>(info) + info->Length <= end;
                 info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR*>(info) + info->Length)) {
                if (!FillInterface(info, config)) {
                    std::lock_guard<std::mutex> guard(lock);
                    pipes.clear();
                    return Result{STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER};
                }
            }
            sc.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(kConfigurationHandle);
            std::lock_guard<std::mutex> guard(lock);
            configured = true;
            return Ok();
        });
    }
    case URB_FUNCTION_SELECT_INTERFACE: {
        constexpr size_t head = offsetof(_URB_SELECT_INTERFACE, Interface);
        constexpr size_t pipesAt = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
        auto& si = urb->UrbSelectInterface;
        if (length < head + pipesAt || si.Interface.Length < pipesAt || length < head + si.Interface.Length)
            return invalid();
        return Submit(irp, urb, 0, AtOnce, [this, urb] {
            auto& si = urb->UrbSelectInterface;
            bool ready;
            {
                std::lock_guard<std::mutex> guard(lock);
                ready = configured;
            }
            if (!ready || si.ConfigurationHandle != reinterpret_cast<USBD_CONFIGURATION_HANDLE>(kConfigurationHandle) ||
                !FillInterface(&si.Interface, function->ConfigurationDescriptor()))
                return Result{STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER};
            return Ok();
        });
    }
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
        if (length != sizeof(_URB_GET_CURRENT_FRAME_NUMBER)) return invalid();
        return Submit(irp, urb, 0, AtOnce, [urb] {
            urb->UrbGetCurrentFrameNumber.FrameNumber = HostController::FrameNumber();
            return Ok();
        });
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_RESET_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL: {
        USBD_VERSION_INFORMATION version{};
        USBD_GetUSBDIVersion(&version);
        // Only the two oldest functions had the shorter layout.
        const bool oldLayout = urbFunction == URB_FUNCTION_ABORT_PIPE || urbFunction == URB_FUNCTION_RESET_PIPE;
        if (length != sizeof(_URB_PIPE_REQUEST) &&
            !(oldLayout && length == kOldPipeRequestLength && version.USBDI_Version < 0x101))
            return invalid();
        std::optional<Pipe> pipe = PipeOf(urb->UrbPipeRequest.PipeHandle);
        if (!pipe) return badPipe();
        const uint8_t endpoint = pipe->endpoint;
        auto pipeTransfers = [endpoint](const Pending& p) { return p.endpoint == endpoint; };
        if (urbFunction == URB_FUNCTION_ABORT_PIPE && abortCompletesFirst) {
            // As the stack may do it: the abort completes at once and the
            // transfers it cancelled a frame later.
            std::vector<Pending> taken = TakeWhere(pipeTransfers);
            NTSTATUS status = Refuse(irp, urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
            for (Pending& p : taken)
                CompleteOnBus(shared_from_this(), std::move(p), STATUS_CANCELLED, USBD_STATUS_CANCELED,
                              detail::Now() + kFrame);
            return status;
        }
        if (urbFunction == URB_FUNCTION_ABORT_PIPE) {
            // The pipe's transfers complete as cancelled before the abort does.
            CancelWhere(pipeTransfers, STATUS_CANCELLED, USBD_STATUS_CANCELED, detail::Now());
        } else {
            // SYNC_RESET_PIPE resets the host side only, SYNC_CLEAR_STALL
            // clears the device's halt only, RESET_PIPE does both.
            std::lock_guard<std::mutex> guard(lock);
            Faults& f = endpoints[endpoint];
            if (urbFunction != URB_FUNCTION_SYNC_CLEAR_STALL) f.halted = false;
            if (urbFunction != URB_FUNCTION_SYNC_RESET_PIPE) f.deviceStalled = false;
        }
        return Submit(irp, urb, 0, AtOnce, [] { return Ok(); });
    }
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
        if (length != sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)) return invalid();
        const auto& request = urb->UrbControlDescriptorRequest;
        if (request.TransferBufferLength > kMaxControlTransfer ||
            (request.TransferBufferLength && !request.TransferBuffer && !request.TransferBufferMDL))
            return invalid();
        bool stall;
        {
            std::lock_guard<std::mutex> guard(lock);
            stall = std::exchange(endpoints[0].stall, false);  // the control pipe stalls one request
        }
        if (stall) return Submit(irp, urb, 0, AtOnce, Fail(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID));
        return Submit(irp, urb, 0, AtOnce, [this, urb] {
            auto& d = urb->UrbControlDescriptorRequest;
            std::optional<std::vector<uint8_t>> bytes;
            if (d.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE) bytes = function->DeviceDescriptor();
            else if (d.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE) bytes = function->ConfigurationDescriptor();
            else if (d.DescriptorType == USB_STRING_DESCRIPTOR_TYPE) bytes = function->StringDescriptor(d.Index, d.LanguageId);
            UCHAR* out = BufferOf(d.TransferBuffer, d.TransferBufferMDL);
            if (!bytes) return Result{STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
            ULONG n = std::min<ULONG>(d.TransferBufferLength, static_cast<ULONG>(bytes->size()));
            if (n) std::memcpy(out, bytes->data(), n);
            d.TransferBufferLength = n;
            return Ok();
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
        if (length != sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST)) return invalid();
        const auto& request = urb->UrbControlVendorClassRequest;
        if (request.TransferBufferLength > kMaxControlTransfer ||
            (request.TransferBufferLength && !request.TransferBuffer && !request.TransferBufferMDL))
            return invalid();
        bool stall;
        {
            std::lock_guard<std::mutex> guard(lock);
            stall = std::exchange(endpoints[0].stall, false);
        }
        if (stall) return Submit(irp, urb, 0, AtOnce, Fail(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID));
        return Submit(irp, urb, 0, AtOnce, [this, urb] {
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
                        v.Index, static_cast<uint16_t>(v.TransferBufferLength)};
            UCHAR* buffer = BufferOf(v.TransferBuffer, v.TransferBufferMDL);
            std::vector<uint8_t> data;
            if (!in && buffer) data.assign(buffer, buffer + setup.length);
            if (!function->Control(setup, data)) return Result{STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
            if (in) {
                ULONG n = std::min<ULONG>(setup.length, static_cast<ULONG>(data.size()));
                if (n && buffer) std::memcpy(buffer, data.data(), n);
                v.TransferBufferLength = n;
            }
            return Ok();
        });
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        if (length != sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER)) return invalid();
        auto& b = urb->UrbBulkOrInterruptTransfer;
        std::optional<Pipe> pipe = PipeOf(b.PipeHandle);
        if (!pipe) return badPipe();
        if (pipe->type != UsbdPipeTypeBulk && pipe->type != UsbdPipeTypeInterrupt) return invalid();
        if (b.TransferBufferLength && !b.TransferBuffer && !b.TransferBufferMDL) return invalid();
        const uint8_t endpoint = pipe->endpoint;
        Action action;
        {
            // A stall halts the pipe; a halted pipe fails every transfer
            // until it is reset.
            std::lock_guard<std::mutex> guard(lock);
            Faults& f = endpoints[endpoint];
            if (f.halted) action = Fail(STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED);
            else if (std::exchange(f.stall, false) || f.deviceStalled) {
                HaltLocked(endpoint);
                action = Fail(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
            }
        }
        if (action) return Submit(irp, urb, endpoint, AtOnce, std::move(action));
        return Submit(irp, urb, endpoint, NextFrame, [this, urb, endpoint] {
            auto& t = urb->UrbBulkOrInterruptTransfer;
            UCHAR* buffer = BufferOf(t.TransferBuffer, t.TransferBufferMDL);
            if (USB_ENDPOINT_DIRECTION_IN(endpoint))
                t.TransferBufferLength = buffer ? static_cast<ULONG>(function->BulkIn(endpoint, buffer, t.TransferBufferLength)) : 0;
            else if (buffer)
                function->BulkOut(endpoint, buffer, t.TransferBufferLength);
            return Ok();
        }, true);
    }
    case URB_FUNCTION_ISOCH_TRANSFER: {
        if (length < offsetof(_URB_ISOCH_TRANSFER, IsoPacket)) return invalid();
        std::optional<Pipe> pipe = PipeOf(urb->UrbIsochronousTransfer.PipeHandle);
        if (!pipe) return badPipe();
        if (pipe->type != UsbdPipeTypeIsochronous) return invalid();
        return SubmitIso(irp, urb, *pipe);
    }
    default:
        if (DefinedUrbFunction(urbFunction)) return Refuse(irp, urb, STATUS_NOT_SUPPORTED, USBD_STATUS_NOT_SUPPORTED);
        return Refuse(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION);
    }
}

NTSTATUS State::SubmitIso(PIRP irp, PURB urb, const Pipe& pipe) {
    auto& iso = urb->UrbIsochronousTransfer;
    auto invalid = [&] { return Refuse(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER); };
    const ULONG n = iso.NumberOfPackets;
    if (n == 0 || n > kMaxIsoPacketsFullSpeed) return invalid();
    if (iso.Hdr.Length < offsetof(_URB_ISOCH_TRANSFER, IsoPacket) + n * sizeof(USBD_ISO_PACKET_DESCRIPTOR))
        return invalid();
    if (iso.TransferBufferLength && !iso.TransferBuffer && !iso.TransferBufferMDL) return invalid();
    // Offsets rise, stay in the buffer, and no packet exceeds what the
    // endpoint takes in one frame.
    for (ULONG p = 0; p < n; ++p) {
        const ULONG offset = iso.IsoPacket[p].Offset;
        const ULONG end = p + 1 < n ? iso.IsoPacket[p + 1].Offset : iso.TransferBufferLength;
        if (offset > end || end > iso.TransferBufferLength || end - offset > pipe.maxPacket) return invalid();
    }
    const bool asap = iso.TransferFlags & USBD_START_ISO_TRANSFER_ASAP;
    if (!asap) {
        const auto distance = static_cast<int32_t>(iso.StartFrame - static_cast<uint32_t>(LogicalNow() / kFrame));
        if (distance <= -USBD_ISO_START_FRAME_RANGE || distance >= USBD_ISO_START_FRAME_RANGE)
            return Refuse(irp, urb, STATUS_UNSUCCESSFUL, USBD_STATUS_BAD_START_FRAME);
    }

    // The frames are taken when the transfer reaches the controller; a packet
    // whose frame has already gone by then is not sent.
    struct Plan {
        uint32_t start = 0;
        uint32_t current = 0;
    };
    auto plan = std::make_shared<Plan>();
    Schedule schedule = [plan, asap, startFrame = iso.StartFrame, n, latency = asapLatencyFrames](
                            Faults& f, int64_t now, bool busy) {
        plan->current = static_cast<uint32_t>(now / kFrame);
        // As soon as possible: right after the transfers the pipe still has
        // on the bus, even when their frames are over by now; on an idle
        // pipe the next frame (or the configured latency).
        plan->start = !asap ? startFrame : busy ? f.nextFrame : plan->current + latency;
        f.nextFrame = plan->start + n;
        return std::max<int64_t>(static_cast<int64_t>(plan->start + n) * kFrame, now);
    };
    const uint8_t endpoint = pipe.endpoint;
    Action action = [this, urb, endpoint, plan] {
        auto& t = urb->UrbIsochronousTransfer;
        UCHAR* buffer = BufferOf(t.TransferBuffer, t.TransferBufferMDL);
        const bool in = USB_ENDPOINT_DIRECTION_IN(endpoint);
        t.StartFrame = plan->start;
        ULONG errors = 0, total = 0;
        for (ULONG p = 0; p < t.NumberOfPackets; ++p) {
            const uint32_t frame = plan->start + p;
            USBD_STATUS status = USBD_STATUS_SUCCESS;
            if (static_cast<int32_t>(frame - plan->current) < 0) status = USBD_STATUS_ISO_NOT_ACCESSED_LATE;
            else if (MissedPacket(endpoint, frame)) status = USBD_STATUS_ISO_NOT_ACCESSED_BY_HW;
            USBD_ISO_PACKET_DESCRIPTOR& d = t.IsoPacket[p];
            d.Status = status;
            if (status != USBD_STATUS_SUCCESS) {
                // Not sent: its bytes stay as they were.
                d.Length = 0;
                ++errors;
                continue;
            }
            const ULONG length = IsoPacketLength(t, p);
            UCHAR* data = buffer + d.Offset;
            if (in) {
                d.Length = static_cast<ULONG>(function->IsoIn(endpoint, frame, data, length));
                total += d.Length;
            } else {
                function->IsoOut(endpoint, frame, data, length);
                total += length;
            }
        }
        if (t.NumberOfPackets) function->IsoTransferEnd(endpoint, plan->start + t.NumberOfPackets - 1);
        t.ErrorCount = errors;
        t.TransferBufferLength = total;
        // Packets fail one by one; the request fails only when none got through.
        if (errors == t.NumberOfPackets) return Result{STATUS_UNSUCCESSFUL, USBD_STATUS_ISOCH_REQUEST_FAILED};
        return Ok();
    };
    const bool ranked = isoInBeforeOut && !USB_ENDPOINT_DIRECTION_IN(endpoint);
    return Submit(irp, urb, endpoint, std::move(schedule), std::move(action), false, ranked ? kIsoOutRank : 0);
}

HostController::HostController(std::shared_ptr<Function> function, Options options)
    : state_(std::make_shared<State>()) {
    state_->function = std::move(function);
    state_->inlineCompletion = options.inlineCompletion;
    state_->abortCompletesFirst = options.abortCompletesFirst;
    state_->isoInBeforeOut = options.isoInBeforeOut;
    state_->asapLatencyFrames = std::max<uint32_t>(options.asapLatencyFrames, 1);
    state_->completionThreadPerPipe = options.completionThreadPerPipe;
    // The hub reads the descriptors when the function is plugged in.
    const std::vector<uint8_t> device = state_->function->DeviceDescriptor();
    const std::vector<uint8_t> config = state_->function->ConfigurationDescriptor();
    auto word = [&](size_t at) { return at + 1 < device.size() ? static_cast<uint16_t>(device[at] | device[at + 1] << 8) : 0; };
    state_->identity.vendor = word(8);
    state_->identity.product = word(10);
    state_->identity.release = word(12);
    state_->identity.serialNumber = device.size() > 16 && device[16] != 0;
    state_->identity.remoteWakeup = config.size() > 7 && (config[7] & 0x20);
    std::weak_ptr<State> weak = state_;
    state_->pdo = CreateLowerDevice([weak](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        if (auto s = weak.lock()) return s->Dispatch(irp);
        irp->IoStatus.Status = STATUS_DEVICE_NOT_CONNECTED;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_DEVICE_NOT_CONNECTED;
    });
}

HostController::~HostController() {
    state_->CancelWhere([](const State::Pending&) { return true; }, STATUS_CANCELLED, USBD_STATUS_CANCELED,
                        detail::Now());
    BusFlush();
    // Cancellations an abort scheduled a frame ahead still have to run.
    for (int ms = 0; ms < 100 && state_->inFlight != 0; ++ms) {
        LARGE_INTEGER oneMs;
        oneMs.QuadPart = -kFrame;
        KeDelayExecutionThread(KernelMode, FALSE, &oneMs);
    }
    DeleteLowerDevice(state_->pdo);
}

PDEVICE_OBJECT HostController::PhysicalDevice() const { return state_->pdo; }
uint32_t HostController::FrameNumber() { return static_cast<uint32_t>(detail::Now() / kFrame); }
std::optional<uint8_t> HostController::AlternateSetting(uint8_t interfaceNumber) const {
    std::lock_guard<std::mutex> guard(state_->lock);
    auto it = state_->alternates.find(interfaceNumber);
    if (it == state_->alternates.end()) return std::nullopt;
    return it->second;
}
std::shared_ptr<Function> HostController::Attached() const { return state_->function; }

void HostController::SetInlineCompletion(bool on) { state_->inlineCompletion = on; }
void HostController::SetAbortCompletesFirst(bool on) { state_->abortCompletesFirst = on; }
void HostController::SetIsoInBeforeOut(bool on) { state_->isoInBeforeOut = on; }

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
bool HostController::Halted(uint8_t endpoint) const {
    std::lock_guard<std::mutex> guard(state_->lock);
    auto it = state_->endpoints.find(endpoint);
    return it != state_->endpoints.end() && it->second.halted;
}
void HostController::SetSubmissionDelay(uint8_t endpoint, int64_t delay100ns) {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->endpoints[endpoint].submitDelay = delay100ns;
}
void HostController::SetCompletionDelay(uint8_t endpoint, int64_t delay100ns) {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->endpoints[endpoint].completeDelay = delay100ns;
}
void HostController::MissIsoPackets(uint8_t endpoint, unsigned count) {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->endpoints[endpoint].missNext = count;
}
void HostController::MissEveryNthIsoFrame(uint8_t endpoint, unsigned n) {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->endpoints[endpoint].missEvery = n;
}
void HostController::Unplug() {
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        state_->unplugged = true;
    }
    state_->CancelWhere([](const State::Pending&) { return true; }, STATUS_DEVICE_NOT_CONNECTED,
                        USBD_STATUS_DEVICE_GONE, detail::Now());
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
