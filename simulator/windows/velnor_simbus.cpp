// velnorsimbus.sys: test equipment, not the product. A root-enumerated bus
// driver for Windows hosts without the module (Wine): it reports one child,
// the acquisition module (USB\VID_1209&PID_7E1A), and serves the URBs its
// function driver sends: descriptors, configuration and interface
// selection, vendor and class requests, bulk, frame number, port requests
// and the two isochronous streams. A system thread runs the 1 ms frames
// (Wine never runs DPCs): each frame fills one IN slot with the next two
// acquisition packets of the loaded packet file and records one OUT packet;
// the transfers a frame finishes complete IN first, then OUT.
// Its control device (\\.\VelnorSimBus) loads the packet file, reads back the
// OUT packets and unplugs or replugs the child.
#include <ntddk.h>
#include <usbdi.h>
extern "C" {
#include <usbdlib.h>
}
#include <usbioctl.h>

#include "velnor_simbus.h"

namespace {

constexpr ULONG kTag = 'VLSB';
constexpr ULONG kPacketBytes = 34, kSlotHeader = 6;
constexpr ULONG kRecordCapacity = 4u << 20;

enum Kind : ULONG { kControl = 1, kBus, kChild };
struct Extension {
    Kind kind;
    PDEVICE_OBJECT lower;  // bus: the root device's stack below
    PDEVICE_OBJECT pdo;    // bus: the root PDO
};

// The module's identity, as the simulated module on the host kernel has it.
const UCHAR kDeviceDescriptor[18] = {18, 1, 0x10, 0x01, 0xFF, 0, 0, 64, 0x09, 0x12, 0x1A, 0x7E, 0x00, 0x01, 1, 2, 3, 1};
#define EP(address, type, size, interval) 7, 5, address, type, (size) & 0xFF, (size) >> 8, interval
const UCHAR kConfigurationDescriptor[] = {
    9, 2, 9 + 9 + 5 * 7 + 9 + 8 * 7, 0, 1, 1, 0, 0x80, 100,
    9, 4, 0, 0, 5, 0xFF, 0, 0, 4,
    EP(0x81, 1, 108, 1), EP(0x02, 1, 16, 1), EP(0x83, 2, 64, 0), EP(0x04, 2, 64, 0), EP(0x85, 3, 8, 10),
    9, 4, 0, 1, 8, 0xFF, 0, 0, 5,
    EP(0x81, 1, 256, 1), EP(0x02, 1, 64, 1), EP(0x83, 2, 64, 0), EP(0x04, 2, 64, 0), EP(0x85, 3, 8, 10),
    EP(0x86, 1, 108, 1), EP(0x07, 1, 16, 1), EP(0x88, 2, 64, 0)};
#undef EP

struct Bus {
    PDRIVER_OBJECT driver;
    PDEVICE_OBJECT control, bus, child;
    volatile LONG present;      // the module is plugged in
    KSPIN_LOCK lock;            // everything below
    LIST_ENTRY isoQueue;        // isochronous IRPs in submission order
    UCHAR* packets;             // the packet file, 34-byte packets
    ULONG packetCount, nextPacket;
    // The file waits for the end of an OUT transfer: then every OUT transfer
    // of n packets finds exactly the 2n acquisition packets of its n frames.
    bool waitForOut, outEnded;
    UCHAR* record;              // OUT packets: u16 length, bytes
    ULONG recordLength;
    ULONG frame, inSlots, outSlots, controlRequests, lastAlternate;
    UCHAR bulk[64];
    ULONG bulkLength;
    UCHAR* firmware;            // vendor request 0xA0 memory, 64 KiB
    KEVENT threadDone;
    volatile LONG stopping;
};
Bus g;

Extension* Ext(PDEVICE_OBJECT device) { return static_cast<Extension*>(device->DeviceExtension); }

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

PVOID TransferAddress(PVOID buffer, PMDL mdl) {
    if (buffer || !mdl) return buffer;
    return (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) ? mdl->MappedSystemVa
                                                                                     : MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
}

// ---- the module's side of USB ----

USBD_PIPE_HANDLE PipeHandle(UCHAR endpoint) { return reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<ULONG_PTR>(0x5600 + endpoint)); }
UCHAR PipeEndpoint(USBD_PIPE_HANDLE handle) { return static_cast<UCHAR>(reinterpret_cast<ULONG_PTR>(handle) - 0x5600); }

