// The per-device record and the driver-wide state.
#pragma once

#include "acquisition/ring_buffer.h"
#include "core/platform.h"

// Names of the one device this driver binds; the digit is the instance, always 0.
#define VELNOR_DEVICE_NAME L"\\Device\\Velnor-0"
#define VELNOR_LINK_NAME L"\\DosDevices\\Velnor-0"
#define VELNOR_LINK_NAME_CHARS 64

struct DeviceExtension {
    PDEVICE_OBJECT StackDeviceObject;                // the USB device's stack below us
    UCHAR SymbolicLinkActive;                        // removal deletes the link
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;         // 18-byte pool copy
    PUSBD_INTERFACE_INFORMATION InterfaceInfo;       // the pipe table; null: no pipes
    LONG OpenCount;
    WCHAR DeviceLinkName[VELNOR_LINK_NAME_CHARS];
    ULONG LastError;
    LONG PendingIoCount;                             // interlocked only
    KEVENT RemoveEvent;                              // signalled when PendingIoCount reaches 0
    UCHAR Removing;
    RingBuffer* IsoPacketRingBuffer;                 // 20000 bytes, read by the output builder
    RingBuffer* DataRingBuffer;                      // 680000 bytes, read by the block reader
    RingBuffer* DescriptorRingBuffer;                // present while an IN stream exists
    ULONG AcqKeyEnableMask;                          // honoured key bits
    ULONG AcqKeyHoldCount[3];                        // blocks each key has been held
    ULONG LastAcqKeyState;
    ULONG KeyCount;                                  // entries in KeyQueue, 0..16
    ULONG KeyQueue[16];
    KSPIN_LOCK KeyLock;                              // guards KeyQueue, KeyCount and the staging fields
    ULONG KeysRequested;
    ULONG KeyOutput[16];
    PIRP PendingIrp;                                 // the request Velnor_CallUSBD waits for
    KSEMAPHORE CallUsbdSemaphore;                    // one USB request block at a time
    // Guards PendingIrp between Velnor_CallUSBD, which frees the request,
    // and Plug and Play, which cancels it from another thread.
    KSPIN_LOCK PendingIrpLock;
    // Guards the InterfaceInfo pointer and the table it points to.
    KSPIN_LOCK InterfaceInfoLock;
};

// Driver-wide flags. They are written with single stores from passive-level
// requests and dispatch-level completions, and some readers poll them, so
// every access goes to memory.
extern volatile UCHAR DeviceRemoved;       // no device bound: add-device may create one
extern volatile UCHAR DeviceStarted;       // the last start request succeeded
extern volatile UCHAR AcqModuleConnected;  // the application enabled the module
extern volatile UCHAR StopIsoStream;       // the streams stop resubmitting
extern volatile UCHAR IsoStreamStopped;    // the IN stream has released its transfers
extern volatile UCHAR IsoInCompleted;      // an IN completion happened
extern volatile USHORT FirstIsoPacket;     // the next stored packet resets both rings first
extern PUCHAR IsoOutBuffer;                // 10000-byte work buffer of the OUT stream

// Dispatch routines and driver entry.
extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_DISPATCH Velnor_ProcessSysControlIrp;
DRIVER_UNLOAD Velnor_Unload;
BOOLEAN SetDebugLevelFromRegistry(PUNICODE_STRING registryPath, PCWSTR valueName, PLONG level);
