// Binding to the module and letting it go: the remove lock, device
// creation, add-device, the Plug and Play and power dispatchers.
#pragma once

#include "core/device_extension.h"

// The remove lock: every Plug and Play and control request runs between a
// LockDevice that returned TRUE and one UnlockDevice; removal waits until
// the count has dropped to zero.
BOOLEAN LockDevice(PDEVICE_OBJECT deviceObject);
VOID UnlockDevice(PDEVICE_OBJECT deviceObject);

// Creates the device object with its extension, the link, the rings, the
// OUT stream's work buffer and every default. On failure nothing it made is
// left but the device object, which the caller deletes.
NTSTATUS Velnor_CreateDeviceObject(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT* deviceObject);

// Frees the two rings and IsoOutBuffer, whichever exist.
VOID ReleaseDeviceBuffers(DeviceExtension* ext);

DRIVER_ADD_DEVICE Velnor_PnPAddDevice;
DRIVER_DISPATCH Velnor_DispatchPnp;
DRIVER_DISPATCH Velnor_DispatchPower;
NTSTATUS Velnor_DefaultPnpHandler(PDEVICE_OBJECT deviceObject, PIRP irp);
// Sends the request down and waits for the lower drivers; the caller completes it.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT deviceObject, PIRP irp);
IO_COMPLETION_ROUTINE OnRequestComplete;
NTSTATUS Velnor_HandleStartDevice(PDEVICE_OBJECT deviceObject, PIRP irp);
// `foundPendingIrp` receives what PendingIrp held when the device went.
NTSTATUS Velnor_HandleRemoveDevice(PDEVICE_OBJECT deviceObject, PIRP irp, PIRP* foundPendingIrp);
VOID Velnor_RemoveDevice(PDEVICE_OBJECT deviceObject, PIRP* foundPendingIrp);

// The request Velnor_CallUSBD waits for, taken out of PendingIrp and
// cancelled under PendingIrpLock, so the cancel can never reach a request
// that Velnor_CallUSBD has already freed. Returns the request it cancelled.
PIRP CancelPendingIrp(DeviceExtension* ext);

// Create, close and device control.
DRIVER_DISPATCH Velnor_Create;
DRIVER_DISPATCH Velnor_Close;
DRIVER_DISPATCH Velnor_ProcessIOCTL;