// Fills an interface information record from the descriptor of its alternate setting.
NTSTATUS FillInterface(PUSBD_INTERFACE_INFORMATION info) {
    const UCHAR* d = kConfigurationDescriptor;
    ULONG total = sizeof kConfigurationDescriptor;
    for (ULONG at = 9; at < total; at += d[at]) {
        if (d[at + 1] != 4 || d[at + 2] != info->InterfaceNumber || d[at + 3] != info->AlternateSetting) continue;
        ULONG endpoints = d[at + 4];
        if (info->Length < FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) + endpoints * sizeof(USBD_PIPE_INFORMATION))
            return STATUS_BUFFER_TOO_SMALL;
        info->Class = d[at + 5];
        info->SubClass = d[at + 6];
        info->Protocol = d[at + 7];
        info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(static_cast<ULONG_PTR>(0x5700 + info->AlternateSetting));
        info->NumberOfPipes = endpoints;
        ULONG e = at + 9;
        for (ULONG p = 0; p < endpoints; ++p, e += 7) {
            USBD_PIPE_INFORMATION& pipe = info->Pipes[p];
            pipe.EndpointAddress = d[e + 2];
            pipe.PipeType = static_cast<USBD_PIPE_TYPE>(d[e + 3] & 3);
            pipe.MaximumPacketSize = static_cast<USHORT>(d[e + 4] | d[e + 5] << 8);
            pipe.Interval = d[e + 6];
            pipe.PipeHandle = PipeHandle(d[e + 2]);
            if (pipe.MaximumTransferSize == 0) pipe.MaximumTransferSize = 0x10000;
        }
        g.lastAlternate = info->AlternateSetting;
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_PARAMETER;
}

// A control transfer on the default pipe: vendor request 0xA0 is the
// firmware memory, other IN requests return request + i, 0xFF stalls.
bool Control(UCHAR requestType, UCHAR request, USHORT value, UCHAR* data, ULONG& length) {
    InterlockedIncrement(reinterpret_cast<volatile LONG*>(&g.controlRequests));
    if (request == 0xFF) return false;
    bool in = requestType & 0x80;
    if ((requestType & 0x60) == 0x40 && request == 0xA0) {
        for (ULONG i = 0; i < length; ++i) {
            UCHAR& cell = g.firmware[(value + i) & 0xFFFF];
            if (in) data[i] = cell;
            else cell = data[i];
        }
        return true;
    }
    if (in)
        for (ULONG i = 0; i < length; ++i) data[i] = static_cast<UCHAR>(request + i);
    return true;
}

NTSTATUS Descriptor(_URB_CONTROL_DESCRIPTOR_REQUEST& r) {
    UCHAR* out = static_cast<UCHAR*>(TransferAddress(r.TransferBuffer, r.TransferBufferMDL));
    const UCHAR* source = nullptr;
    ULONG size = 0;
    UCHAR text[64];
    if (r.DescriptorType == 1) source = kDeviceDescriptor, size = sizeof kDeviceDescriptor;
    else if (r.DescriptorType == 2) source = kConfigurationDescriptor, size = sizeof kConfigurationDescriptor;
    else if (r.DescriptorType == 3) {
        static const char* const strings[] = {nullptr, "velnor", "velnor ECG acquisition module (simulated)", "SIM-0001",
                                              "acquisition", "acquisition, all pipes"};
        if (r.Index == 0) {
            text[0] = 4, text[1] = 3, text[2] = 0x09, text[3] = 0x04, size = 4;
        } else if (r.Index < 6) {
            const char* s = strings[r.Index];
            size = 2;
            for (; *s && size + 2 <= sizeof text; ++s) text[size++] = static_cast<UCHAR>(*s), text[size++] = 0;
            text[0] = static_cast<UCHAR>(size), text[1] = 3;
        }
        source = size ? text : nullptr;
    }
    if (!source || !out) {
        r.Hdr.Status = USBD_STATUS_STALL_PID;
        return STATUS_UNSUCCESSFUL;
    }
    ULONG n = r.TransferBufferLength < size ? r.TransferBufferLength : size;
    RtlCopyMemory(out, source, n);
    r.TransferBufferLength = n;
    return STATUS_SUCCESS;
}

