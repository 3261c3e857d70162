// USB request blocks sent and waited for, and the device's configuration:
// device descriptor at start, the configuration in two reads, selection of
// the first interface with its pipe table, re-selection on request, and
// deconfiguration at stop.
#include "core/device_core.h"
#include "usb/usb_request.h"

namespace {

constexpr LONGLONG kCallUsbdTimeout = -3000000;  // 300 ms, relative
constexpr ULONG kMaximumTransferSize = 0x18FFF;
constexpr ULONG kFirstConfigRead = 9;            // into a 25-byte buffer
constexpr ULONG kFirstConfigBuffer = 25;
constexpr ULONG kFullConfigSpare = 16;
constexpr ULONG kFirstFullConfigBuffer = 265;    // GetFullConfigDescriptor's first try
constexpr ULONG kChangedPacketPipe = 7;
constexpr USHORT kChangedPacketSize = 100;


// A configuration descriptor that lies inside the bytes received, whose
// descriptors chain exactly to its total length: the USB library's parsers
// walk it by the lengths the device wrote, so a device that lies about them
// would send them past the buffer.
BOOLEAN ConfigurationIsWhole(const UCHAR* buffer, ULONG received) {
    if (received < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return FALSE;
    const ULONG total = reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(buffer)->wTotalLength;
    if (total < sizeof(USB_CONFIGURATION_DESCRIPTOR) || total > received) return FALSE;
    for (ULONG at = 0; at < total;) {
        const ULONG length = buffer[at];
        if (total - at < 2 || length < 2 || length > total - at) return FALSE;
        // The parsers read an interface or endpoint descriptor whole.
        const UCHAR type = buffer[at + 1];
        if ((type == USB_INTERFACE_DESCRIPTOR_TYPE && length < sizeof(USB_INTERFACE_DESCRIPTOR)) ||
            (type == USB_ENDPOINT_DESCRIPTOR_TYPE && length < sizeof(USB_ENDPOINT_DESCRIPTOR)))
            return FALSE;
        at += length;
    }
    return TRUE;
}

// The interface record the stack returned, kept as the pipe table; the old
// one goes first. FALSE when the copy cannot be had. `pipes` receives the
// pipes the copy counts, for the log, which reads the caller's record: the
// copy belongs to every thread once it is published.
// `room` is what the request holds from the record on: the record the stack
// filled in is never read past its request, whatever its length field says.
BOOLEAN KeepInterfaceInfo(DeviceExtension* ext, const USBD_INTERFACE_INFORMATION* returned, ULONG room, ULONG* pipes) {
    ReplaceInterfaceInfo(ext, nullptr);
    constexpr ULONG head = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
    const ULONG stated = returned->Length < room ? returned->Length : room;
    const ULONG length = stated < head ? head : stated;
    auto* copy = static_cast<PUSBD_INTERFACE_INFORMATION>(AllocateDriverPool(length));
    *pipes = 0;
    if (!copy) return FALSE;
    RtlZeroMemory(copy, length);
    RtlCopyMemory(copy, returned, length);
    copy->Length = static_cast<USHORT>(length);
    // Every pipe the table counts lies inside it: pipe operations index it
    // by the count alone.
    const ULONG fit = (length - head) / sizeof(USBD_PIPE_INFORMATION);
    if (copy->NumberOfPipes > fit) copy->NumberOfPipes = fit;
    *pipes = copy->NumberOfPipes;
    ReplaceInterfaceInfo(ext, copy);
    return TRUE;
}

}  // namespace

VOID InitUrb(PURB urb, USHORT size, USHORT function) {
    RtlZeroMemory(urb, size);
    urb->UrbHeader.Length = size;
    urb->UrbHeader.Function = function;
}

PURB AllocateUrb(USHORT size, USHORT function) {
    auto* urb = static_cast<PURB>(AllocateDriverPool(size));
    if (urb) InitUrb(urb, size, function);
    return urb;
}

VOID BuildDescriptorRequest(PURB urb, UCHAR type, UCHAR index, USHORT language, PVOID buffer, ULONG length) {
    InitUrb(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    auto& d = urb->UrbControlDescriptorRequest;
    d.TransferBuffer = buffer;
    d.TransferBufferLength = length;
    d.DescriptorType = type;
    d.Index = index;
    d.LanguageId = language;
}

PipeLookup LookUpPipe(DeviceExtension* ext, ULONG pipeNumber, USBD_PIPE_INFORMATION* pipe) {
    KIRQL irql;
    KeAcquireSpinLock(&ext->InterfaceInfoLock, &irql);
    PipeLookup found = NoInterfaceInfo;
    if (const PUSBD_INTERFACE_INFORMATION info = ext->InterfaceInfo) {
        found = pipeNumber < info->NumberOfPipes ? PipeFound : NoSuchPipe;
        if (found == PipeFound) *pipe = info->Pipes[pipeNumber];
    }
    KeReleaseSpinLock(&ext->InterfaceInfoLock, irql);
    return found;
}

BOOLEAN HasInterfaceInfo(DeviceExtension* ext) {
    KIRQL irql;
    KeAcquireSpinLock(&ext->InterfaceInfoLock, &irql);
    const BOOLEAN present = ext->InterfaceInfo != nullptr;
    KeReleaseSpinLock(&ext->InterfaceInfoLock, irql);
    return present;
}

ULONG CopyInterfaceInfo(DeviceExtension* ext, PVOID buffer, ULONG room) {
    KIRQL irql;
    KeAcquireSpinLock(&ext->InterfaceInfoLock, &irql);
    ULONG length = 0;
    if (const PUSBD_INTERFACE_INFORMATION info = ext->InterfaceInfo) {
        length = info->Length;
        if (length <= room) RtlCopyMemory(buffer, info, length);
    }
    KeReleaseSpinLock(&ext->InterfaceInfoLock, irql);
    return length;
}

VOID ReplaceInterfaceInfo(DeviceExtension* ext, PUSBD_INTERFACE_INFORMATION table) {
    KIRQL irql;
    KeAcquireSpinLock(&ext->InterfaceInfoLock, &irql);
    PUSBD_INTERFACE_INFORMATION old = ext->InterfaceInfo;
    ext->InterfaceInfo = table;
    KeReleaseSpinLock(&ext->InterfaceInfoLock, irql);
    if (old) ExFreePool(old);
}

NTSTATUS Velnor_CallUSBD(PDEVICE_OBJECT deviceObject, PURB urb) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> Velnor_CallUSBD() - START\n");
    auto* ext = static_cast<DeviceExtension*>(deviceObject->DeviceExtension);

    KeWaitForSingleObject(&ext->CallUsbdSemaphore, Executive, KernelMode, FALSE, nullptr);
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    NTSTATUS status;
    PIRP irp = IoAllocateIrp(ext->StackDeviceObject->StackSize, FALSE);
    if (!irp) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        VELNOR_LOG(1, "Velnor> Velnor_CallUSBD: STATUS_INSUFFICIENT_RESOURCES\n");
    } else {
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = urb;
        IoSetCompletionRoutine(irp, VELNOR_CallUsbdCompletion, &event, TRUE, TRUE, TRUE);
        status = IoCallDriver(ext->StackDeviceObject, irp);
        if (status == STATUS_PENDING) {
            KIRQL irql;
            KeAcquireSpinLock(&ext->PendingIrpLock, &irql);
            ext->PendingIrp = irp;
            KeReleaseSpinLock(&ext->PendingIrpLock, irql);

            LARGE_INTEGER timeout;
            timeout.QuadPart = kCallUsbdTimeout;
            if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
                status = STATUS_IO_TIMEOUT;
                VELNOR_LOG(1, "Velnor> Velnor_CallUSBD: IoCancelIrp (%x)\n", status);
                IoCancelIrp(irp);
                KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            } else {
                status = irp->IoStatus.Status;
            }
        }
        // Out of PendingIrp before it is freed: a cancel from Plug and Play
        // takes the request under the same lock, so it either ran before
        // this point or finds nothing.
        KIRQL irql;
        KeAcquireSpinLock(&ext->PendingIrpLock, &irql);
        ext->PendingIrp = nullptr;
        KeReleaseSpinLock(&ext->PendingIrpLock, irql);
        IoFreeIrp(irp);
    }
    KeReleaseSemaphore(&ext->CallUsbdSemaphore, 16, 1, FALSE);

    if ((static_cast<ULONG>(status) >> 30) == 3) VELNOR_LOG(1, "Velnor> ***Error*** Velnor_CallUSBD (%x)\n", status);
    VELNOR_TRACE(tracing, "Velnor> Velnor_CallUSBD() - EXIT (0x%X)\n", status);
    return status;
}

