// The remove lock: a reference count with an event.
#include "core/device_core.h"

BOOLEAN LockDevice(PDEVICE_OBJECT deviceObject) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> LockDevice() - START\n");
    auto* ext = static_cast<DeviceExtension*>(deviceObject->DeviceExtension);
    // Counted before Removing is tested: a request that slips in while
    // removal starts is either counted before the removal waits, or refused.
    InterlockedIncrement(&ext->PendingIoCount);
    if (ReadShared(ext->Removing)) {
        if (InterlockedDecrement(&ext->PendingIoCount) == 0) KeSetEvent(&ext->RemoveEvent, IO_NO_INCREMENT, FALSE);
        VELNOR_LOG(1, "Velnor> ERROR: LockDevice() - removing\n");
        VELNOR_TRACE(tracing, "Velnor> LockDevice() - EXIT\n");
        return FALSE;
    }
    VELNOR_TRACE(tracing, "Velnor> LockDevice() - EXIT\n");
    return TRUE;
}

VOID UnlockDevice(PDEVICE_OBJECT deviceObject) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> UnlockDevice() - START\n");
    auto* ext = static_cast<DeviceExtension*>(deviceObject->DeviceExtension);
    if (InterlockedDecrement(&ext->PendingIoCount) == 0) KeSetEvent(&ext->RemoveEvent, IO_NO_INCREMENT, FALSE);
    VELNOR_TRACE(tracing, "Velnor> UnlockDevice() - EXIT\n");
}