NTSTATUS Urb(PIRP irp, PURB urb) {
    USHORT function = urb->UrbHeader.Function;
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION: {
        urb->UrbSelectConfiguration.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(static_cast<ULONG_PTR>(0x5800));
        if (!urb->UrbSelectConfiguration.ConfigurationDescriptor) return STATUS_SUCCESS;  // unconfigure
        auto* info = &urb->UrbSelectConfiguration.Interface;
        auto* end = reinterpret_cast<UCHAR*>(urb) + urb->UrbHeader.Length;
        while (reinterpret_cast<UCHAR*>(info) < end && info->Length) {
            NTSTATUS status = FillInterface(info);
            if (!NT_SUCCESS(status)) {
                urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
                return status;
            }
            info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR*>(info) + info->Length);
        }
        return STATUS_SUCCESS;
    }
    case URB_FUNCTION_SELECT_INTERFACE:
        return FillInterface(&urb->UrbSelectInterface.Interface);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return Descriptor(urb->UrbControlDescriptorRequest);
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
        urb->UrbGetCurrentFrameNumber.FrameNumber = g.frame;
        return STATUS_SUCCESS;
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL: {
        // Every queued transfer of the pipe comes back cancelled.
        USBD_PIPE_HANDLE pipe = urb->UrbPipeRequest.PipeHandle;
        LIST_ENTRY done;
        InitializeListHead(&done);
        KIRQL irql;
        KeAcquireSpinLock(&g.lock, &irql);
        for (PLIST_ENTRY e = g.isoQueue.Flink; e != &g.isoQueue;) {
            PIRP queued = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
            e = e->Flink;
            PURB u = static_cast<PURB>(IoGetCurrentIrpStackLocation(queued)->Parameters.Others.Argument1);
            if (u->UrbIsochronousTransfer.PipeHandle != pipe) continue;
            RemoveEntryList(&queued->Tail.Overlay.ListEntry);
            InsertTailList(&done, &queued->Tail.Overlay.ListEntry);
        }
        KeReleaseSpinLock(&g.lock, irql);
        while (!IsListEmpty(&done)) {
            PIRP queued = CONTAINING_RECORD(RemoveHeadList(&done), IRP, Tail.Overlay.ListEntry);
            static_cast<PURB>(IoGetCurrentIrpStackLocation(queued)->Parameters.Others.Argument1)->UrbHeader.Status = USBD_STATUS_CANCELED;
            Complete(queued, STATUS_CANCELLED);
        }
        return STATUS_SUCCESS;
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        auto& r = urb->UrbBulkOrInterruptTransfer;
        UCHAR* data = static_cast<UCHAR*>(TransferAddress(r.TransferBuffer, r.TransferBufferMDL));
        UCHAR endpoint = PipeEndpoint(r.PipeHandle);
        if (!data && r.TransferBufferLength) return STATUS_INVALID_PARAMETER;
        if (!(endpoint & 0x80)) {  // bulk OUT: kept for the echo
            g.bulkLength = r.TransferBufferLength < sizeof g.bulk ? r.TransferBufferLength : sizeof g.bulk;
            RtlCopyMemory(g.bulk, data, g.bulkLength);
        } else if (endpoint == 0x85) {  // interrupt IN: status
            UCHAR status[4] = {0, 0, 0, static_cast<UCHAR>(g.frame)};
            r.TransferBufferLength = r.TransferBufferLength < 4 ? r.TransferBufferLength : 4;
            RtlCopyMemory(data, status, r.TransferBufferLength);
        } else {
            r.TransferBufferLength = r.TransferBufferLength < g.bulkLength ? r.TransferBufferLength : g.bulkLength;
            RtlCopyMemory(data, g.bulk, r.TransferBufferLength);
        }
        return STATUS_SUCCESS;
    }
    case URB_FUNCTION_ISOCH_TRANSFER: {
        if (!g.present) {
            urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
            return STATUS_NO_SUCH_DEVICE;
        }
        // Queued for the frame thread; it completes the IRP.
        IoMarkIrpPending(irp);
        KIRQL irql;
        KeAcquireSpinLock(&g.lock, &irql);
        urb->UrbIsochronousTransfer.StartFrame = g.frame + 1;
        urb->UrbIsochronousTransfer.hca.Reserved8[0] = nullptr;  // packets done so far
        InsertTailList(&g.isoQueue, &irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&g.lock, irql);
        return STATUS_PENDING;
    }
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER:
    case URB_FUNCTION_VENDOR_OTHER: {
        auto& r = urb->UrbControlVendorClassRequest;
        UCHAR* data = static_cast<UCHAR*>(TransferAddress(r.TransferBuffer, r.TransferBufferMDL));
        ULONG length = data ? r.TransferBufferLength : 0;
        bool vendor = function == URB_FUNCTION_VENDOR_DEVICE || function == URB_FUNCTION_VENDOR_INTERFACE ||
                      function == URB_FUNCTION_VENDOR_ENDPOINT || function == URB_FUNCTION_VENDOR_OTHER;
        UCHAR type = static_cast<UCHAR>((r.TransferFlags & USBD_TRANSFER_DIRECTION_IN ? 0x80 : 0) | (vendor ? 0x40 : 0x20));
        if (!Control(type, r.Request, r.Value, data, length)) {
            urb->UrbHeader.Status = USBD_STATUS_STALL_PID;
            r.TransferBufferLength = 0;
            return STATUS_UNSUCCESSFUL;
        }
        r.TransferBufferLength = length;
        return STATUS_SUCCESS;
    }
    default:
        urb->UrbHeader.Status = USBD_STATUS_INVALID_URB_FUNCTION;
        return STATUS_NOT_SUPPORTED;
    }
}