NTSTATUS VELNOR_CallUsbdCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    if (irp->PendingReturned && context) KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

PIRP CancelPendingIrp(DeviceExtension* ext) {
    KIRQL irql;
    KeAcquireSpinLock(&ext->PendingIrpLock, &irql);
    PIRP irp = ext->PendingIrp;
    ext->PendingIrp = nullptr;
    if (irp) IoCancelIrp(irp);
    KeReleaseSpinLock(&ext->PendingIrpLock, irql);
    return irp;
}

NTSTATUS Velnor_StartDevice(PDEVICE_OBJECT deviceObject) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> Velnor_StartDevice() - START\n");
    auto* ext = static_cast<DeviceExtension*>(deviceObject->DeviceExtension);
    ext->SymbolicLinkActive = 1;

    auto* urb = static_cast<PURB>(AllocateDriverPool(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)));
    auto* descriptor = static_cast<PUSB_DEVICE_DESCRIPTOR>(AllocateDriverPool(sizeof(USB_DEVICE_DESCRIPTOR)));
    if (!urb || !descriptor) {
        if (urb) ExFreePool(urb);
        if (descriptor) ExFreePool(descriptor);
        VELNOR_TRACE(tracing, "Velnor> Velnor_StartDevice() - EXIT (0x%X)\n", STATUS_NO_MEMORY);
        return STATUS_NO_MEMORY;
    }
    // A short answer leaves zeros, not stale pool, in the fields it did not reach.
    RtlZeroMemory(descriptor, sizeof(USB_DEVICE_DESCRIPTOR));
    BuildDescriptorRequest(urb, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, descriptor, sizeof(USB_DEVICE_DESCRIPTOR));
    NTSTATUS status = Velnor_CallUSBD(deviceObject, urb);
    // A restart after a stop replaces the copy of the previous start.
    if (ext->DeviceDescriptor) ExFreePool(ext->DeviceDescriptor);
    ext->DeviceDescriptor = nullptr;
    if (!NT_SUCCESS(status)) {
        ExFreePool(descriptor);
        ExFreePool(urb);
        VELNOR_TRACE(tracing, "Velnor> Velnor_StartDevice() - EXIT (0x%X)\n", status);
        return status;
    }
    const USB_DEVICE_DESCRIPTOR& d = *descriptor;
    VELNOR_LOG(2, "Velnor> Velnor_StartDevice: Device Descriptor = %p len %x\n", descriptor,
               urb->UrbControlDescriptorRequest.TransferBufferLength);
    VELNOR_LOG(2, "Velnor> Velnor_StartDevice: Velnor Device Descriptor:\n");
    VELNOR_LOG(2, "Velnor> Velnor_StartDevice: -------------------------\n");
    VELNOR_LOG(2, "Velnor> Velnor_StartDevice: bLength %d\n", d.bLength);
    VELNOR_LOG(2, "Velnor> Velnor_StartDevice: bDescriptorType 0x%x\n", d.bDescriptorType);
    VELNOR_LOG(2, "Velnor> Velnor_StartDevice: bcdUSB 0x%x\n", d.bcdUSB);
    VELNOR_LOG(2, "Velnor> Velnor_StartDevice: bDeviceClass 0x%x\n", d.bDeviceClass);
    VELNOR_LOG(2, "Velnor> Velnor_StartDevice: bDeviceSubClass 0x%x\n", d.bDeviceSubClass);
    VELNOR_LOG(2, "Velnor> Velnor_StartDevice: bDeviceProtocol 0x%x\n", d.bDeviceProtocol);
    VELNOR_LOG(2, "Velnor> Velnor_StartDevice: bMaxPacketSize0 0x%x\n", d.bMaxPacketSize0);
    VELNOR_LOG(2, "Velnor> Velnor_StartDevice: idVendor 0x%x\n", d.idVendor);
    VELNOR_LOG(2, "Velnor> Velnor_StartDevice: idProduct 0x%x\n", d.idProduct);
    VELNOR_LOG(2, "Velnor> Velnor_StartDevice: bcdDevice 0x%x\n", d.bcdDevice);
    VELNOR_LOG(2, "Velnor> Velnor_StartDevice: biManufacturer 0x%x\n", d.iManufacturer);
    VELNOR_LOG(2, "Velnor> Velnor_StartDevice: iProduct 0x%x\n", d.iProduct);
    VELNOR_LOG(2, "Velnor> Velnor_StartDevice: iSerialNumber 0x%x\n", d.iSerialNumber);
    VELNOR_LOG(2, "Velnor> Velnor_StartDevice: bNumConfigurations 0x%x\n", d.bNumConfigurations);
    ext->DeviceDescriptor = descriptor;
    ExFreePool(urb);
    status = Velnor_ConfigureDevice(deviceObject);
    VELNOR_TRACE(tracing, "Velnor> Velnor_StartDevice() - EXIT (0x%X)\n", status);
    return status;
}

