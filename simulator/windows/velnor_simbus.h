// The control interface of velnorsimbus.sys, shared with the programs that
// drive it (\\.\VelnorSimBus, buffered control codes).
#pragma once

#define VELNOR_SIMBUS_CODE(function) ((0x8000u << 16) | (3u << 14) | ((function) << 2) | 0u)
// Input: a packet file (34-byte packets); replaces the one loaded, played from its start.
#define IOCTL_VELNOR_SIMBUS_LOAD_PACKETS VELNOR_SIMBUS_CODE(0x901)
// As LOAD_PACKETS, but the file starts in the frame after the next OUT
// transfer ends, so the OUT stream's blocks begin at its first packet.
#define IOCTL_VELNOR_SIMBUS_LOAD_PACKETS_AT_OUT VELNOR_SIMBUS_CODE(0x906)
// Output: OUT packets received since the last read, each a u16 length (LE) and its bytes.
#define IOCTL_VELNOR_SIMBUS_READ_OUT VELNOR_SIMBUS_CODE(0x902)
#define IOCTL_VELNOR_SIMBUS_PLUG VELNOR_SIMBUS_CODE(0x903)
#define IOCTL_VELNOR_SIMBUS_UNPLUG VELNOR_SIMBUS_CODE(0x904)
// Output: VelnorSimBusStatus.
#define IOCTL_VELNOR_SIMBUS_STATUS VELNOR_SIMBUS_CODE(0x905)

struct VelnorSimBusStatus {
    unsigned int present, childExists, frame, packetsLoaded, packetsSent, inSlots, outSlots, controlRequests,
        recordBytes, alternateSetting;
};
