// Key events: the per-block key step, the priority queue and the two
// take-out requests.
#include "acquisition/key_events.h"

#include "velnor/velnor_ioctl.h"

namespace {

constexpr ULONG kQueueLength = VELNOR_KEY_QUEUE_LENGTH;
constexpr ULONG kRepeatShift = 16;
constexpr ULONG kRepeatMask = 0xFFu << kRepeatShift;
constexpr ULONG kAllKeys = VELNOR_STA1_KEYS;
constexpr ULONG kStuckBlocks = 50;  // a key seen in more consecutive blocks is masked

// Queue rank by key code minus 4; a smaller value ranks earlier.
const UCHAR KeyPriority[32] = {
    0, 1, 2, 5, 5, 5, 5, 5, 5, 3, 4, 5, 5, 5, 5, 5,  // codes 4..19
    5, 5, 5, 5, 5, 5, 5, 5, 0, 0, 0, 0, 0, 0, 0, 0,  // codes 20..35
};

// The three module keys: STA1 bit, key code, hold-count index.
struct ModuleKey {
    ULONG bit;
    ULONG code;
    const char* stuckLine;
};
const ModuleKey ModuleKeys[3] = {
    {0x8000, VELNOR_KEY1_CODE, "Velnor> Velnor_ReadBlock: AcqMod Key 1 Stuck\n"},
    {0x4000, VELNOR_KEY2_CODE, "Velnor> Velnor_ReadBlock: AcqMod Key 2 Stuck\n"},
    {0x2000, VELNOR_KEY3_CODE, "Velnor> Velnor_ReadBlock: AcqMod Key 3 Stuck\n"},
};

// Codes outside the table rank last, like the module's own keys.
ULONG PriorityOf(ULONG entry) {
    ULONG code = VELNOR_KEY_CODE(entry);
    return (code >= 4 && code < 36) ? KeyPriority[code - 4] : 5;
}

ULONG RaiseRepeat(ULONG entry) {
    if ((entry & kRepeatMask) != kRepeatMask) entry += 1u << kRepeatShift;
    return entry;
}

// The two take-out requests differ only in their log lines and levels.
struct TakeOutLog {
    LONG level;
    const char* requested;
    const char* clamped;
    const char* returned;
    const char* noDevice;
    BOOLEAN perEntry;
};
const TakeOutLog GetKeyLog = {5, "Velnor> Velnor_GetKey: %d key(s) requested\n",
                              "Velnor> Velnor_GetKey: %d key1(s) requested\n",
                              "Velnor> Velnor_GetKey: Returned %d keys, %08X\n",
                              "Velnor> Velnor_GetKey: STATUS_NO_SUCH_DEVICE\n", TRUE};
const TakeOutLog ReadLog = {3, "Velnor> Velnor_Read: %d key(s) requested\n",
                            "Velnor> Velnor_Read: %d key1(s) requested\n",
                            "Velnor> Velnor_Read: Returned %d keys, %08X\n",
                            "Velnor> Velnor_Read: STATUS_NO_SUCH_DEVICE\n", FALSE};

// Hands out up to `requested` entries into `reply`, which has room for
// `room` entries (at least one). Never takes out more than fit, so a short
// buffer cannot swallow a released key. Returns the entries written.
ULONG TakeOutKeys(DeviceExtension* ext, PULONG reply, ULONG requested, ULONG room, const TakeOutLog& log) {
    // The count is read under the lock: the block reader's key step may be
    // queueing an entry at this moment. The lines about it wait until the
    // lock is released.
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&ext->KeyLock);
    ULONG n = requested;
    const BOOLEAN clamped = ext->KeyCount < n;
    if (clamped) n = ext->KeyCount;
    const ULONG available = n;
    if (n > room) n = room;
    if (n > 0) {
        ext->KeysRequested = n;
        FetchKeys(ext, ext->KeyOutput, n);
    }
    KeReleaseSpinLock(&ext->KeyLock, oldIrql);
    VELNOR_LOG(log.level, log.requested, requested);
    if (clamped) VELNOR_LOG(log.level, log.clamped, available);
    for (ULONG i = 0; i < n; ++i) {
        reply[i] = ext->KeyOutput[i];
        if (log.perEntry && reply[i]) VELNOR_LOG(3, "Velnor> Velnor_GetKey: key value %x \n", reply[i]);
    }
    if (n == 0) {
        reply[0] = 0;
        n = 1;
    }
    VELNOR_LOG(3, log.returned, n, reply[0]);
    return n;
}

}  // namespace