NTSTATUS Velnor_ConfigureDevice(PDEVICE_OBJECT deviceObject) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> Velnor_ConfigureDevice() - START\n");
    auto* urb = static_cast<PURB>(AllocateDriverPool(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)));
    auto* buffer = static_cast<PUCHAR>(AllocateDriverPool(kFirstConfigBuffer));
    NTSTATUS status = STATUS_NO_MEMORY;
    if (urb && buffer) {
        RtlZeroMemory(buffer, kFirstConfigBuffer);
        BuildDescriptorRequest(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, buffer, kFirstConfigRead);
        status = Velnor_CallUSBD(deviceObject, urb);
    }
    if (NT_SUCCESS(status)) {
        const ULONG total = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(buffer)->wTotalLength;
        VELNOR_LOG(2,
                   "Velnor> Velnor_ConfigureDevice: Configuration Descriptor is at %p, bytes txferred: %d\n"
                   "                                  Configuration Descriptor Actual Length: %d\n",
                   buffer, urb->UrbControlDescriptorRequest.TransferBufferLength, total);
        ExFreePool(buffer);
        const ULONG size = total + kFullConfigSpare;
        buffer = static_cast<PUCHAR>(AllocateDriverPool(size));
        if (!buffer) {
            status = STATUS_NO_MEMORY;
        } else {
            RtlZeroMemory(buffer, size);
            BuildDescriptorRequest(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, buffer, size);
            status = Velnor_CallUSBD(deviceObject, urb);
            if (NT_SUCCESS(status)) {
                const ULONG received = urb->UrbControlDescriptorRequest.TransferBufferLength;
                VELNOR_LOG(2, "Velnor> Velnor_ConfigureDevice: Entire Configuration Descriptor is at %p, bytes txferred: %d\n",
                           buffer, received);
                if (ConfigurationIsWhole(buffer, received < size ? received : size)) {
                    status = Velnor_SelectInterfaces(deviceObject, reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(buffer));
                } else {
                    VELNOR_LOG(1, "Velnor> ERROR: Velnor_ConfigureDevice() - configuration descriptor malformed\n");
                    status = STATUS_DEVICE_CONFIGURATION_ERROR;
                }
            }
        }
    }
    if (urb) ExFreePool(urb);
    if (buffer) ExFreePool(buffer);
    VELNOR_TRACE(tracing, "Velnor> Velnor_ConfigureDevice() - EXIT (0x%X)\n", status);
    return status;
}

