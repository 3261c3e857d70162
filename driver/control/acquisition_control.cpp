// The acquisition-control family: filter, trigger, analog-output and pace
// settings, the block rate, the module switch, the keypad and the raw packet read.
#include "acquisition/key_events.h"
#include "control/control_codes.h"
#include "velnor/velnor_ioctl.h"

BOOLEAN AcquisitionControl(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG code, NTSTATUS* status) {
    auto* ext = static_cast<DeviceExtension*>(deviceObject->DeviceExtension);
    switch (code) {
    case IOCTL_VELNOR_ENABLE:
        VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: IOCTL_VELNOR_ENABLE\n");
        WriteShared(AcqModuleConnected, 1);
        VELNOR_LOG(5, "AcqModuleConnected_5  %x\n", 1);
        *status = STATUS_SUCCESS;
        return TRUE;
    case IOCTL_VELNOR_KEYPAD_FLUSH:
        VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: IOCTL_VELNOR_KEYPAD_FLUSH\n");
        Velnor_KeypadFlush(ext);
        *status = STATUS_SUCCESS;
        return TRUE;
    case IOCTL_VELNOR_KEYPAD_GETKEY:
        VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: IOCTL_VELNOR_KEYPAD_GETKEY\n");
        *status = Velnor_GetKey(ext, irp);
        return TRUE;
    default:
        return FALSE;
    }
}