// One frame: the head transfer of each isochronous pipe gets its next packet.
// An IN slot carries the next two acquisition packets of the file (none once
// it has run out); an OUT packet is appended to the record.
void RunFrame(LIST_ENTRY& done) {
    KIRQL irql;
    KeAcquireSpinLock(&g.lock, &irql);
    ULONG frame = ++g.frame;
    bool inServed = false, outServed = false;
    if (g.waitForOut && g.outEnded) g.waitForOut = false;
    g.outEnded = false;
    for (PLIST_ENTRY e = g.isoQueue.Flink; e != &g.isoQueue;) {
        PIRP irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
        e = e->Flink;
        auto& r = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1)->UrbIsochronousTransfer;
        bool in = r.TransferFlags & USBD_TRANSFER_DIRECTION_IN;
        if (in ? inServed : outServed) continue;
        (in ? inServed : outServed) = true;
        ULONG index = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(r.hca.Reserved8[0]));
        UCHAR* buffer = static_cast<UCHAR*>(TransferAddress(r.TransferBuffer, r.TransferBufferMDL));
        USBD_ISO_PACKET_DESCRIPTOR& packet = r.IsoPacket[index];
        ULONG next = index + 1 < r.NumberOfPackets ? r.IsoPacket[index + 1].Offset : r.TransferBufferLength;
        ULONG capacity = next - packet.Offset;
        UCHAR* slot = buffer + packet.Offset;
        packet.Status = USBD_STATUS_SUCCESS;
        if (in) {
            ULONG count = 0;
            if (capacity >= kSlotHeader)
                while (count < 2 && !g.waitForOut && g.nextPacket < g.packetCount &&
                       kSlotHeader + (count + 1) * kPacketBytes <= capacity) {
                    RtlCopyMemory(slot + kSlotHeader + count * kPacketBytes, g.packets + g.nextPacket * kPacketBytes, kPacketBytes);
                    ++g.nextPacket, ++count;
                }
            if (capacity >= kSlotHeader) {
                slot[0] = slot[1] = slot[3] = slot[5] = 0;
                slot[2] = static_cast<UCHAR>(count);
                slot[4] = static_cast<UCHAR>(count * kPacketBytes / 2);
            }
            packet.Length = capacity >= kSlotHeader ? kSlotHeader + count * kPacketBytes : 0;
            ++g.inSlots;
        } else {
            if (g.recordLength + 2 + capacity <= kRecordCapacity) {
                g.record[g.recordLength] = static_cast<UCHAR>(capacity);
                g.record[g.recordLength + 1] = static_cast<UCHAR>(capacity >> 8);
                RtlCopyMemory(g.record + g.recordLength + 2, slot, capacity);
                g.recordLength += 2 + capacity;
            }
            ++g.outSlots;
        }
        r.hca.Reserved8[0] = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(++index));
        if (index == r.NumberOfPackets) {
            r.ErrorCount = 0;
            r.Hdr.Status = USBD_STATUS_SUCCESS;
            RemoveEntryList(&irp->Tail.Overlay.ListEntry);
            if (in) InsertHeadList(&done, &irp->Tail.Overlay.ListEntry);
            else InsertTailList(&done, &irp->Tail.Overlay.ListEntry), g.outEnded = true;
        }
    }
    (void)frame;
    KeReleaseSpinLock(&g.lock, irql);
}