NTSTATUS Velnor_SelectInterfaces(PDEVICE_OBJECT deviceObject, PUSB_CONFIGURATION_DESCRIPTOR configuration) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> Velnor_SelectInterfaces() - START\n");
    auto* ext = static_cast<DeviceExtension*>(deviceObject->DeviceExtension);

    PUSB_INTERFACE_DESCRIPTOR iface =
        USBD_ParseConfigurationDescriptorEx(configuration, configuration, -1, -1, -1, -1, -1);
    if (!iface) {
        // A configuration without an iface cannot be used: the device is misconfigured.
        VELNOR_LOG(1, "Velnor> ERROR: Velnor_SelectInterfaces() - no iface descriptor\n");
        VELNOR_TRACE(tracing, "Velnor> Velnor_SelectInterfaces() - EXIT (0x%X)\n", STATUS_DEVICE_CONFIGURATION_ERROR);
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    USBD_INTERFACE_LIST_ENTRY list[2];
    RtlZeroMemory(list, sizeof(list));
    list[0].InterfaceDescriptor = iface;
    PURB urb = USBD_CreateConfigurationRequestEx(configuration, list);
    if (!urb) {
        // The library fails only when it cannot allocate the request.
        VELNOR_LOG(1, "Velnor> Velnor_SelectInterfaces: USBD_CreateConfigurationRequestEx failed\n");
        VELNOR_TRACE(tracing, "Velnor> Velnor_SelectInterfaces() - EXIT (0x%X)\n", STATUS_INSUFFICIENT_RESOURCES);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    DumpBuffer(reinterpret_cast<const UCHAR*>(urb), urb->UrbHeader.Length);
    PUSBD_INTERFACE_INFORMATION info = list[0].Interface;
    for (ULONG p = 0; p < iface->bNumEndpoints; ++p) info->Pipes[p].MaximumTransferSize = kMaximumTransferSize;
    NTSTATUS status = Velnor_CallUSBD(deviceObject, urb);
    DumpBuffer(reinterpret_cast<const UCHAR*>(urb), urb->UrbHeader.Length);

    if (NT_SUCCESS(status) && USBD_SUCCESS(urb->UrbHeader.Status)) {
        ext->ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
        // Without the copy there is no pipe table; the start still succeeds
        // and every pipe operation fails.
        ULONG pipes;
        const ULONG room = static_cast<ULONG>(reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length -
                                              reinterpret_cast<PUCHAR>(info));
        if (KeepInterfaceInfo(ext, info, room, &pipes)) {
            VELNOR_LOG(2, "Velnor> Velnor_SelectInterfaces: ---------\n");
            VELNOR_LOG(2, "Velnor> Velnor_SelectInterfaces: NumberOfPipes 0x%x\n", pipes);
            VELNOR_LOG(2, "Velnor> Velnor_SelectInterfaces: Length 0x%x\n", info->Length);
            VELNOR_LOG(2, "Velnor> Velnor_SelectInterfaces: Alt Setting 0x%x\n", info->AlternateSetting);
            VELNOR_LOG(2, "Velnor> Velnor_SelectInterfaces: Interface Number 0x%x\n", info->InterfaceNumber);
            for (ULONG p = 0; p < pipes; ++p) {
                const USBD_PIPE_INFORMATION& pipe = info->Pipes[p];
                VELNOR_LOG(2, "Velnor> Velnor_SelectInterfaces: ---------\n");
                VELNOR_LOG(2, "Velnor> Velnor_SelectInterfaces: PipeNum %d\n", p);
                VELNOR_LOG(2, "Velnor> Velnor_SelectInterfaces: PipeType 0x%x\n", pipe.PipeType);
                VELNOR_LOG(2, "Velnor> Velnor_SelectInterfaces: EndpointAddress 0x%x\n", pipe.EndpointAddress);
                VELNOR_LOG(2, "Velnor> Velnor_SelectInterfaces: MaxPacketSize 0x%x\n", pipe.MaximumPacketSize);
                VELNOR_LOG(2, "Velnor> Velnor_SelectInterfaces: Interval 0x%x\n", pipe.Interval);
                VELNOR_LOG(2, "Velnor> Velnor_SelectInterfaces: Handle %p\n", pipe.PipeHandle);
                VELNOR_LOG(2, "Velnor> Velnor_SelectInterfaces: MaximumTransferSize 0x%x\n", pipe.MaximumTransferSize);
            }
            VELNOR_LOG(2, "Velnor> Velnor_SelectInterfaces: ---------\n");
        }
    }
    ExFreePool(urb);
    VELNOR_TRACE(tracing, "Velnor> Velnor_SelectInterfaces() - EXIT (0x%X)\n", status);
    return status;
}

PUSB_CONFIGURATION_DESCRIPTOR GetFullConfigDescriptor(PDEVICE_OBJECT deviceObject) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> GetFullConfigDescriptor() - START\n");
    auto* urb = static_cast<PURB>(AllocateDriverPool(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)));
    PUCHAR descriptor = nullptr;
    ULONG size = kFirstFullConfigBuffer;
    // Two reads at most: the second has a buffer of exactly the total length.
    for (int attempt = 0; urb && attempt < 2; ++attempt) {
        auto* buffer = static_cast<PUCHAR>(AllocateDriverPool(size));
        if (!buffer) break;
        RtlZeroMemory(buffer, size);
        BuildDescriptorRequest(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, buffer, size);
        const NTSTATUS status = Velnor_CallUSBD(deviceObject, urb);
        const ULONG received = urb->UrbControlDescriptorRequest.TransferBufferLength;
        VELNOR_LOG(2, "Velnor> GetFullConfigDescriptor: Configuration Descriptor = %p, len %x\n", buffer, received);
        const ULONG total = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(buffer)->wTotalLength;
        if (!NT_SUCCESS(status) || received < sizeof(USB_CONFIGURATION_DESCRIPTOR) || received > size ||
            total < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
            ExFreePool(buffer);
            break;
        }
        if (total > size) {
            ExFreePool(buffer);
            size = total;
            continue;
        }
        if (ConfigurationIsWhole(buffer, received)) descriptor = buffer;
        else ExFreePool(buffer);
        break;
    }
    if (urb) ExFreePool(urb);
    VELNOR_TRACE(tracing, "Velnor> GetFullConfigDescriptor() - EXIT\n");
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(descriptor);
}

