// Key events of the module's three keys: a small priority queue of entries
// made once per block from the key bits the block reader saw, taken out by
// the GETKEY control request or a read request.
#pragma once

#include "core/device_extension.h"

#define VELNOR_KEY_DROPPED 0xFFFFFFFFu

// Queue operations; the caller holds KeyLock.
ULONG InsertKey(DeviceExtension* deviceExtension, ULONG entry);
VOID UpdateAcqMakeCode(DeviceExtension* deviceExtension, ULONG keyCode);
VOID FetchKeys(DeviceExtension* deviceExtension, PULONG destination, ULONG count);

// Once per block, after the samples: `keyBits` is the OR of the key bits
// (STA1 & 0xE000) of the block's packets, `timedOut` says the block ended
// without data.
VOID UpdateAcqKeys(DeviceExtension* deviceExtension, ULONG keyBits, BOOLEAN timedOut);

// Empties the queue and honours all three keys again.
VOID Velnor_KeypadFlush(DeviceExtension* deviceExtension);

// IOCTL_VELNOR_KEYPAD_GETKEY; sets Status and Information, the caller completes.
NTSTATUS Velnor_GetKey(DeviceExtension* deviceExtension, PIRP irp);

// The read dispatch routine: the same take-out, completed here.
DRIVER_DISPATCH Velnor_Read;
