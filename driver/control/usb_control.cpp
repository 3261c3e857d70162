// The stream and USB family: the isochronous streams and the block read,
// driver version and last error, bulk transfers and the generic USB requests.
//
// Buffers: a METHOD_BUFFERED code has one system buffer of the larger of
// the two lengths (none when both are 0); a direct code has its input in the
// system buffer and its data buffer behind the request's MDL. No handler
// reads or writes past them: an input too short for its record is refused
// with STATUS_INVALID_PARAMETER and an output too short for the reply with
// STATUS_BUFFER_TOO_SMALL, before anything is sent or written, except where
// the code's contract names another status.
#include "control/control_codes.h"
#include "control/stream_control.h"
#include "usb/usb_request.h"
#include "velnor/velnor_ioctl.h"

namespace {

// The USB stack carries at most 4 KB in one transfer on the default control
// pipe and fails longer ones; a descriptor read asks for no more than that.
constexpr ULONG kControlTransferLimit = 4096;
constexpr ULONG kBufferedChunk = 512;  // IOCTL_Velnor_FIRMWARE_DOWNLOAD
constexpr UCHAR kFirmwareRequest = 0xA0;

struct ControlRequest {
    PDEVICE_OBJECT device;
    DeviceExtension* ext;
    PIRP irp;
    PUCHAR ioBuffer;  // system buffer; null when the code has none
    ULONG inputLength;
    ULONG outputLength;
};

NTSTATUS ShortInput(const char* name, ULONG have, ULONG need) {
    VELNOR_LOG(1, "Velnor> ERROR: Velnor_ProcessIOCTL: %s - input of %u bytes, %u needed\n", name, have, need);
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS ShortOutput(const char* name, ULONG have, ULONG need) {
    VELNOR_LOG(1, "Velnor> ERROR: Velnor_ProcessIOCTL: %s - output of %u bytes, %u needed\n", name, have, need);
    return STATUS_BUFFER_TOO_SMALL;
}

ULONG ReadU32(const UCHAR* p) {
    ULONG v;
    RtlCopyMemory(&v, p, sizeof(v));
    return v;
}

// The whole interface record, or nothing: a pipe table cut short would
// look like one with fewer pipes.
NTSTATUS GetPipeInfo(const ControlRequest& r) {
    VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: IOCTL_Velnor_GET_PIPE_INFO\n");
    const ULONG length = CopyInterfaceInfo(r.ext, r.ioBuffer, r.outputLength);
    if (r.outputLength < length) return ShortOutput("IOCTL_Velnor_GET_PIPE_INFO", r.outputLength, length);
    r.irp->IoStatus.Information = length;
    return STATUS_SUCCESS;
}

// The device descriptor is always asked whole (18 bytes); a smaller output
// is refused before the request goes out.
NTSTATUS GetDeviceDescriptor(const ControlRequest& r) {
    VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: IOCTL_Velnor_GET_DEVICE_DESCRIPTOR\n");
    if (r.outputLength < sizeof(USB_DEVICE_DESCRIPTOR))
        return ShortOutput("IOCTL_Velnor_GET_DEVICE_DESCRIPTOR", r.outputLength, sizeof(USB_DEVICE_DESCRIPTOR));
    const ULONG n = Velnor_GetDeviceDescriptor(r.device, r.ioBuffer);
    VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: Get Device Descriptor returned %d bytes\n", n);
    r.irp->IoStatus.Information = n;
    return STATUS_SUCCESS;
}

// Asks for the output length, at most what the control pipe carries; an
// empty output has no buffer to receive into and gets nothing.
NTSTATUS GetConfigurationDescriptor(const ControlRequest& r) {
    VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: IOCTL_Velnor_GET_CONFIGURATION_DESCRIPTOR\n");
    const ULONG length = r.outputLength < kControlTransferLimit ? r.outputLength : kControlTransferLimit;
    const ULONG n = Velnor_GetConfigDescriptor(r.device, length ? r.ioBuffer : nullptr, length);
    VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: Get Config Descriptor returned %d bytes\n", n);
    r.irp->IoStatus.Information = n;
    return STATUS_SUCCESS;
}

NTSTATUS GetStringDescriptor(const ControlRequest& r) {
    VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: IOCTL_Velnor_GET_STRING_DESCRIPTOR\n");
    if (r.inputLength != sizeof(StringDescriptorInput) || r.outputLength == 0) return STATUS_INVALID_PARAMETER;
    StringDescriptorInput input;
    RtlCopyMemory(&input, r.ioBuffer, sizeof(input));
    const ULONG length = r.outputLength < kControlTransferLimit ? r.outputLength : kControlTransferLimit;
    const ULONG n = Velnor_GetStringDescriptor(r.device, input.index, input.languageId, r.ioBuffer, length);
    if (!n) return STATUS_UNSUCCESSFUL;
    r.irp->IoStatus.Information = n;
    return STATUS_SUCCESS;
}

// The 9-byte record must be there; a device-to-host answer lands in the
// system buffer and goes back as output, so the output must hold wLength.
NTSTATUS VendorRequest(const ControlRequest& r) {
    VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: IOCTL_Velnor_VENDOR_REQUEST\n");
    if (r.inputLength < sizeof(VendorRequestInput))
        return ShortInput("IOCTL_Velnor_VENDOR_REQUEST", r.inputLength, sizeof(VendorRequestInput));
    VendorRequestInput input;
    RtlCopyMemory(&input, r.ioBuffer, sizeof(input));
    if (input.direction && r.outputLength < input.wLength)
        return ShortOutput("IOCTL_Velnor_VENDOR_REQUEST", r.outputLength, input.wLength);
    const ULONG n = Velnor_VendorRequest(r.device, r.ioBuffer);
    if (n > 0) r.irp->IoStatus.Information = n;
    VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: Vendor Request returned %d bytes\n", n);
    return STATUS_SUCCESS;
}

// Whole 512-byte chunks of the input from address 0, each sent whatever
// became of the one before; a trailing part is dropped.
NTSTATUS BufferedFirmwareDownload(const ControlRequest& r) {
    VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: IOCTL_Velnor_FIRMWARE_DOWNLOAD\n");
    constexpr ULONG size = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, VELNOR_POOL_TAG));
    if (!urb) return STATUS_SUCCESS;
    const ULONG chunks = r.inputLength / kBufferedChunk;
    VELNOR_LOG(5, "chunkcount  : %x\n", chunks);
    for (ULONG i = 0; i < chunks; ++i) {
        RtlZeroMemory(urb, size);
        urb->UrbHeader.Length = size;
        urb->UrbHeader.Function = URB_FUNCTION_VENDOR_DEVICE;
        auto& v = urb->UrbControlVendorClassRequest;
        v.TransferFlags = 0;
        v.Request = kFirmwareRequest;
        v.Value = static_cast<USHORT>(i * kBufferedChunk);
        v.Index = 0;
        v.TransferBufferLength = kBufferedChunk;
        v.TransferBuffer = r.ioBuffer + i * kBufferedChunk;
        // A chunk exists, so the input holds at least the ten bytes shown.
        const auto* b = reinterpret_cast<const signed char*>(r.ioBuffer);
        VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: ioBuffer: %p | inputBufferLength: %d | outputBufferLength: %d\n",
                   r.ioBuffer, r.inputLength, r.outputLength);
        VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: *ioBuffer  : %x\n", b[0]);
        VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: *ioBuffer+1: %x\n", b[1]);
        VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: *ioBuffer+2: %x\n", b[2]);
        VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: *ioBuffer+3: %x\n", b[3]);
        VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: *ioBuffer+4: %x\n", b[4]);
        VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: *ioBuffer+5: %x\n", b[5]);
        VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: *ioBuffer+6: %x\n", b[6]);
        VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: *ioBuffer+7: %x\n", b[7]);
        VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: *ioBuffer+8: %x\n", b[8]);
        VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: *ioBuffer+9: %x\n", b[9]);
        Velnor_CallUSBD(r.device, urb);
    }
    ExFreePool(urb);
    return STATUS_SUCCESS;
}