NTSTATUS SetInterface(PDEVICE_OBJECT deviceObject, UCHAR interfaceNumber, UCHAR alternateSetting) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> SetInterface() - START\n");
    auto* ext = static_cast<DeviceExtension*>(deviceObject->DeviceExtension);
    PUSB_CONFIGURATION_DESCRIPTOR configuration = GetFullConfigDescriptor(deviceObject);
    if (!configuration) {
        VELNOR_LOG(1, "Velnor> SetInterface: Get Configuration Descriptor Failed\n");
        VELNOR_TRACE(tracing, "Velnor> SetInterface() - EXIT (0x%X)\n", STATUS_UNSUCCESSFUL);
        return STATUS_UNSUCCESSFUL;
    }
    PUSB_INTERFACE_DESCRIPTOR iface = USBD_ParseConfigurationDescriptorEx(
        configuration, configuration, interfaceNumber, alternateSetting, -1, -1, -1);
    if (!iface) {
        ExFreePool(configuration);
        VELNOR_TRACE(tracing, "Velnor> SetInterface() - EXIT (0x%X)\n", STATUS_UNSUCCESSFUL);
        return STATUS_UNSUCCESSFUL;
    }
    const ULONG pipes = iface->bNumEndpoints;
    const USHORT urbSize = SelectInterfaceUrbSize(pipes);
    VELNOR_LOG(2, "Velnor> SetInterface: numberOfPipes = %d\n", pipes);
    VELNOR_LOG(2, "Velnor> SetInterface: urbSize = %d\n", urbSize);
    auto* urb = AllocateUrb(urbSize, URB_FUNCTION_SELECT_INTERFACE);
    if (!urb) {
        VELNOR_LOG(1, "Velnor> SetInterface: STATUS_NO_MEMORY\n");
        ExFreePool(configuration);
        VELNOR_TRACE(tracing, "Velnor> SetInterface() - EXIT (0x%X)\n", STATUS_NO_MEMORY);
        return STATUS_NO_MEMORY;
    }
    urb->UrbSelectInterface.ConfigurationHandle = ext->ConfigurationHandle;
    PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectInterface.Interface;
    info->InterfaceNumber = interfaceNumber;
    info->AlternateSetting = alternateSetting;
    info->Length = static_cast<USHORT>((pipes + 1) * sizeof(USBD_PIPE_INFORMATION));
    for (ULONG p = 0; p < pipes; ++p) {
        info->Pipes[p].MaximumTransferSize = kMaximumTransferSize;
        if (p == kChangedPacketPipe) {
            info->Pipes[p].MaximumPacketSize = kChangedPacketSize;
            info->Pipes[p].PipeFlags = USBD_PF_CHANGE_MAX_PACKET;
        }
    }
    NTSTATUS status = Velnor_CallUSBD(deviceObject, urb);
    if (NT_SUCCESS(status)) {
        for (ULONG p = 0; p < info->NumberOfPipes && p < pipes; ++p) {
            const USBD_PIPE_INFORMATION& pipe = info->Pipes[p];
            VELNOR_LOG(2, "Velnor> SetInterface: ---------\n");
            VELNOR_LOG(2, "Velnor> SetInterface: PipeNum %d\n", p);
            VELNOR_LOG(2, "Velnor> SetInterface: PipeType 0x%x\n", pipe.PipeType);
            VELNOR_LOG(2, "Velnor> SetInterface: EndpointAddress 0x%x\n", pipe.EndpointAddress);
            VELNOR_LOG(2, "Velnor> SetInterface: MaxPacketSize 0x%x\n", pipe.MaximumPacketSize);
            VELNOR_LOG(2, "Velnor> SetInterface: Interval 0x%x\n", pipe.Interval);
            VELNOR_LOG(2, "Velnor> SetInterface: Handle %p\n", pipe.PipeHandle);
            VELNOR_LOG(2, "Velnor> SetInterface: MaximumTransferSize 0x%x\n", pipe.MaximumTransferSize);
        }
        ULONG kept;
        if (!KeepInterfaceInfo(ext, info, urbSize - offsetof(struct _URB_SELECT_INTERFACE, Interface), &kept))
            status = STATUS_NO_MEMORY;
    }
    ExFreePool(urb);
    ExFreePool(configuration);
    VELNOR_TRACE(tracing, "Velnor> SetInterface() - EXIT (0x%X)\n", status);
    return status;
}

