// The generic USB operations user mode reaches through the control codes:
// descriptors, the two kinds of vendor request, firmware download in 64-byte
// chunks, pipe reset and abort, the bus frame number, and port reset and
// enable. Each URB operation builds one request block, sends it through
// Velnor_CallUSBD and frees it before returning.
#include "usb/usb_request.h"

#include "velnor/velnor_ioctl.h"

namespace {

constexpr UCHAR kFirmwareRequest = 0xA0;
constexpr ULONG kFirmwareChunk = 64;
constexpr LONGLONG kEnablePortTimeout = -300000;  // 30 ms, relative


// One GET_DESCRIPTOR from the device into `buffer`; the bytes received, at
// most `length`, or 0 when there is no buffer or the transfer fails. FALSE,
// with nothing sent, when the request block cannot be had.
BOOLEAN GetDescriptor(PDEVICE_OBJECT deviceObject, UCHAR type, UCHAR index, USHORT language, PVOID buffer,
                      ULONG length, ULONG* received) {
    constexpr ULONG size = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    *received = 0;
    auto* urb = static_cast<PURB>(AllocateDriverPool(size));
    if (!urb) return FALSE;
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (buffer) {
        BuildDescriptorRequest(urb, type, index, language, buffer, length);
        status = Velnor_CallUSBD(deviceObject, urb);
    }
    if (NT_SUCCESS(status)) {
        *received = urb->UrbControlDescriptorRequest.TransferBufferLength;
        if (*received > length) *received = length;  // never more than the caller's buffer holds
    }
    ExFreePool(urb);
    return TRUE;
}

// A reset or abort of one pipe. Stacks before USBDI 1.01 know the request
// without its last field.
NTSTATUS PipeRequest(PDEVICE_OBJECT deviceObject, USHORT function, USBD_PIPE_HANDLE pipeHandle, BOOLEAN tracing,
                     const char* oldStackLine) {
    constexpr ULONG size = sizeof(struct _URB_PIPE_REQUEST);
    auto* urb = AllocateUrb(size, function);
    if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
    urb->UrbPipeRequest.PipeHandle = pipeHandle;
    USBD_VERSION_INFORMATION version;
    RtlZeroMemory(&version, sizeof(version));
    USBD_GetUSBDIVersion(&version);
    if (version.USBDI_Version < 0x101) {
        VELNOR_TRACE(tracing, "%s", oldStackLine);
        urb->UrbHeader.Length = size - 4;
    }
    const NTSTATUS status = Velnor_CallUSBD(deviceObject, urb);
    ExFreePool(urb);
    return status;
}

// Takes the port request back from the stack once it is done: the request
// then stays valid until this driver hands it to the I/O manager again, so
// a request that ran out of time can still be cancelled safely.
NTSTATUS PortRequestDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends a port request (no buffers) to the stack below and waits for it:
// without a bound when `timeout` is null, else at most that long. A request
// that runs out of time is cancelled and waited for, since its completion
// still writes into this frame; it then reports STATUS_UNSUCCESSFUL.
NTSTATUS SendPortRequest(PDEVICE_OBJECT deviceObject, ULONG code, const char* name, const LARGE_INTEGER* timeout,
                         BOOLEAN tracing) {
    auto* ext = static_cast<DeviceExtension*>(deviceObject->DeviceExtension);
    KEVENT event;        // signalled by the I/O manager when it is through with the request
    KEVENT done;         // signalled when the stack has completed it
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    RtlZeroMemory(&ioStatus, sizeof(ioStatus));
    PIRP irp = IoBuildDeviceIoControlRequest(code, ext->StackDeviceObject, nullptr, 0, nullptr, 0, TRUE, &event,
                                             &ioStatus);
    if (!irp) {
        VELNOR_LOG(1, "Velnor> ERROR: %s() - irp NULL\n", name);
        return STATUS_UNSUCCESSFUL;
    }
    IoSetCompletionRoutine(irp, PortRequestDone, &done, TRUE, TRUE, TRUE);
    if (timeout) VELNOR_TRACE(tracing, "Velnor> %s: calling USBD enable port api\n", name);
    NTSTATUS status = IoCallDriver(ext->StackDeviceObject, irp);
    VELNOR_TRACE(tracing, "Velnor> %s: return from IoCallDriver USBD %x\n", name, status);
    if (status == STATUS_PENDING) {
        VELNOR_TRACE(tracing, "Velnor> %s: Wait for single object\n", name);
        LARGE_INTEGER wait;
        wait.QuadPart = timeout ? timeout->QuadPart : 0;
        const NTSTATUS waited =
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, timeout ? &wait : nullptr);
        if (waited == STATUS_TIMEOUT) {
            VELNOR_LOG(1, "Velnor> ERROR: %s() - STATUS_TIMEOUT\n", name);
            IoCancelIrp(irp);
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
            status = STATUS_UNSUCCESSFUL;
        } else {
            VELNOR_TRACE(tracing, "Velnor> %s: Wait for single object, returned %x\n", name, waited);
            status = irp->IoStatus.Status;
        }
    }
    // The I/O manager finishes the request: status block, event, and free.
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return status;
}

}  // namespace

