// The two families of control codes: each handler set takes the codes of
// its table, by an exact match of all 32 bits, and leaves the others alone.
#pragma once

#include "core/device_extension.h"

// Acquisition-control family (device type 0xBE00). FALSE: not one of its
// codes. Otherwise `status` is the handler's result; the request's
// Information is set, and the dispatcher completes it.
BOOLEAN AcquisitionControl(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG code, NTSTATUS* status);
// Stream and USB family (device type 0x0022), the same way.
BOOLEAN UsbControl(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG code, NTSTATUS* status);