NTSTATUS Velnor_StopDevice(PDEVICE_OBJECT deviceObject) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> Velnor_StopDevice() - START\n");
    constexpr ULONG size = sizeof(struct _URB_SELECT_CONFIGURATION);
    auto* urb = AllocateUrb(size, URB_FUNCTION_SELECT_CONFIGURATION);
    if (!urb) {
        VELNOR_TRACE(tracing, "Velnor> Velnor_StopDevice() - EXIT (0x%X)\n", STATUS_NO_MEMORY);
        return STATUS_NO_MEMORY;
    }
    urb->UrbSelectConfiguration.ConfigurationDescriptor = nullptr;
    const NTSTATUS status = Velnor_CallUSBD(deviceObject, urb);
    VELNOR_LOG(2, "Velnor> Velnor_StopDevice: Device Configuration Closed status = %x usb status = %x.\n", status,
               urb->UrbHeader.Status);
    ExFreePool(urb);
    VELNOR_TRACE(tracing, "Velnor> Velnor_StopDevice() - EXIT (0x%X)\n", status);
    return status;
}

VOID DumpBuffer(const UCHAR* buffer, ULONG length) {
    const BOOLEAN tracing = VELNOR_TRACING();
    if (!tracing) return;
    static const char hex[] = "0123456789ABCDEF";
    for (ULONG offset = 0; offset < length; offset += 16) {
        char line[5 + 16 * 3 + 1];
        ULONG n = 0;
        for (int shift = 12; shift >= 0; shift -= 4) line[n++] = hex[(offset >> shift) & 0xF];
        line[n++] = ' ';
        for (ULONG i = offset; i < offset + 16 && i < length; ++i) {
            line[n++] = hex[buffer[i] >> 4];
            line[n++] = hex[buffer[i] & 0xF];
            line[n++] = ' ';
        }
        line[n] = 0;
        DbgPrint("%s\n", line);
    }
}
