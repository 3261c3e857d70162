// The stream and USB family: the isochronous streams and the block read,
// driver version and last error, bulk transfers and the generic USB requests.
#include "control/control_codes.h"
#include "control/stream_control.h"
#include "velnor/velnor_ioctl.h"

BOOLEAN UsbControl(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG code, NTSTATUS* status) {
    switch (code) {
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
        *status = ControlReadIsoBuffer(deviceObject, irp);
        return TRUE;
    default:
        return FALSE;
    }
}
