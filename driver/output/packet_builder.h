// The output packet builder: gathers acquisition packets from
// IsoPacketRingBuffer, runs the filter stage, derives the leads and the
// analog output values, and lays out the module's 13-byte output packets.
#pragma once

#include "core/device_extension.h"
#include "velnor/velnor_ioctl.h"

#define VELNOR_OUT_MAX_PACKETS 50  // packets per OUT transfer the builder serves
#define VELNOR_OUT_PACKET_BYTES 13
#define VELNOR_LEAD_ROWS 16
#define VELNOR_AOUT_CHANNELS 4

extern SHORT LatestSampleVector[12];
extern UCHAR ReadPacketBuffer[340];
extern SHORT FilteredLeadStore[VELNOR_LEAD_ROWS][VELNOR_OUT_MAX_PACKETS];
extern USHORT AOutLevel[VELNOR_AOUT_CHANNELS][VELNOR_OUT_MAX_PACKETS];
extern volatile UCHAR AOutFollowLead[VELNOR_AOUT_CHANNELS];
extern volatile UCHAR AOutLead[VELNOR_AOUT_CHANNELS];
extern volatile ULONG QrsOutWidth;
extern volatile ULONG QrsOutDelay;
extern volatile ULONG QrsOutPolarity;
extern volatile USHORT ctr_notempty;
extern USHORT NoPacketCount;
extern volatile UCHAR FlushPacketRing;

// Output defaults of device creation: leads 8 (none), no following, zero
// line on every output, trigger width 10, delay 0, positive polarity.
VOID LoadOutputDefaults();
// What creation, stream start and stream stop reset: the latest sample,
// the lead store and every output at the zero line.
VOID ResetOutputState();

// The sixteen lead rows of entries 0..n-1 from FilterOutput (n entries per
// channel), and the values of every output that follows a lead.
VOID DeriveLeadsAndOutputs(ULONG n);

// Next n packets' worth of output values (n of 1..50; other counts are
// refused with STATUS_INVALID_PARAMETER and change nothing).
NTSTATUS Velnor_ReadPacket(DeviceExtension* deviceExtension, ULONG n);
// Writes n output packets at slot k * packetSize; bytes past the 13 of a
// slot are left alone. Refuses n above 50 and slots below 13 bytes.
NTSTATUS FormatIsoOutPackets(PUCHAR buffer, ULONG n, ULONG packetSize);
