#include "acquisition/ring_buffer.h"

RingBuffer* AllocRingBuffer(ULONG size) {
    VELNOR_LOG(5, "Velnor> AllocRingBuffer() - START\n");
    auto* ringBuffer = static_cast<RingBuffer*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(RingBuffer), VELNOR_POOL_TAG));
    if (!ringBuffer) {
        VELNOR_LOG(1, "Velnor> ERROR: AllocRingBuffer() - no ringBuffer\n");
        return nullptr;
    }
    ringBuffer->buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, size, VELNOR_POOL_TAG));
    if (!ringBuffer->buffer) {
        ExFreePool(ringBuffer);
        VELNOR_LOG(1, "Velnor> ERROR: AllocRingBuffer() - no ringBuffer->buffer\n");
        return nullptr;
    }
    ringBuffer->currentSize = 0;
    KeInitializeSpinLock(&ringBuffer->lock);
    ringBuffer->inPtr = ringBuffer->buffer;
    ringBuffer->outPtr = ringBuffer->buffer;
    ringBuffer->totalSize = size;
    ringBuffer->full = 0;
    ringBuffer->notEmpty = 0;
    VELNOR_LOG(5, "Velnor> AllocRingBuffer() - EXIT\n");
    return ringBuffer;
}

VOID FreeRingBuffer(RingBuffer* ringBuffer) {
    VELNOR_LOG(5, "Velnor> FreeRingBuffer() - START\n");
    if (ringBuffer->buffer) {
        ExFreePool(ringBuffer->buffer);
        ExFreePool(ringBuffer);
    }
    VELNOR_LOG(5, "Velnor> FreeRingBuffer() - EXIT\n");
}

VOID ResetRingBuffer(RingBuffer* ringBuffer) {
    VELNOR_LOG(5, "Velnor> ResetRingBuffer() - START\n");
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&ringBuffer->lock);
    ringBuffer->currentSize = 0;
    ringBuffer->full = 0;
    ringBuffer->notEmpty = 0;
    ringBuffer->inPtr = ringBuffer->buffer;
    ringBuffer->outPtr = ringBuffer->buffer;
    KeReleaseSpinLock(&ringBuffer->lock, oldIrql);
    VELNOR_LOG(5, "Velnor> ResetRingBuffer() - EXIT\n");
}

VOID ReadNotemptyFlag(RingBuffer* ringBuffer, ULONG minimum, PUCHAR flag) {
    VELNOR_LOG(5, "Velnor> ReadNotemptyFlag() - START\n");
    if (!ringBuffer) {
        VELNOR_LOG(1, "Velnor> ReadNotemptyFlag: no ReadFullFlag\n");
        *flag = 0;
        return;
    }
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&ringBuffer->lock);
    // A consumer polling with its unit size sees 1 exactly when a unit is held.
    if (ringBuffer->currentSize < minimum) {
        ringBuffer->notEmpty = 0;
        ringBuffer->full = 0;
    }
    *flag = ringBuffer->notEmpty;
    KeReleaseSpinLock(&ringBuffer->lock, oldIrql);
    VELNOR_LOG(5, "Velnor> ReadNotemptyFlag() - EXIT\n");
}

UCHAR ReadFullFlag(RingBuffer* ringBuffer) {
    VELNOR_LOG(5, "Velnor> ReadFullFlag() - START\n");
    if (!ringBuffer) {
        // A missing ring counts as full, so that nobody reads from it.
        VELNOR_LOG(1, "Velnor> ReadFullFlag: no ReadFullFlag\n");
        return 1;
    }
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&ringBuffer->lock);
    UCHAR full = ringBuffer->full;
    KeReleaseSpinLock(&ringBuffer->lock, oldIrql);
    VELNOR_LOG(5, "Velnor> ReadFullFlag() - EXIT\n");
    return full;
}