// Fails every queued transfer: the module is gone.
void FailQueued() {
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL irql;
    KeAcquireSpinLock(&g.lock, &irql);
    while (!IsListEmpty(&g.isoQueue)) InsertTailList(&done, RemoveHeadList(&g.isoQueue));
    KeReleaseSpinLock(&g.lock, irql);
    while (!IsListEmpty(&done)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&done), IRP, Tail.Overlay.ListEntry);
        static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1)->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
        Complete(irp, STATUS_NO_SUCH_DEVICE);
    }
}

void FrameThread(PVOID) {
    LARGE_INTEGER oneMs;
    oneMs.QuadPart = -10000;
    while (!g.stopping) {
        KeDelayExecutionThread(KernelMode, FALSE, &oneMs);
        LIST_ENTRY done;
        InitializeListHead(&done);
        RunFrame(done);
        while (!IsListEmpty(&done)) Complete(CONTAINING_RECORD(RemoveHeadList(&done), IRP, Tail.Overlay.ListEntry), STATUS_SUCCESS);
    }
    KeSetEvent(&g.threadDone, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// ---- Plug and Play ----

NTSTATUS MultiSz(PIRP irp, const wchar_t* text, ULONG chars) {
    auto* copy = static_cast<wchar_t*>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(wchar_t), kTag));
    if (!copy) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    RtlCopyMemory(copy, text, chars * sizeof(wchar_t));
    return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(copy));
}
#define MULTI_SZ(irp, literal) MultiSz(irp, literal, sizeof(literal) / sizeof(wchar_t))

NTSTATUS Relations(PIRP irp, PDEVICE_OBJECT device) {
    auto* r = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kTag));
    if (!r) return STATUS_INSUFFICIENT_RESOURCES;
    r->Count = device ? 1 : 0;
    r->Objects[0] = device;
    if (device) ObReferenceObject(device);
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(r);
    return STATUS_SUCCESS;
}

NTSTATUS ChildPnp(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ID:
        switch (stack->Parameters.QueryId.IdType) {
        case BusQueryDeviceID: return MULTI_SZ(irp, L"USB\\VID_1209&PID_7E1A");
        case BusQueryHardwareIDs: return MULTI_SZ(irp, L"USB\\VID_1209&PID_7E1A&REV_0100\0USB\\VID_1209&PID_7E1A\0");
        case BusQueryCompatibleIDs: return MULTI_SZ(irp, L"USB\\Class_FF&SubClass_00&Prot_00\0USB\\Class_FF&SubClass_00\0USB\\Class_FF\0");
        case BusQueryInstanceID: return MULTI_SZ(irp, L"SIM0001");
        default: return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
        }
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        caps->Removable = TRUE;
        caps->SurpriseRemovalOK = TRUE;
        caps->UniqueID = FALSE;
        caps->Address = 1;
        return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation)
            return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
        return Complete(irp, Relations(irp, device), irp->IoStatus.Information);
    case IRP_MN_SURPRISE_REMOVAL:
        FailQueued();
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE:
        FailQueued();
        if (!g.present && g.child == device) {
            g.child = nullptr;
            Complete(irp, STATUS_SUCCESS);
            IoDeleteDevice(device);
            return STATUS_SUCCESS;
        }
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_START_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return Complete(irp, STATUS_SUCCESS);
    default:
        return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
}

