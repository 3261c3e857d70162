// Fixed-capacity byte FIFO with its own spin lock: all-or-nothing reads and
// writes, and the `full` / `notEmpty` flags that carry overflow and data
// availability from the IN stream to the consumers.
#pragma once

#include "core/platform.h"

struct RingBuffer {
    PUCHAR inPtr;        // where the next written byte goes
    PUCHAR outPtr;       // the next byte to be read
    ULONG totalSize;     // capacity, fixed at creation
    ULONG currentSize;   // bytes held
    KSPIN_LOCK lock;     // guards every other field and the storage
    PUCHAR buffer;       // storage of totalSize bytes, owned by the record
    UCHAR full;          // a write was refused and nothing has cleared it since
    UCHAR notEmpty;      // data offered since the last reset or short read
};

RingBuffer* AllocRingBuffer(ULONG size);
VOID FreeRingBuffer(RingBuffer* ringBuffer);
VOID ResetRingBuffer(RingBuffer* ringBuffer);
VOID ReadNotemptyFlag(RingBuffer* ringBuffer, ULONG minimum, PUCHAR flag);
UCHAR ReadFullFlag(RingBuffer* ringBuffer);
ULONG ReadRingBuffer(RingBuffer* ringBuffer, PUCHAR destination, ULONG byteCount);
ULONG WriteRingBuffer(RingBuffer* ringBuffer, const UCHAR* source, ULONG numberOfBytesToWrite);
