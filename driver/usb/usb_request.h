// USB request blocks sent and waited for, the device's configuration, bulk
// transfers, and the standard and vendor requests of the control codes.
#pragma once

#include "core/device_extension.h"

// Submits one request block to the stack below and waits at most 300 ms,
// cancelling it after that; one submission at a time. The block stays the
// caller's, with its status and lengths as the stack left them.
NTSTATUS Velnor_CallUSBD(PDEVICE_OBJECT deviceObject, PURB urb);
IO_COMPLETION_ROUTINE VELNOR_CallUsbdCompletion;

// Nonpaged pool under the driver's tag.
inline PVOID AllocateDriverPool(SIZE_T bytes) { return ExAllocatePoolWithTag(NonPagedPool, bytes, VELNOR_POOL_TAG); }
// A request block zeroed over `size` bytes with its header filled in;
// InitUrb does the same to a block the caller has, AllocateUrb allocates
// one first (null when pool runs out).
VOID InitUrb(PURB urb, USHORT size, USHORT function);
PURB AllocateUrb(USHORT size, USHORT function);
// Fills a descriptor-request block as GET_DESCRIPTOR of `type` into `buffer`.
VOID BuildDescriptorRequest(PURB urb, UCHAR type, UCHAR index, USHORT language, PVOID buffer, ULONG length);

NTSTATUS Velnor_StartDevice(PDEVICE_OBJECT deviceObject);
NTSTATUS Velnor_ConfigureDevice(PDEVICE_OBJECT deviceObject);
NTSTATUS Velnor_SelectInterfaces(PDEVICE_OBJECT deviceObject, PUSB_CONFIGURATION_DESCRIPTOR configuration);
NTSTATUS SetInterface(PDEVICE_OBJECT deviceObject, UCHAR interfaceNumber, UCHAR alternateSetting);
// The whole configuration descriptor in a pool block the caller frees; null
// when it cannot be had.
PUSB_CONFIGURATION_DESCRIPTOR GetFullConfigDescriptor(PDEVICE_OBJECT deviceObject);
NTSTATUS Velnor_StopDevice(PDEVICE_OBJECT deviceObject);
VOID DumpBuffer(const UCHAR* buffer, ULONG length);

// Standard and vendor requests. All run at PASSIVE_LEVEL in the caller's
// thread and wait for the device. The descriptor operations receive at most
// `length` bytes (18 for the device descriptor) into `buffer`, which must
// hold that many, and return the bytes received, 0 on any failure.
ULONG Velnor_GetDeviceDescriptor(PDEVICE_OBJECT deviceObject, PVOID buffer);
ULONG Velnor_GetConfigDescriptor(PDEVICE_OBJECT deviceObject, PVOID buffer, ULONG length);
ULONG Velnor_GetStringDescriptor(PDEVICE_OBJECT deviceObject, UCHAR index, USHORT languageId, PVOID buffer,
                                 ULONG length);
// The VendorRequestInput record at the start of `ioBuffer`; a device-to-host
// answer of up to wLength bytes overwrites it, and the caller makes sure the
// buffer holds them. Returns the bytes received (0 for host to device).
ULONG Velnor_VendorRequest(PDEVICE_OBJECT deviceObject, PUCHAR ioBuffer);
// A class or vendor request from a control request with a 10-byte
// VendorOrClassRequestInput and its data buffer; sets Information.
NTSTATUS Velnor_VendorRequest2(PDEVICE_OBJECT deviceObject, PIRP irp);
// The image in 64-byte chunks from `startAddress` on; stops at the first failure.
NTSTATUS Velnor_FirmwareDownload(PDEVICE_OBJECT deviceObject, USHORT startAddress, const UCHAR* image, ULONG length);
NTSTATUS Velnor_ResetPipe(PDEVICE_OBJECT deviceObject, ULONG pipeNumber);
// The pipe table is replaced by a start and by SetInterface while requests
// and the streams read it on other threads: readers copy what they need
// under InterfaceInfoLock, and the table is swapped and freed under it.
enum PipeLookup { PipeFound, NoInterfaceInfo, NoSuchPipe };
PipeLookup LookUpPipe(DeviceExtension* ext, ULONG pipeNumber, USBD_PIPE_INFORMATION* pipe);
BOOLEAN HasInterfaceInfo(DeviceExtension* ext);
// The whole table copied into `buffer` when it fits `room` bytes. Returns
// its length (0: no table); nothing is copied when it does not fit.
ULONG CopyInterfaceInfo(DeviceExtension* ext, PVOID buffer, ULONG room);
// Makes `table` (pool, or null) the pipe table and frees the previous one.
VOID ReplaceInterfaceInfo(DeviceExtension* ext, PUSBD_INTERFACE_INFORMATION table);

NTSTATUS Velnor_AbortPipe(PDEVICE_OBJECT deviceObject, USBD_PIPE_HANDLE pipeHandle);
// The bus frame number; 0 on failure.
ULONG Velnor_GetCurrentFrameNumber(PDEVICE_OBJECT deviceObject);
NTSTATUS Velnor_EnablePort(PDEVICE_OBJECT deviceObject);
NTSTATUS Velnor_ResetParentPort(PDEVICE_OBJECT deviceObject);

// A bulk or interrupt transfer on the pipe whose number is the u32 at the
// start of the request's input, over its data buffer, in the pipe's
// direction. Sets Information on success; the caller completes the request.
NTSTATUS Velnor_Read_Write(PDEVICE_OBJECT deviceObject, PIRP irp);

// Bytes of a select-interface request for `pipes` pipes, computed in 16
// bits as the request's length field holds it (no pipes gives 56).
inline USHORT SelectInterfaceUrbSize(ULONG pipes) {
    return static_cast<USHORT>((pipes - 1) * sizeof(USBD_PIPE_INFORMATION) + sizeof(struct _URB_SELECT_INTERFACE));
}