NTSTATUS Signal(PDEVICE_OBJECT, PIRP, PVOID event) {
    KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, Signal, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(lower, irp) == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

void Plug(bool present) {
    InterlockedExchange(&g.present, present ? 1 : 0);
    if (!present) FailQueued();
    if (g.bus) IoInvalidateDeviceRelations(Ext(g.bus)->pdo, BusRelations);
}

NTSTATUS BusPnp(PDEVICE_OBJECT device, PIRP irp) {
    Extension* ext = Ext(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = ForwardAndWait(ext->lower, irp);
        Complete(irp, status, irp->IoStatus.Information);
        if (NT_SUCCESS(status)) Plug(true);
        return status;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
            if (g.present && !g.child) {
                PDEVICE_OBJECT child;
                if (NT_SUCCESS(IoCreateDevice(g.driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN,
                                              FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &child))) {
                    Ext(child)->kind = kChild;
                    child->Flags &= ~DO_DEVICE_INITIALIZING;
                    g.child = child;
                }
            }
            irp->IoStatus.Status = Relations(irp, g.present ? g.child : nullptr);
        }
        break;
    case IRP_MN_REMOVE_DEVICE: {
        InterlockedExchange(&g.present, 0);
        FailQueued();
        if (g.child) IoDeleteDevice(g.child), g.child = nullptr;
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(ext->lower, irp);
        IoDetachDevice(ext->lower);
        g.bus = nullptr;
        IoDeleteDevice(device);
        return status;
    }
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->lower, irp);
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    switch (Ext(device)->kind) {
    case kChild: return ChildPnp(device, irp);
    case kBus: return BusPnp(device, irp);
    default: return Complete(irp, STATUS_NOT_SUPPORTED);
    }
}

NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    if (Ext(device)->kind != kBus) return Complete(irp, STATUS_SUCCESS);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(Ext(device)->lower, irp);
}

NTSTATUS DispatchInternal(PDEVICE_OBJECT device, PIRP irp) {
    if (Ext(device)->kind != kChild) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB: {
        NTSTATUS status = Urb(irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
        return status == STATUS_PENDING ? status : Complete(irp, status);
    }
    case IOCTL_INTERNAL_USB_RESET_PORT:
    case IOCTL_INTERNAL_USB_ENABLE_PORT:
        return Complete(irp, g.present ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE);
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
        *static_cast<ULONG*>(stack->Parameters.Others.Argument1) = g.present ? USBD_PORT_ENABLED | USBD_PORT_CONNECTED : 0;
        return Complete(irp, STATUS_SUCCESS);
    default:
        return Complete(irp, STATUS_NOT_SUPPORTED);
    }
}

// ---- the control device ----