// The three queue routines run with KeyLock held, so their trace lines are
// printed under it (DbgPrint may be called at DISPATCH_LEVEL); they print
// nothing else.

ULONG InsertKey(DeviceExtension* ext, ULONG entry) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> InsertKey() - START\n");
    ULONG priority = PriorityOf(entry);
    ULONG position = ext->KeyCount;
    for (ULONG i = 0; i < ext->KeyCount; ++i) {
        if (PriorityOf(ext->KeyQueue[i]) > priority) {
            position = i;
            break;
        }
    }
    if (position >= kQueueLength) {
        position = VELNOR_KEY_DROPPED;  // the queue is full and the entry would come last
    } else {
        if (ext->KeyCount < kQueueLength) ext->KeyCount++;  // when full, the last entry falls off
        for (ULONG i = ext->KeyCount - 1; i > position; --i) ext->KeyQueue[i] = ext->KeyQueue[i - 1];
        ext->KeyQueue[position] = entry;
    }
    VELNOR_TRACE(tracing, "Velnor> InsertKey() - EXIT\n");
    return position;
}

VOID UpdateAcqMakeCode(DeviceExtension* ext, ULONG keyCode) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> UpdateAcqMakeCode() - START\n");
    BOOLEAN found = FALSE;
    for (ULONG i = 0; i < ext->KeyCount && !found; ++i) {
        ULONG entry = ext->KeyQueue[i];
        if (VELNOR_KEY_CODE(entry) == keyCode && !(entry & VELNOR_KEY_BREAK)) {
            ext->KeyQueue[i] = RaiseRepeat(entry) | VELNOR_KEY_MAKE;
            found = TRUE;
        }
    }
    if (!found) InsertKey(ext, keyCode | VELNOR_KEY_MAKE);
    VELNOR_TRACE(tracing, "Velnor> UpdateAcqMakeCode() - EXIT\n");
}

VOID FetchKeys(DeviceExtension* ext, PULONG destination, ULONG count) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> FetchKeys() - START\n");
    ULONG position = 0;
    for (ULONG i = 0; i < count && position < ext->KeyCount; ++i) {
        ULONG entry = ext->KeyQueue[position];
        destination[i] = entry;
        if (entry & VELNOR_KEY_BREAK) {
            // Released keys are handed out once and leave the queue.
            for (ULONG j = position; j + 1 < ext->KeyCount; ++j) ext->KeyQueue[j] = ext->KeyQueue[j + 1];
            ext->KeyCount--;
            ext->KeyQueue[ext->KeyCount] = 0;
        } else {
            ++position;
        }
    }
    VELNOR_TRACE(tracing, "Velnor> FetchKeys() - EXIT\n");
}

VOID UpdateAcqKeys(DeviceExtension* ext, ULONG keyBits, BOOLEAN timedOut) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> UpdateAcqKeys() - START\n");
    ULONG current = 0;
    if (timedOut) {
        // No data for a second: every held key counts as released.
        ext->AcqKeyEnableMask = kAllKeys;
        VELNOR_LOG(2, "Velnor> Velnor_ReadBlock: AcqMod Key timeout\n");
    } else {
        // Entries come from the previous block's state, so a press seen in
        // one block is queued in the next.
        KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&ext->KeyLock);
        for (ULONG i = 0; i < ext->KeyCount; ++i)
            if (!(ext->KeyQueue[i] & VELNOR_KEY_BREAK)) ext->KeyQueue[i] = RaiseRepeat(ext->KeyQueue[i]);
        for (const ModuleKey& key : ModuleKeys)
            if (ext->LastAcqKeyState & key.bit) UpdateAcqMakeCode(ext, key.code);
        KeReleaseSpinLock(&ext->KeyLock, oldIrql);

        for (ULONG k = 0; k < 3; ++k) {
            const ModuleKey& key = ModuleKeys[k];
            if ((ext->AcqKeyEnableMask & key.bit) && (keyBits & key.bit)) {
                if (++ext->AcqKeyHoldCount[k] > kStuckBlocks) {
                    ext->AcqKeyEnableMask &= ~key.bit;
                    VELNOR_LOG(3, key.stuckLine);
                }
            } else {
                ext->AcqKeyHoldCount[k] = 0;
            }
        }
        current = keyBits & ext->AcqKeyEnableMask;
    }

    if (current != ext->LastAcqKeyState) {
        VELNOR_LOG(5, "Velnor> Velnor_ReadBlock() - UpdateAcqBreakCodes\n");
        VELNOR_LOG(5, "Velnor> Velnor_ReadBlock: LastAcqKeyState %x\n", ext->LastAcqKeyState);
        VELNOR_LOG(5, "Velnor> Velnor_ReadBlock: CurrentAcqKeyState %x\n", current);
        ext->LastAcqKeyState = current;
        KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&ext->KeyLock);
        for (ULONG i = 0; i < ext->KeyCount; ++i) {
            ULONG entry = ext->KeyQueue[i];
            if (entry & VELNOR_KEY_BREAK) continue;
            for (const ModuleKey& key : ModuleKeys)
                if (VELNOR_KEY_CODE(entry) == key.code && !(current & key.bit)) entry |= VELNOR_KEY_BREAK;
            ext->KeyQueue[i] = entry & ~VELNOR_KEY_MAKE;
        }
        KeReleaseSpinLock(&ext->KeyLock, oldIrql);
    }
    VELNOR_TRACE(tracing, "Velnor> UpdateAcqKeys() - EXIT\n");
}