ULONG Velnor_GetDeviceDescriptor(PDEVICE_OBJECT deviceObject, PVOID buffer) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> Velnor_GetDeviceDescriptor() - START\n");
    ULONG received;
    if (GetDescriptor(deviceObject, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, sizeof(USB_DEVICE_DESCRIPTOR), &received))
        VELNOR_LOG(2, "Velnor> Velnor_GetDeviceDescriptor: %d bytes of dev descriptor received\n", received);
    VELNOR_TRACE(tracing, "Velnor> Velnor_GetDeviceDescriptor() - EXIT\n");
    return received;
}

ULONG Velnor_GetConfigDescriptor(PDEVICE_OBJECT deviceObject, PVOID buffer, ULONG length) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> Velnor_GetConfigDescriptor() - START\n");
    ULONG received;
    if (GetDescriptor(deviceObject, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, buffer, length, &received))
        VELNOR_LOG(2, "Velnor> Velnor_GetConfigDescriptor: %d bytes of cfg descriptor received \n", received);
    VELNOR_TRACE(tracing, "Velnor> Velnor_GetConfigDescriptor() - EXIT\n");
    return received;
}

ULONG Velnor_GetStringDescriptor(PDEVICE_OBJECT deviceObject, UCHAR index, USHORT languageId, PVOID buffer,
                                 ULONG length) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> Velnor_GetStringDescriptor() - START\n");
    ULONG received;
    if (GetDescriptor(deviceObject, USB_STRING_DESCRIPTOR_TYPE, index, languageId, buffer, length, &received))
        VELNOR_LOG(2, "Velnor> Velnor_GetStringDescriptor: %d bytes of string descriptor received \n", received);
    VELNOR_TRACE(tracing, "Velnor> Velnor_GetStringDescriptor() - EXIT\n");
    return received;
}

ULONG Velnor_VendorRequest(PDEVICE_OBJECT deviceObject, PUCHAR ioBuffer) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> Velnor_VendorRequest() - START\n");
    VendorRequestInput input;
    RtlCopyMemory(&input, ioBuffer, sizeof(input));
    constexpr ULONG size = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    auto* urb = AllocateUrb(size, URB_FUNCTION_VENDOR_DEVICE);
    if (!urb) {
        VELNOR_TRACE(tracing, "Velnor> Velnor_VendorRequest() - EXIT\n");
        return 0;
    }
    auto& v = urb->UrbControlVendorClassRequest;
    v.TransferBufferLength = input.wLength;
    v.Request = input.bRequest;
    v.Value = input.wValue;
    v.Index = input.wIndex;

    PUCHAR data = nullptr;
    BOOLEAN send = TRUE;
    if (input.direction) {
        // The answer overwrites the record in the system buffer, which the
        // caller has made large enough for wLength bytes.
        v.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
        v.TransferBuffer = ioBuffer;
    } else if (input.wLength) {
        // A length without its data is never sent; a request without data
        // stage needs no buffer at all.
        data = static_cast<PUCHAR>(AllocateDriverPool(input.wLength));
        if (!data) {
            send = FALSE;
        } else {
            if (input.wLength == 1) data[0] = input.data;
            else
                for (ULONG i = 0; i < input.wLength; ++i) data[i] = static_cast<UCHAR>(i);
            v.TransferBuffer = data;
        }
    }
    ULONG received = 0;
    if (send) {
        // A failed request received nothing, whatever length the stack left:
        // the rest of the system buffer would go back as if it had.
        if (NT_SUCCESS(Velnor_CallUSBD(deviceObject, urb)) && input.direction) {
            received = v.TransferBufferLength;
            if (received > input.wLength) received = input.wLength;
        }
    }
    if (data) ExFreePool(data);
    ExFreePool(urb);
    VELNOR_TRACE(tracing, "Velnor> Velnor_VendorRequest() - EXIT\n");
    return received;
}

