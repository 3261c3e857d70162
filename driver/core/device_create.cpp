// Device creation: the device object with its extension, the link, the two
// rings of the acquisition path, the OUT stream's work buffer, and every
// default of the signal path and the stream flags.
#include "core/device_core.h"
#include "output/packet_builder.h"
#include "output/signal_filter.h"

namespace {

constexpr ULONG kDataRingBytes = 680000;       // 20000 acquisition packets
constexpr ULONG kIsoPacketRingBytes = 20000;   // 588 packets and 8 spare bytes
constexpr ULONG kIsoOutBufferBytes = 10000;

// What a failed creation made is released again, so the device object that
// the add-device routine deletes leaves nothing behind. The link is deleted
// only when this creation made it.
VOID ReleaseCreation(DeviceExtension* ext, PUNICODE_STRING link, BOOLEAN linkMade) {
    ReleaseDeviceBuffers(ext);
    if (linkMade) IoDeleteSymbolicLink(link);
}

}  // namespace

VOID ReleaseDeviceBuffers(DeviceExtension* ext) {
    if (ext->DataRingBuffer) FreeRingBuffer(ext->DataRingBuffer);
    if (ext->IsoPacketRingBuffer) FreeRingBuffer(ext->IsoPacketRingBuffer);
    ext->DataRingBuffer = nullptr;
    ext->IsoPacketRingBuffer = nullptr;
    if (IsoOutBuffer) ExFreePool(IsoOutBuffer);
    IsoOutBuffer = nullptr;
}

NTSTATUS Velnor_CreateDeviceObject(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT* deviceObject) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> Velnor_CreateDeviceObject() - START\n");

    UNICODE_STRING deviceName, linkName;
    RtlInitUnicodeString(&deviceName, VELNOR_DEVICE_NAME);
    RtlInitUnicodeString(&linkName, VELNOR_LINK_NAME);
    VELNOR_LOG(2, "Velnor> Velnor_CreateDeviceObject: instance = %d\n", 0);
    VELNOR_LOG(2, "Velnor> Velnor_CreateDeviceObject: Create Device name (%ws)\n", deviceName.Buffer);
    ANSI_STRING ansiName;
    NTSTATUS status = RtlUnicodeStringToAnsiString(&ansiName, &deviceName, TRUE);
    if (NT_SUCCESS(status)) {
        VELNOR_LOG(2, "Velnor> Velnor_CreateDeviceObject: Create Device Name (%s)\n", ansiName.Buffer);
        RtlFreeAnsiString(&ansiName);
    } else {
        VELNOR_LOG(1, "Velnor> Velnor_CreateDeviceObject: Unicode to Ansi str failed w/ ntStatus: 0x%x\n", status);
    }

    status = IoCreateDevice(driverObject, sizeof(DeviceExtension), &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE,
                            deviceObject);
    if (!NT_SUCCESS(status)) {
        VELNOR_TRACE(tracing, "Velnor> Velnor_CreateDeviceObject() - EXIT (0x%X)\n", status);
        return status;
    }
    auto* ext = static_cast<DeviceExtension*>((*deviceObject)->DeviceExtension);

    VELNOR_LOG(2, "Velnor> Velnor_CreateDeviceObject: Create DosDevice name (%ws)\n", linkName.Buffer);
    // A failed link does not stop creation; its status is the result.
    const NTSTATUS linkStatus = IoCreateSymbolicLink(&linkName, &deviceName);
    const BOOLEAN linkMade = NT_SUCCESS(linkStatus);

    RtlCopyMemory(ext->DeviceLinkName, linkName.Buffer, linkName.Length + sizeof(WCHAR));
    ext->OpenCount = 0;
    ext->ConfigurationHandle = nullptr;
    ext->DeviceDescriptor = nullptr;
    ext->InterfaceInfo = nullptr;
    ext->DataRingBuffer = nullptr;
    ext->DescriptorRingBuffer = nullptr;
    ext->IsoPacketRingBuffer = nullptr;
    ext->SymbolicLinkActive = 0;
    KeInitializeSpinLock(&ext->KeyLock);
    KeInitializeSpinLock(&ext->PendingIrpLock);
    KeInitializeSpinLock(&ext->InterfaceInfoLock);

    // Everything the last device changed starts from creation's values.
    velnor_filter_load_defaults();
    LoadOutputDefaults();
    RtlZeroMemory(TriggerBuffer, 100);
    WriteShared(FirstIsoPacket, 1);
    WriteShared(bPace, 0);
    WriteShared(StopIsoStream, 0);
    IsoOutBuffer = nullptr;
    ext->PendingIrp = nullptr;
    WriteShared(IsoInCompleted, 0);
    WriteShared(IsoStreamStopped, 1);
    WriteShared(AcqModuleConnected, 0);

    ext->DataRingBuffer = AllocRingBuffer(kDataRingBytes);
    if (!ext->DataRingBuffer) {
        VELNOR_LOG(1, "Velnor> ERROR: Velnor_CreateDeviceObject() - unable to allocate data ring buffer\n");
        ReleaseCreation(ext, &linkName, linkMade);
        VELNOR_TRACE(tracing, "Velnor> Velnor_CreateDeviceObject() - EXIT\n");
        return STATUS_NO_MEMORY;
    }
    ext->IsoPacketRingBuffer = AllocRingBuffer(kIsoPacketRingBytes);
    if (!ext->IsoPacketRingBuffer) {
        VELNOR_LOG(1, "Velnor> ERROR: Velnor_CreateDeviceObject() - unable to allocate Iso Packet ring buffer\n");
        ReleaseCreation(ext, &linkName, linkMade);
        VELNOR_TRACE(tracing, "Velnor> Velnor_CreateDeviceObject() - EXIT\n");
        return STATUS_NO_MEMORY;
    }
    // The OUT stream writes into this buffer without looking: a device
    // without it is refused like one without its rings.
    IsoOutBuffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, kIsoOutBufferBytes, VELNOR_POOL_TAG));
    if (!IsoOutBuffer) {
        VELNOR_LOG(1, "Velnor> ERROR: Velnor_CreateDeviceObject() - unable to allocate Iso Out buffer\n");
        ReleaseCreation(ext, &linkName, linkMade);
        VELNOR_TRACE(tracing, "Velnor> Velnor_CreateDeviceObject() - EXIT\n");
        return STATUS_NO_MEMORY;
    }
    RtlZeroMemory(IsoOutBuffer, kIsoOutBufferBytes);

    // A link that could not be made fails the creation after all; what was
    // allocated goes back, since the caller deletes the device object.
    if (!linkMade) ReleaseCreation(ext, &linkName, linkMade);
    VELNOR_TRACE(tracing, "Velnor> Velnor_CreateDeviceObject() - EXIT (0x%X)\n", linkStatus);
    return linkStatus;
}
