#include "acquisition/ring_buffer.h"

// Every operation has one exit, after its EXIT line, so START and EXIT pair
// on every path. The level-5 detail of the copies is printed under the lock
// (it describes the positions being changed); the error lines of refused
// calls are printed after the lock is released.

RingBuffer* AllocRingBuffer(ULONG size) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> AllocRingBuffer() - START\n");
    auto* ringBuffer = static_cast<RingBuffer*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(RingBuffer), VELNOR_POOL_TAG));
    if (!ringBuffer) {
        VELNOR_LOG(1, "Velnor> ERROR: AllocRingBuffer() - no ringBuffer\n");
    } else {
        ringBuffer->buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, size, VELNOR_POOL_TAG));
        if (!ringBuffer->buffer) {
            ExFreePool(ringBuffer);
            ringBuffer = nullptr;
            VELNOR_LOG(1, "Velnor> ERROR: AllocRingBuffer() - no ringBuffer->buffer\n");
        } else {
            ringBuffer->currentSize = 0;
            KeInitializeSpinLock(&ringBuffer->lock);
            ringBuffer->inPtr = ringBuffer->buffer;
            ringBuffer->outPtr = ringBuffer->buffer;
            ringBuffer->totalSize = size;
            ringBuffer->full = 0;
            ringBuffer->notEmpty = 0;
        }
    }
    VELNOR_TRACE(tracing, "Velnor> AllocRingBuffer() - EXIT\n");
    return ringBuffer;
}

VOID FreeRingBuffer(RingBuffer* ringBuffer) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> FreeRingBuffer() - START\n");
    if (ringBuffer->buffer) {
        ExFreePool(ringBuffer->buffer);
        ExFreePool(ringBuffer);
    }
    VELNOR_TRACE(tracing, "Velnor> FreeRingBuffer() - EXIT\n");
}

VOID ResetRingBuffer(RingBuffer* ringBuffer) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> ResetRingBuffer() - START\n");
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&ringBuffer->lock);
    ringBuffer->currentSize = 0;
    ringBuffer->full = 0;
    ringBuffer->notEmpty = 0;
    ringBuffer->inPtr = ringBuffer->buffer;
    ringBuffer->outPtr = ringBuffer->buffer;
    KeReleaseSpinLock(&ringBuffer->lock, oldIrql);
    VELNOR_TRACE(tracing, "Velnor> ResetRingBuffer() - EXIT\n");
}

VOID ReadNotemptyFlag(RingBuffer* ringBuffer, ULONG minimum, PUCHAR flag) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> ReadNotemptyFlag() - START\n");
    if (!ringBuffer) {
        VELNOR_LOG(1, "Velnor> ReadNotemptyFlag: no ReadFullFlag\n");
        *flag = 0;
    } else {
        KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&ringBuffer->lock);
        // A consumer polling with its unit size sees 1 exactly when a unit is held.
        if (ringBuffer->currentSize < minimum) {
            ringBuffer->notEmpty = 0;
            ringBuffer->full = 0;
        }
        *flag = ringBuffer->notEmpty;
        KeReleaseSpinLock(&ringBuffer->lock, oldIrql);
    }
    VELNOR_TRACE(tracing, "Velnor> ReadNotemptyFlag() - EXIT\n");
}

UCHAR ReadFullFlag(RingBuffer* ringBuffer) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> ReadFullFlag() - START\n");
    UCHAR full;
    if (!ringBuffer) {
        // A missing ring counts as full, so that nobody reads from it.
        VELNOR_LOG(1, "Velnor> ReadFullFlag: no ReadFullFlag\n");
        full = 1;
    } else {
        KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&ringBuffer->lock);
        full = ringBuffer->full;
        KeReleaseSpinLock(&ringBuffer->lock, oldIrql);
    }
    VELNOR_TRACE(tracing, "Velnor> ReadFullFlag() - EXIT\n");
    return full;
}