NTSTATUS Velnor_VendorRequest2(PDEVICE_OBJECT deviceObject, PIRP irp) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> Velnor_VendorRequest2() - START\n");
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (inputLength != sizeof(VendorOrClassRequestInput)) {
        VELNOR_LOG(1, "Velnor> Velnor_VendorRequest2: InputBufferLength %x\n", inputLength);
        VELNOR_LOG(1, "Velnor> Velnor_VendorRequest2: STATUS_INVALID_PARAMETER\n");
        VELNOR_TRACE(tracing, "Velnor> Velnor_VendorRequest2() - EXIT (0x%X)\n", STATUS_INVALID_PARAMETER);
        return STATUS_INVALID_PARAMETER;
    }
    VendorOrClassRequestInput input;
    RtlCopyMemory(&input, irp->AssociatedIrp.SystemBuffer, sizeof(input));

    constexpr ULONG size = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    auto* urb = AllocateUrb(size, 0);  // the function follows from the record
    if (!urb) {
        VELNOR_LOG(1, "Velnor> ERROR: Velnor_VendorRequest2() - STATUS_NO_MEMORY\n");
        VELNOR_TRACE(tracing, "Velnor> Velnor_VendorRequest2() - EXIT (0x%X)\n", STATUS_NO_MEMORY);
        return STATUS_NO_MEMORY;
    }
    // The recipient is ORed in, not added: a recipient above 3 can land on
    // another key.
    USHORT function = 0;
    switch (static_cast<ULONG>(input.requestType) << 2 | input.recipient) {
    case 4: function = URB_FUNCTION_CLASS_DEVICE; break;
    case 5: function = URB_FUNCTION_CLASS_INTERFACE; break;
    case 6: function = URB_FUNCTION_CLASS_ENDPOINT; break;
    case 7: function = URB_FUNCTION_CLASS_OTHER; break;
    case 8: function = URB_FUNCTION_VENDOR_DEVICE; break;
    case 9: function = URB_FUNCTION_VENDOR_INTERFACE; break;
    case 10: function = URB_FUNCTION_VENDOR_ENDPOINT; break;
    case 11: function = URB_FUNCTION_VENDOR_OTHER; break;
    default: break;
    }
    // A data stage needs the data buffer the I/O manager built for it.
    if (!function || (length && !irp->MdlAddress)) {
        VELNOR_LOG(1, "Velnor> ERROR: Velnor_VendorRequest2() - STATUS_INVALID_PARAMETER\n");
        ExFreePool(urb);
        VELNOR_TRACE(tracing, "Velnor> Velnor_VendorRequest2() - EXIT (0x%X)\n", STATUS_INVALID_PARAMETER);
        return STATUS_INVALID_PARAMETER;
    }
    urb->UrbHeader.Function = function;
    auto& v = urb->UrbControlVendorClassRequest;
    v.TransferFlags = input.direction ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : USBD_SHORT_TRANSFER_OK;
    v.TransferBufferLength = length;
    v.TransferBufferMDL = length ? irp->MdlAddress : nullptr;
    v.Request = input.request;
    v.Value = input.value;
    v.Index = input.index;
    const NTSTATUS status = Velnor_CallUSBD(deviceObject, urb);
    if (NT_SUCCESS(status)) {
        ULONG transferred = v.TransferBufferLength;
        if (transferred > length) transferred = length;
        irp->IoStatus.Information = transferred;
        VELNOR_LOG(2, "Velnor> Velnor_VendorRequest2: Successfully transfered %d bytes\n", transferred);
    }
    ExFreePool(urb);
    VELNOR_TRACE(tracing, "Velnor> Velnor_VendorRequest2() - EXIT (0x%X)\n", status);
    return status;
}

NTSTATUS Velnor_FirmwareDownload(PDEVICE_OBJECT deviceObject, USHORT startAddress, const UCHAR* image, ULONG length) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> Velnor_FirmwareDownload() - START\n");
    constexpr ULONG size = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    auto* urb = static_cast<PURB>(AllocateDriverPool(size));
    if (!urb) {
        VELNOR_TRACE(tracing, "Velnor> Velnor_FirmwareDownload() - EXIT (0x%X)\n", STATUS_NO_MEMORY);
        return STATUS_NO_MEMORY;
    }
    // Whole chunks and a last partial one, counted without the overflow of
    // (length + 63) near 4 GB.
    const ULONG chunks = length / kFirmwareChunk + (length % kFirmwareChunk ? 1 : 0);
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < chunks && NT_SUCCESS(status); ++i) {
        InitUrb(urb, size, URB_FUNCTION_VENDOR_DEVICE);
        auto& v = urb->UrbControlVendorClassRequest;
        v.TransferFlags = 0;
        v.Request = kFirmwareRequest;
        v.Value = static_cast<USHORT>(startAddress + kFirmwareChunk * i);  // wraps past 0xFFFF
        v.Index = 0;
        v.TransferBuffer = const_cast<UCHAR*>(image) + kFirmwareChunk * i;
        v.TransferBufferLength = i + 1 == chunks && length % kFirmwareChunk ? length % kFirmwareChunk : kFirmwareChunk;
        status = Velnor_CallUSBD(deviceObject, urb);
    }
    ExFreePool(urb);
    VELNOR_TRACE(tracing, "Velnor> Velnor_FirmwareDownload() - EXIT (0x%X)\n", status);
    return status;
}