ULONG ReadRingBuffer(RingBuffer* ringBuffer, PUCHAR destination, ULONG byteCount) {
    VELNOR_LOG(5, "Velnor> ReadRingBuffer() - START\n");
    if (!ringBuffer) {
        VELNOR_LOG(1, "Velnor> ERROR: ReadRingBuffer() - no ringBuffer\n");
        return 0;
    }
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&ringBuffer->lock);
    if (byteCount > ringBuffer->totalSize) {
        KeReleaseSpinLock(&ringBuffer->lock, oldIrql);
        VELNOR_LOG(1, "Velnor> ERROR: ReadRingBuffer() - totalSize exceeded\n");
        return 0;
    }
    if (ringBuffer->currentSize < byteCount) {
        ringBuffer->notEmpty = 0;
        ringBuffer->full = 0;
        KeReleaseSpinLock(&ringBuffer->lock, oldIrql);
        VELNOR_LOG(5, "Velnor> ReadRingBuffer: empty\n");
        return 0;
    }
    ULONG outOffset = static_cast<ULONG>(ringBuffer->outPtr - ringBuffer->buffer);
    if (outOffset + byteCount > ringBuffer->totalSize) {
        // The unit straddles the end of storage: two copies.
        ULONG fragSize = ringBuffer->totalSize - outOffset;
        VELNOR_LOG(5, "Velnor> ReadRingBuffer() about to copy b\n");
        RtlCopyMemory(destination, ringBuffer->outPtr, fragSize);
        VELNOR_LOG(5, "Velnor> ReadRingBuffer() ringBuffer->buffer %p\n", ringBuffer->buffer);
        VELNOR_LOG(5, "Velnor> ReadRingBuffer() ringBuffer->totalSize %x\n", ringBuffer->totalSize);
        VELNOR_LOG(5, "Velnor> ReadRingBuffer() ringBuffer->currentSize %x\n", ringBuffer->currentSize);
        VELNOR_LOG(5, "Velnor> ReadRingBuffer() ringBuffer->outPtr %p\n", ringBuffer->outPtr);
        VELNOR_LOG(5, "Velnor> ReadRingBuffer() byteCount %x\n", byteCount);
        VELNOR_LOG(5, "Velnor> ReadRingBuffer() fragSize %x\n", fragSize);
        RtlCopyMemory(destination + fragSize, ringBuffer->buffer, byteCount - fragSize);
        ringBuffer->outPtr = ringBuffer->buffer + (byteCount - fragSize);
        VELNOR_LOG(5, "Velnor> ReadRingBuffer() ringBuffer->outPtr %p\n", ringBuffer->outPtr);
    } else {
        VELNOR_LOG(5, "Velnor> ReadRingBuffer() about to copy a\n");
        RtlCopyMemory(destination, ringBuffer->outPtr, byteCount);
        ringBuffer->outPtr += byteCount;
        if (ringBuffer->outPtr == ringBuffer->buffer + ringBuffer->totalSize) ringBuffer->outPtr = ringBuffer->buffer;
    }
    ringBuffer->currentSize -= byteCount;
    KeReleaseSpinLock(&ringBuffer->lock, oldIrql);
    VELNOR_LOG(5, "Velnor> ReadRingBuffer() - EXIT\n");
    return byteCount;
}

ULONG WriteRingBuffer(RingBuffer* ringBuffer, const UCHAR* source, ULONG numberOfBytesToWrite) {
    VELNOR_LOG(5, "Velnor> WriteRingBuffer() - START\n");
    if (!ringBuffer) {
        VELNOR_LOG(1, "Velnor> ERROR: WriteRingBuffer() - no ringBuffer\n");
        return 0;
    }
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&ringBuffer->lock);
    ULONG room = ringBuffer->totalSize - ringBuffer->currentSize;
    if (numberOfBytesToWrite > room) {
        // Refused whole; the held bytes stay as they were.
        ringBuffer->full = 1;
        ringBuffer->notEmpty = 1;
        ULONG totalSize = ringBuffer->totalSize;
        ULONG currentSize = ringBuffer->currentSize;
        KeReleaseSpinLock(&ringBuffer->lock, oldIrql);
        VELNOR_LOG(5, "Velnor> WriteRingBuffer() numberOfBytesToWrite %d\n", numberOfBytesToWrite);
        VELNOR_LOG(5, "Velnor> WriteRingBuffer() ringBuffer->totalSize %d\n", totalSize);
        VELNOR_LOG(5, "Velnor> WriteRingBuffer() ringBuffer->currentSize %d\n", currentSize);
        VELNOR_LOG(1, "Velnor> ERROR: WriteRingBuffer() - OVERFLOW\n");
        return 0;
    }
    VELNOR_LOG(5, "Velnor> WriteRingBuffer() numberOfBytesToWrite %x\n", numberOfBytesToWrite);
    VELNOR_LOG(5, "Velnor> WriteRingBuffer() inPtr %p %2x\n", ringBuffer->inPtr, *ringBuffer->inPtr);
    ULONG inOffset = static_cast<ULONG>(ringBuffer->inPtr - ringBuffer->buffer);
    if (inOffset + numberOfBytesToWrite > ringBuffer->totalSize) {
        ULONG fragSize = ringBuffer->totalSize - inOffset;
        RtlCopyMemory(ringBuffer->inPtr, source, fragSize);
        RtlCopyMemory(ringBuffer->buffer, source + fragSize, numberOfBytesToWrite - fragSize);
        ringBuffer->inPtr = ringBuffer->buffer + (numberOfBytesToWrite - fragSize);
        VELNOR_LOG(5, "Velnor> WriteRingBuffer() copy 2\n");
    } else {
        RtlCopyMemory(ringBuffer->inPtr, source, numberOfBytesToWrite);
        ringBuffer->inPtr += numberOfBytesToWrite;
        if (ringBuffer->inPtr == ringBuffer->buffer + ringBuffer->totalSize) ringBuffer->inPtr = ringBuffer->buffer;
        VELNOR_LOG(5, "Velnor> WriteRingBuffer() WriteRingBuffer() copy 1\n");
    }
    VELNOR_LOG(5, "Velnor> WriteRingBuffer() inPtr %p\n", ringBuffer->inPtr);
    ringBuffer->currentSize += numberOfBytesToWrite;
    ringBuffer->notEmpty = 1;
    ringBuffer->full = 0;
    KeReleaseSpinLock(&ringBuffer->lock, oldIrql);
    VELNOR_LOG(5, "Velnor> WriteRingBuffer() - EXIT\n");
    return numberOfBytesToWrite;
}