NTSTATUS DispatchControl(PDEVICE_OBJECT device, PIRP irp) {
    if (Ext(device)->kind != kControl) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto& p = stack->Parameters.DeviceIoControl;
    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    KIRQL irql;
    switch (p.IoControlCode) {
    case IOCTL_VELNOR_SIMBUS_LOAD_PACKETS:
    case IOCTL_VELNOR_SIMBUS_LOAD_PACKETS_AT_OUT: {
        ULONG count = p.InputBufferLength / kPacketBytes;
        auto* packets = count ? static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, count * kPacketBytes, kTag)) : nullptr;
        if (count && !packets) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
        if (count) RtlCopyMemory(packets, buffer, count * kPacketBytes);
        KeAcquireSpinLock(&g.lock, &irql);
        UCHAR* old = g.packets;
        g.packets = packets, g.packetCount = count, g.nextPacket = 0;
        g.waitForOut = p.IoControlCode == IOCTL_VELNOR_SIMBUS_LOAD_PACKETS_AT_OUT, g.outEnded = false;
        KeReleaseSpinLock(&g.lock, irql);
        if (old) ExFreePoolWithTag(old, kTag);
        return Complete(irp, STATUS_SUCCESS);
    }
    case IOCTL_VELNOR_SIMBUS_READ_OUT: {
        // As many whole records as fit; the rest stays for the next read.
        KeAcquireSpinLock(&g.lock, &irql);
        ULONG n = 0;
        while (n + 2 <= g.recordLength) {
            ULONG size = 2 + (g.record[n] | g.record[n + 1] << 8);
            if (n + size > p.OutputBufferLength) break;
            n += size;
        }
        RtlCopyMemory(buffer, g.record, n);
        RtlMoveMemory(g.record, g.record + n, g.recordLength - n);
        g.recordLength -= n;
        KeReleaseSpinLock(&g.lock, irql);
        return Complete(irp, STATUS_SUCCESS, n);
    }
    case IOCTL_VELNOR_SIMBUS_PLUG:
    case IOCTL_VELNOR_SIMBUS_UNPLUG:
        Plug(p.IoControlCode == IOCTL_VELNOR_SIMBUS_PLUG);
        return Complete(irp, STATUS_SUCCESS);
    case IOCTL_VELNOR_SIMBUS_STATUS: {
        if (p.OutputBufferLength < sizeof(VelnorSimBusStatus)) return Complete(irp, STATUS_BUFFER_TOO_SMALL);
        VelnorSimBusStatus s;
        KeAcquireSpinLock(&g.lock, &irql);
        s.present = static_cast<ULONG>(g.present), s.childExists = g.child != nullptr, s.frame = g.frame;
        s.packetsLoaded = g.packetCount, s.packetsSent = g.nextPacket, s.inSlots = g.inSlots, s.outSlots = g.outSlots;
        s.controlRequests = g.controlRequests, s.recordBytes = g.recordLength, s.alternateSetting = g.lastAlternate;
        KeReleaseSpinLock(&g.lock, irql);
        RtlCopyMemory(buffer, &s, sizeof s);
        return Complete(irp, STATUS_SUCCESS, sizeof s);
    }
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS DispatchCreateClose(PDEVICE_OBJECT device, PIRP irp) {
    return Complete(irp, Ext(device)->kind == kControl ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    if (g.bus) return STATUS_DEVICE_ALREADY_ATTACHED;  // one bus
    PDEVICE_OBJECT bus;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_BUS_EXTENDER, FILE_DEVICE_SECURE_OPEN, FALSE, &bus);
    if (!NT_SUCCESS(status)) return status;
    Extension* ext = Ext(bus);
    ext->kind = kBus;
    ext->pdo = pdo;
    ext->lower = IoAttachDeviceToDeviceStack(bus, pdo);
    if (!ext->lower) {
        IoDeleteDevice(bus);
        return STATUS_NO_SUCH_DEVICE;
    }
    bus->Flags &= ~DO_DEVICE_INITIALIZING;
    g.bus = bus;
    return STATUS_SUCCESS;
}

void Unload(PDRIVER_OBJECT) {
    InterlockedExchange(&g.stopping, 1);
    KeWaitForSingleObject(&g.threadDone, Executive, KernelMode, FALSE, nullptr);
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, L"\\DosDevices\\VelnorSimBus");
    IoDeleteSymbolicLink(&link);
    if (g.control) IoDeleteDevice(g.control);
    if (g.packets) ExFreePoolWithTag(g.packets, kTag);
    ExFreePoolWithTag(g.record, kTag);
    ExFreePoolWithTag(g.firmware, kTag);
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    RtlZeroMemory(&g, sizeof g);
    g.driver = driver;
    KeInitializeSpinLock(&g.lock);
    InitializeListHead(&g.isoQueue);
    KeInitializeEvent(&g.threadDone, NotificationEvent, FALSE);
    g.record = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, kRecordCapacity, kTag));
    g.firmware = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 0x10000, kTag));
    if (!g.record || !g.firmware) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(g.firmware, 0x10000);

    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, L"\\Device\\VelnorSimBus");
    RtlInitUnicodeString(&link, L"\\DosDevices\\VelnorSimBus");
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g.control);
    if (!NT_SUCCESS(status)) return status;
    Ext(g.control)->kind = kControl;
    g.control->Flags |= DO_BUFFERED_IO;
    g.control->Flags &= ~DO_DEVICE_INITIALIZING;
    IoCreateSymbolicLink(&link, &name);

    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternal;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;

    HANDLE thread;
    status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, FrameThread, nullptr);
    if (!NT_SUCCESS(status)) return status;
    ZwClose(thread);
    DbgPrint("VelnorSimBus> loaded\n");
    return STATUS_SUCCESS;
}