NTSTATUS Velnor_ResetPipe(PDEVICE_OBJECT deviceObject, ULONG pipeNumber) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> Velnor_ResetPipe() - START\n");
    auto* ext = static_cast<DeviceExtension*>(deviceObject->DeviceExtension);
    NTSTATUS status;
    USBD_PIPE_INFORMATION pipe;
    const PipeLookup found = LookUpPipe(ext, pipeNumber, &pipe);
    if (found == NoInterfaceInfo) {
        VELNOR_LOG(1, "Velnor> ERROR: Velnor_ResetPipe() - no interface info\n");
        status = STATUS_UNSUCCESSFUL;
    } else if (found == NoSuchPipe) {
        VELNOR_LOG(1, "Velnor> ERROR: Velnor_ResetPipe() - invalid pipe\n");
        status = STATUS_INVALID_PARAMETER;
    } else {
        status = PipeRequest(deviceObject, URB_FUNCTION_RESET_PIPE, pipe.PipeHandle, tracing,
                             "Velnor> Velnor_ResetPipe() Detected OSR2.1\n");
    }
    VELNOR_TRACE(tracing, "Velnor> Velnor_ResetPipe() - EXIT (0x%X)\n", status);
    return status;
}

NTSTATUS Velnor_AbortPipe(PDEVICE_OBJECT deviceObject, USBD_PIPE_HANDLE pipeHandle) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> Velnor_AbortPipe() - START\n");
    const NTSTATUS status = PipeRequest(deviceObject, URB_FUNCTION_ABORT_PIPE, pipeHandle, tracing,
                                        "Velnor> Velnor_AbortPipe() Detected OSR2.1\n");
    VELNOR_TRACE(tracing, "Velnor> Velnor_AbortPipe() - EXIT (0x%X)\n", status);
    return status;
}

ULONG Velnor_GetCurrentFrameNumber(PDEVICE_OBJECT deviceObject) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> Velnor_GetCurrentFrameNumber() - START\n");
    constexpr ULONG size = sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
    auto* urb = AllocateUrb(size, URB_FUNCTION_GET_CURRENT_FRAME_NUMBER);
    if (!urb) {
        VELNOR_LOG(1, "Velnor> ERROR: Velnor_GetCurrentFrameNumber() - urb NULL\n");
        VELNOR_TRACE(tracing, "Velnor> Velnor_GetCurrentFrameNumber() - EXIT\n");
        return 0;
    }
    const NTSTATUS status = Velnor_CallUSBD(deviceObject, urb);
    const ULONG frame = NT_SUCCESS(status) ? urb->UrbGetCurrentFrameNumber.FrameNumber : 0;
    ExFreePool(urb);
    VELNOR_TRACE(tracing, "Velnor> Velnor_GetCurrentFrameNumber() - EXIT\n");
    return frame;
}

NTSTATUS Velnor_EnablePort(PDEVICE_OBJECT deviceObject) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> Velnor_EnablePort() - START\n");
    LARGE_INTEGER timeout;
    timeout.QuadPart = kEnablePortTimeout;
    const NTSTATUS status =
        SendPortRequest(deviceObject, IOCTL_INTERNAL_USB_ENABLE_PORT, "Velnor_EnablePort", &timeout, tracing);
    VELNOR_TRACE(tracing, "Velnor> Velnor_EnablePort() - EXIT (0x%X)\n", status);
    return status;
}

NTSTATUS Velnor_ResetParentPort(PDEVICE_OBJECT deviceObject) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> Velnor_ResetParentPort() - START\n");
    const NTSTATUS status =
        SendPortRequest(deviceObject, IOCTL_INTERNAL_USB_RESET_PORT, "Velnor_ResetParentPort", nullptr, tracing);
    VELNOR_TRACE(tracing, "Velnor> Velnor_ResetParentPort() - EXIT (0x%X)\n", status);
    return status;
}