VOID Velnor_KeypadFlush(DeviceExtension* ext) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> Velnor_KeypadFlush() - START\n");
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&ext->KeyLock);
    ext->LastAcqKeyState = 0;
    ext->AcqKeyEnableMask = kAllKeys;
    for (ULONG& count : ext->AcqKeyHoldCount) count = 0;
    ext->KeyCount = 0;
    for (ULONG& entry : ext->KeyQueue) entry = 0;
    KeReleaseSpinLock(&ext->KeyLock, oldIrql);
    VELNOR_TRACE(tracing, "Velnor> Velnor_KeypadFlush() - EXIT\n");
}

NTSTATUS Velnor_GetKey(DeviceExtension* ext, PIRP irp) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> Velnor_GetKey() - START\n");
    NTSTATUS status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* buffer = static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer);
    if (!ReadShared(AcqModuleConnected)) {
        VELNOR_LOG(5, GetKeyLog.noDevice);
        status = STATUS_NO_SUCH_DEVICE;
    } else if (!buffer || stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG)) {
        // The request carries no key count.
        VELNOR_LOG(1, "Velnor> ERROR: Velnor_GetKey() - no key count in the request\n");
        status = STATUS_INVALID_PARAMETER;
    } else if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG)) {
        VELNOR_LOG(1, "Velnor> ERROR: Velnor_GetKey() - output buffer shorter than one key\n");
        status = STATUS_BUFFER_TOO_SMALL;
    } else {
        ULONG room = stack->Parameters.DeviceIoControl.OutputBufferLength / sizeof(ULONG);
        ULONG n = TakeOutKeys(ext, buffer, buffer[0], room, GetKeyLog);
        irp->IoStatus.Information = n * sizeof(ULONG);
    }
    irp->IoStatus.Status = status;
    VELNOR_TRACE(tracing, "Velnor> Velnor_GetKey() - EXIT (0x%X)\n", status);
    return status;
}

NTSTATUS Velnor_Read(PDEVICE_OBJECT deviceObject, PIRP irp) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> Velnor_Read() - START\n");
    auto* ext = static_cast<DeviceExtension*>(deviceObject->DeviceExtension);
    NTSTATUS status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    if (!ReadShared(AcqModuleConnected)) {
        VELNOR_LOG(5, ReadLog.noDevice);
        status = STATUS_NO_SUCH_DEVICE;
    } else if (length < sizeof(ULONG) || !irp->MdlAddress) {
        // Not even the one entry an empty queue answers with fits.
        VELNOR_LOG(1, "Velnor> ERROR: Velnor_Read() - read buffer shorter than one key\n");
        status = STATUS_BUFFER_TOO_SMALL;
    } else {
        auto* buffer = static_cast<PULONG>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
        if (!buffer) {
            VELNOR_LOG(1, "Velnor> ERROR: Velnor_Read() - read buffer cannot be mapped\n");
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            ULONG n = TakeOutKeys(ext, buffer, length / sizeof(ULONG), length / sizeof(ULONG), ReadLog);
            irp->IoStatus.Information = n * sizeof(ULONG);
        }
    }
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    VELNOR_TRACE(tracing, "Velnor> Velnor_Read() - EXIT (0x%X)\n", status);
    return status;
}
