// USB request blocks sent and waited for, the device's configuration, and
// the standard requests the Plug and Play side needs.
#pragma once

#include "core/device_extension.h"

// Submits one request block to the stack below and waits at most 300 ms,
// cancelling it after that; one submission at a time. The block stays the
// caller's, with its status and lengths as the stack left them.
NTSTATUS Velnor_CallUSBD(PDEVICE_OBJECT deviceObject, PURB urb);
IO_COMPLETION_ROUTINE VELNOR_CallUsbdCompletion;

NTSTATUS Velnor_StartDevice(PDEVICE_OBJECT deviceObject);
NTSTATUS Velnor_ConfigureDevice(PDEVICE_OBJECT deviceObject);
NTSTATUS Velnor_SelectInterfaces(PDEVICE_OBJECT deviceObject, PUSB_CONFIGURATION_DESCRIPTOR configuration);
NTSTATUS SetInterface(PDEVICE_OBJECT deviceObject, UCHAR interfaceNumber, UCHAR alternateSetting);
// The whole configuration descriptor in a pool block the caller frees; null
// when it cannot be had.
PUSB_CONFIGURATION_DESCRIPTOR GetFullConfigDescriptor(PDEVICE_OBJECT deviceObject);
NTSTATUS Velnor_StopDevice(PDEVICE_OBJECT deviceObject);
VOID DumpBuffer(const UCHAR* buffer, ULONG length);

NTSTATUS Velnor_AbortPipe(PDEVICE_OBJECT deviceObject, USBD_PIPE_HANDLE pipeHandle);

// Bytes of a select-interface request for `pipes` pipes, computed in 16
// bits as the request's length field holds it (no pipes gives 56).
inline USHORT SelectInterfaceUrbSize(ULONG pipes) {
    return static_cast<USHORT>((pipes - 1) * sizeof(USBD_PIPE_INFORMATION) + sizeof(struct _URB_SELECT_INTERFACE));
}