// The image is the data buffer, mapped into system space; the start
// address is exactly the 2-byte input.
NTSTATUS DirectFirmwareDownload(const ControlRequest& r) {
    VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: IOCTL_VELNOR_FIRMWARE_DOWNLOAD\n");
    if (r.inputLength != sizeof(USHORT) || r.outputLength == 0) {
        VELNOR_LOG(1, "Velnor> Velnor_ProcessIOCTL: IOCTL_VELNOR_FIRMWARE_DOWNLOAD: Error Invalid Parameter\n");
        return STATUS_INVALID_PARAMETER;
    }
    const UCHAR* image = r.irp->MdlAddress ? static_cast<const UCHAR*>(
                                                 MmGetSystemAddressForMdlSafe(r.irp->MdlAddress, NormalPagePriority))
                                           : nullptr;
    if (!image) {
        VELNOR_LOG(1, "Velnor> ERROR: Velnor_ProcessIOCTL: IOCTL_VELNOR_FIRMWARE_DOWNLOAD - image not mapped\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    USHORT start;
    RtlCopyMemory(&start, r.ioBuffer, sizeof(start));
    return Velnor_FirmwareDownload(r.device, start, image, r.outputLength);
}

NTSTATUS ResetPipe(const ControlRequest& r) {
    if (r.inputLength < sizeof(ULONG)) {
        VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: IOCTL_Velnor_RESETPIPE\n");
        return ShortInput("IOCTL_Velnor_RESETPIPE", r.inputLength, sizeof(ULONG));
    }
    const ULONG pipe = ReadU32(r.ioBuffer);
    VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: IOCTL_Velnor_RESETPIPE pipenum %d\n", pipe);
    VELNOR_LOG(5, "IOCTL_Velnor_RESETPIPE begin\n");
    const NTSTATUS status = Velnor_ResetPipe(r.device, pipe);
    VELNOR_LOG(5, "IOCTL_Velnor_RESETPIPE end\n");
    return status;
}

// The pipe number is checked as a pipe reset checks it: a number outside
// the pipe table, or no table at all, is refused and nothing is looked up.
NTSTATUS AbortPipe(const ControlRequest& r) {
    VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: IOCTL_Velnor_ABORTPIPE\n");
    if (r.inputLength < sizeof(LONG)) return ShortInput("IOCTL_Velnor_ABORTPIPE", r.inputLength, sizeof(LONG));
    const LONG pipe = static_cast<LONG>(ReadU32(r.ioBuffer));
    USBD_PIPE_INFORMATION found;
    const PipeLookup lookup = pipe < 0 ? NoSuchPipe : LookUpPipe(r.ext, static_cast<ULONG>(pipe), &found);
    if (lookup == NoInterfaceInfo || (pipe < 0 && !HasInterfaceInfo(r.ext))) {
        VELNOR_LOG(1, "Velnor> ERROR: Velnor_ProcessIOCTL: IOCTL_Velnor_ABORTPIPE - no interface info\n");
        return STATUS_UNSUCCESSFUL;
    }
    if (lookup == NoSuchPipe) {
        VELNOR_LOG(1, "Velnor> ERROR: Velnor_ProcessIOCTL: IOCTL_Velnor_ABORTPIPE - invalid pipe %d\n", pipe);
        return STATUS_INVALID_PARAMETER;
    }
    Velnor_AbortPipe(r.device, found.PipeHandle);
    return STATUS_SUCCESS;
}

NTSTATUS SelectInterface(const ControlRequest& r) {
    VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: IOCTL_Velnor_SETINTERFACE\n");
    if (r.inputLength < sizeof(SetInterfaceInput))
        return ShortInput("IOCTL_Velnor_SETINTERFACE", r.inputLength, sizeof(SetInterfaceInput));
    SetInterfaceInput input;
    RtlCopyMemory(&input, r.ioBuffer, sizeof(input));
    VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: input->interfaceNum %x\n", input.interfaceNum);
    VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: input->alternateSetting %x\n", input.alternateSetting);
    SetInterface(r.device, input.interfaceNum, input.alternateSetting);
    return STATUS_SUCCESS;
}

NTSTATUS BulkTransfer(const ControlRequest& r, const char* nameLine) {
    VELNOR_LOG(2, "%s", nameLine);
    if (!ReadShared(DeviceStarted)) {
        VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: IOCTL_VELNOR_BULK_READ_WRITE not possible\n");
        return STATUS_UNSUCCESSFUL;
    }
    return Velnor_Read_Write(r.device, r.irp);
}

NTSTATUS GetCurrentFrameNumber(const ControlRequest& r) {
    VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: IOCTL_VELNOR_GET_CURRENT_FRAME_NUMBER\n");
    if (r.outputLength < sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
    const ULONG frame = Velnor_GetCurrentFrameNumber(r.device);
    if (!frame) return STATUS_UNSUCCESSFUL;  // frame 0 cannot be told from a failure
    RtlCopyMemory(r.ioBuffer, &frame, sizeof(frame));
    r.irp->IoStatus.Information = sizeof(frame);
    return STATUS_SUCCESS;
}

NTSTATUS ReadLastError(const ControlRequest& r) {
    VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: IOCTL_VELNOR_GET_LAST_ERROR\n");
    if (r.outputLength < sizeof(ULONG)) return STATUS_UNSUCCESSFUL;
    const ULONG error = r.ext->LastError;
    RtlCopyMemory(r.ioBuffer, &error, sizeof(error));
    r.irp->IoStatus.Information = sizeof(error);
    return STATUS_SUCCESS;
}

NTSTATUS GetDriverVersion(const ControlRequest& r) {
    VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: IOCTL_VELNOR_GET_DRIVER_VERSION\n");
    if (r.outputLength < sizeof(DriverVersion)) return STATUS_UNSUCCESSFUL;
    DriverVersion version;
    version.MajorVersion = 13;
    version.MinorVersion = 1;
    version.BuildVersion = 9;
    RtlCopyMemory(r.ioBuffer, &version, sizeof(version));
    r.irp->IoStatus.Information = sizeof(version);
    VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: MajorVersion  %d\n", version.MajorVersion);
    VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: MinorVersion  %d\n", version.MinorVersion);
    VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: BuildVersion  %d\n", version.BuildVersion);
    return STATUS_SUCCESS;
}

}  // namespace

BOOLEAN UsbControl(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG code, NTSTATUS* status) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ControlRequest r = {deviceObject, static_cast<DeviceExtension*>(deviceObject->DeviceExtension), irp,
                              static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer),
                              stack->Parameters.DeviceIoControl.InputBufferLength,
                              stack->Parameters.DeviceIoControl.OutputBufferLength};
    switch (code) {
    case IOCTL_Velnor_GET_PIPE_INFO: *status = GetPipeInfo(r); return TRUE;
    case IOCTL_Velnor_GET_DEVICE_DESCRIPTOR: *status = GetDeviceDescriptor(r); return TRUE;
    case IOCTL_Velnor_GET_CONFIGURATION_DESCRIPTOR: *status = GetConfigurationDescriptor(r); return TRUE;
    case IOCTL_Velnor_VENDOR_REQUEST: *status = VendorRequest(r); return TRUE;
    case IOCTL_Velnor_GET_CURRENT_CONFIG:
        VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: IOCTL_Velnor_GET_CURRENT_CONFIG\n");
        *status = STATUS_SUCCESS;
        return TRUE;
    case IOCTL_Velnor_FIRMWARE_DOWNLOAD: *status = BufferedFirmwareDownload(r); return TRUE;
    case IOCTL_Velnor_RESET:
        VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: IOCTL_Velnor_RESET\n");
        Velnor_ResetParentPort(deviceObject);
        *status = Velnor_EnablePort(deviceObject);
        return TRUE;
    case IOCTL_Velnor_RESETPIPE: *status = ResetPipe(r); return TRUE;
    case IOCTL_Velnor_ABORTPIPE: *status = AbortPipe(r); return TRUE;
    case IOCTL_Velnor_SETINTERFACE: *status = SelectInterface(r); return TRUE;
    case IOCTL_Velnor_GET_STRING_DESCRIPTOR: *status = GetStringDescriptor(r); return TRUE;
    case IOCTL_VELNOR_BULK_READ:
        *status = BulkTransfer(r, "Velnor> Velnor_ProcessIOCTL: IOCTL_VELNOR_BULK_READ\n");
        return TRUE;
    case IOCTL_VELNOR_BULK_WRITE:
        *status = BulkTransfer(r, "Velnor> Velnor_ProcessIOCTL: IOCTL_VELNOR_BULK_WRITE\n");
        return TRUE;
    case IOCTL_VELNOR_GET_CURRENT_FRAME_NUMBER: *status = GetCurrentFrameNumber(r); return TRUE;
    case IOCTL_VELNOR_VENDOR_OR_CLASS_REQUEST:
        VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: IOCTL_VELNOR_VENDOR_OR_CLASS_REQUEST\n");
        *status = Velnor_VendorRequest2(deviceObject, irp);
        return TRUE;
    case IOCTL_VELNOR_GET_LAST_ERROR: *status = ReadLastError(r); return TRUE;
    case IOCTL_VELNOR_FIRMWARE_DOWNLOAD: *status = DirectFirmwareDownload(r); return TRUE;
    case IOCTL_VELNOR_GET_DRIVER_VERSION: *status = GetDriverVersion(r); return TRUE;
    case IOCTL_VELNOR_START_ISO_STREAM_IN:
        VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: IOCTL_VELNOR_START_ISO_STREAM_IN\n");
        *status = ControlStartIsoStreamIn(deviceObject, irp);
        return TRUE;
    case IOCTL_VELNOR_START_ISO_STREAM_OUT:
        VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: IOCTL_VELNOR_START_ISO_STREAM_OUT\n");
        *status = ControlStartIsoStreamOut(deviceObject, irp);
        return TRUE;
    case IOCTL_VELNOR_STOP_ISO_STREAM:
        VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: IOCTL_VELNOR_STOP_ISO_STREAM\n");
        *status = ControlStopIsoStream(deviceObject, irp);
        return TRUE;
    case IOCTL_VELNOR_READ_ISO_BUFFER:
        *status = ControlReadIsoBuffer(deviceObject, irp);  // its first line is "... IOCTL_VELNOR_READ_ISO_BUFFER In"
        return TRUE;
    default:
        return FALSE;
    }
}