ULONG ReadRingBuffer(RingBuffer* ringBuffer, PUCHAR destination, ULONG byteCount) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> ReadRingBuffer() - START\n");
    ULONG copied = 0;
    if (!ringBuffer) {
        VELNOR_LOG(1, "Velnor> ERROR: ReadRingBuffer() - no ringBuffer\n");
    } else {
        KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&ringBuffer->lock);
        if (byteCount > ringBuffer->totalSize) {
            KeReleaseSpinLock(&ringBuffer->lock, oldIrql);
            VELNOR_LOG(1, "Velnor> ERROR: ReadRingBuffer() - totalSize exceeded\n");
        } else if (ringBuffer->currentSize < byteCount) {
            ringBuffer->notEmpty = 0;
            ringBuffer->full = 0;
            KeReleaseSpinLock(&ringBuffer->lock, oldIrql);
            VELNOR_TRACE(tracing, "Velnor> ReadRingBuffer: empty\n");
        } else {
            ULONG outOffset = static_cast<ULONG>(ringBuffer->outPtr - ringBuffer->buffer);
            if (outOffset + byteCount > ringBuffer->totalSize) {
                // The unit straddles the end of storage: two copies.
                ULONG fragSize = ringBuffer->totalSize - outOffset;
                VELNOR_TRACE(tracing, "Velnor> ReadRingBuffer() about to copy b\n");
                RtlCopyMemory(destination, ringBuffer->outPtr, fragSize);
                VELNOR_TRACE(tracing, "Velnor> ReadRingBuffer() ringBuffer->buffer %p\n", ringBuffer->buffer);
                VELNOR_TRACE(tracing, "Velnor> ReadRingBuffer() ringBuffer->totalSize %x\n", ringBuffer->totalSize);
                VELNOR_TRACE(tracing, "Velnor> ReadRingBuffer() ringBuffer->currentSize %x\n",
                             ringBuffer->currentSize);
                VELNOR_TRACE(tracing, "Velnor> ReadRingBuffer() ringBuffer->outPtr %p\n", ringBuffer->outPtr);
                VELNOR_TRACE(tracing, "Velnor> ReadRingBuffer() byteCount %x\n", byteCount);
                VELNOR_TRACE(tracing, "Velnor> ReadRingBuffer() fragSize %x\n", fragSize);
                RtlCopyMemory(destination + fragSize, ringBuffer->buffer, byteCount - fragSize);
                ringBuffer->outPtr = ringBuffer->buffer + (byteCount - fragSize);
                VELNOR_TRACE(tracing, "Velnor> ReadRingBuffer() ringBuffer->outPtr %p\n", ringBuffer->outPtr);
            } else {
                VELNOR_TRACE(tracing, "Velnor> ReadRingBuffer() about to copy a\n");
                RtlCopyMemory(destination, ringBuffer->outPtr, byteCount);
                ringBuffer->outPtr += byteCount;
                if (ringBuffer->outPtr == ringBuffer->buffer + ringBuffer->totalSize)
                    ringBuffer->outPtr = ringBuffer->buffer;
            }
            ringBuffer->currentSize -= byteCount;
            KeReleaseSpinLock(&ringBuffer->lock, oldIrql);
            copied = byteCount;
        }
    }
    VELNOR_TRACE(tracing, "Velnor> ReadRingBuffer() - EXIT\n");
    return copied;
}

ULONG WriteRingBuffer(RingBuffer* ringBuffer, const UCHAR* source, ULONG numberOfBytesToWrite) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor> WriteRingBuffer() - START\n");
    ULONG written = 0;
    if (!ringBuffer) {
        VELNOR_LOG(1, "Velnor> ERROR: WriteRingBuffer() - no ringBuffer\n");
    } else {
        KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&ringBuffer->lock);
        ULONG room = ringBuffer->totalSize - ringBuffer->currentSize;
        if (numberOfBytesToWrite > room) {
            // Refused whole; the held bytes stay as they were.
            ringBuffer->full = 1;
            ringBuffer->notEmpty = 1;
            ULONG totalSize = ringBuffer->totalSize;
            ULONG currentSize = ringBuffer->currentSize;
            KeReleaseSpinLock(&ringBuffer->lock, oldIrql);
            VELNOR_TRACE(tracing, "Velnor> WriteRingBuffer() numberOfBytesToWrite %d\n", numberOfBytesToWrite);
            VELNOR_TRACE(tracing, "Velnor> WriteRingBuffer() ringBuffer->totalSize %d\n", totalSize);
            VELNOR_TRACE(tracing, "Velnor> WriteRingBuffer() ringBuffer->currentSize %d\n", currentSize);
            VELNOR_LOG(1, "Velnor> ERROR: WriteRingBuffer() - OVERFLOW\n");
        } else {
            VELNOR_TRACE(tracing, "Velnor> WriteRingBuffer() numberOfBytesToWrite %x\n", numberOfBytesToWrite);
            VELNOR_TRACE(tracing, "Velnor> WriteRingBuffer() inPtr %p %2x\n", ringBuffer->inPtr, *ringBuffer->inPtr);
            ULONG inOffset = static_cast<ULONG>(ringBuffer->inPtr - ringBuffer->buffer);
            if (inOffset + numberOfBytesToWrite > ringBuffer->totalSize) {
                ULONG fragSize = ringBuffer->totalSize - inOffset;
                RtlCopyMemory(ringBuffer->inPtr, source, fragSize);
                RtlCopyMemory(ringBuffer->buffer, source + fragSize, numberOfBytesToWrite - fragSize);
                ringBuffer->inPtr = ringBuffer->buffer + (numberOfBytesToWrite - fragSize);
                VELNOR_TRACE(tracing, "Velnor> WriteRingBuffer() copy 2\n");
            } else {
                RtlCopyMemory(ringBuffer->inPtr, source, numberOfBytesToWrite);
                ringBuffer->inPtr += numberOfBytesToWrite;
                if (ringBuffer->inPtr == ringBuffer->buffer + ringBuffer->totalSize)
                    ringBuffer->inPtr = ringBuffer->buffer;
                VELNOR_TRACE(tracing, "Velnor> WriteRingBuffer() WriteRingBuffer() copy 1\n");
            }
            VELNOR_TRACE(tracing, "Velnor> WriteRingBuffer() inPtr %p\n", ringBuffer->inPtr);
            ringBuffer->currentSize += numberOfBytesToWrite;
            ringBuffer->notEmpty = 1;
            ringBuffer->full = 0;
            KeReleaseSpinLock(&ringBuffer->lock, oldIrql);
            written = numberOfBytesToWrite;
        }
    }
    VELNOR_TRACE(tracing, "Velnor> WriteRingBuffer() - EXIT\n");
    return written;
}
