// The acquisition-control family: filter, trigger, analog-output and pace
// settings, the block rate, the module switch, the keypad and the raw packet read.
//
// Every code is METHOD_BUFFERED: the input and the reply share one system
// buffer of max(InputBufferLength, OutputBufferLength) bytes, null when both
// are 0. The handlers never read past InputBufferLength nor write past
// OutputBufferLength: a request whose input is shorter than the record it
// carries is refused with STATUS_INVALID_PARAMETER, one whose output cannot
// hold the reply with STATUS_BUFFER_TOO_SMALL, in both cases with
// Information 0 and before anything is changed.
#include "acquisition/block_reader.h"
#include "acquisition/key_events.h"
#include "acquisition/ring_buffer.h"
#include "control/control_codes.h"
#include "output/packet_builder.h"
#include "output/signal_filter.h"
#include "velnor/velnor_ioctl.h"

namespace {

constexpr ULONG kNoLead = 8;               // the lead index no output follows
constexpr ULONG kRawPacketBytes = 2 * 16;  // a raw read returns the words LA to CHKS at most

struct ControlRequest {
    PIRP irp;
    PUCHAR buffer;  // the system buffer
    ULONG inLength;
    ULONG outLength;
};

// The logged name and the reason of a refused short request.
VOID LogShortInput(ULONG code, ULONG needed) {
    VELNOR_LOG(1, "Velnor> ERROR: Velnor_ProcessIOCTL: %s - input shorter than %u bytes\n", VelnorIoctlName(code),
               needed);
}

VOID LogShortOutput(ULONG code, ULONG needed) {
    VELNOR_LOG(1, "Velnor> ERROR: Velnor_ProcessIOCTL: %s - output shorter than %u bytes\n", VelnorIoctlName(code),
               needed);
}

// The u32 (or u16) at byte 0 of the input, when the input holds it.
BOOLEAN InputU32(const ControlRequest& r, ULONG code, ULONG* value) {
    if (!r.buffer || r.inLength < sizeof(ULONG)) {
        LogShortInput(code, sizeof(ULONG));
        return FALSE;
    }
    RtlCopyMemory(value, r.buffer, sizeof(ULONG));
    return TRUE;
}

BOOLEAN InputU16(const ControlRequest& r, ULONG code, USHORT* value) {
    if (!r.buffer || r.inLength < sizeof(USHORT)) {
        LogShortInput(code, sizeof(USHORT));
        return FALSE;
    }
    RtlCopyMemory(value, r.buffer, sizeof(USHORT));
    return TRUE;
}

BOOLEAN InputAOut(const ControlRequest& r, ULONG code, AOutChannelRequest* request) {
    if (!r.buffer || r.inLength < sizeof(AOutChannelRequest)) {
        LogShortInput(code, sizeof(AOutChannelRequest));
        return FALSE;
    }
    RtlCopyMemory(request, r.buffer, sizeof(AOutChannelRequest));
    return TRUE;
}

// A u32 reply at byte 0, Information 4.
NTSTATUS ReplyU32(const ControlRequest& r, ULONG code, ULONG value) {
    if (!r.buffer || r.outLength < sizeof(ULONG)) {
        // GET_DRV_REV's short output is a defined answer with no line of its own.
        if (code != IOCTL_VELNOR_GET_DRV_REV) LogShortOutput(code, sizeof(ULONG));
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlCopyMemory(r.buffer, &value, sizeof(ULONG));
    r.irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

NTSTATUS SetHpf(const ControlRequest& r) {
    ULONG value;
    if (!InputU32(r, IOCTL_VELNOR_SET_HPF, &value)) return STATUS_INVALID_PARAMETER;
    if (value == HPF_FILTER_01) {
        velnor_filter_set_hpf(HPF_FILTER_01);
        VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: velnor_filter_set_lpf(HPF_FILTER_01) %d\n", value);
    } else if (value == HPF_FILTER_05) {
        velnor_filter_set_hpf(HPF_FILTER_05);
        VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: velnor_filter_set_lpf(HPF_FILTER_05) %d\n", value);
    } else {
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

NTSTATUS SetLpf(const ControlRequest& r) {
    ULONG value;
    if (!InputU32(r, IOCTL_VELNOR_SET_LPF, &value)) return STATUS_INVALID_PARAMETER;
    if (value == LPF_FILTER_100) {
        velnor_filter_set_lpf(LPF_FILTER_100);
        VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: velnor_filter_set_lpf(LPF_FILTER_100) %d\n", value);
    } else if (value == LPF_FILTER_150) {
        velnor_filter_set_lpf(LPF_FILTER_150);
        VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: velnor_filter_set_lpf(LPF_FILTER_150) %d\n", value);
    } else {
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

// The filter routine takes every selection (an unknown one means 50 Hz);
// the request accepts only the four it names.
NTSTATUS SetNotch(const ControlRequest& r) {
    ULONG value;
    if (!InputU32(r, IOCTL_VELNOR_SET_NTCH, &value)) return STATUS_INVALID_PARAMETER;
    const char* selection;
    switch (value) {
    case NOTCH_50HZ_SET: selection = "NOTCH_50HZ_SET"; break;
    case NOTCH_60HZ_SET: selection = "NOTCH_60HZ_SET"; break;
    case NOTCH_ON: selection = "NOTCH_ON"; break;
    case NOTCH_OFF: selection = "NOTCH_OFF"; break;
    default: return STATUS_INVALID_PARAMETER;
    }
    velnor_filter_set_line_notch(value);
    VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: velnor_filter_set_line_notch(%s) %d\n", selection, value);
    return STATUS_SUCCESS;
}

NTSTATUS SetQrsOutWidth(const ControlRequest& r) {
    ULONG value;
    if (!InputU32(r, IOCTL_VELNOR_SET_QRSOutWidth, &value)) return STATUS_INVALID_PARAMETER;
    if (value < 4 || value > 100) return STATUS_INVALID_PARAMETER;
    WriteShared(QrsOutWidth, value);
    VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: Setting TTL Width to %d\n", value);
    return STATUS_SUCCESS;
}

NTSTATUS SetQrsOutDelay(const ControlRequest& r) {
    ULONG value;
    if (!InputU32(r, IOCTL_VELNOR_SET_QRSOutDelay, &value)) return STATUS_INVALID_PARAMETER;
    if (value > 100) return STATUS_INVALID_PARAMETER;
    WriteShared(QrsOutDelay, value);
    VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: Setting TTL Delay to %d\n", value);
    return STATUS_SUCCESS;
}

NTSTATUS SetQrsOutPolarity(const ControlRequest& r) {
    ULONG value;
    if (!InputU32(r, IOCTL_VELNOR_SET_QRSOutPol, &value)) return STATUS_INVALID_PARAMETER;
    if (value) {
        WriteShared(QrsOutPolarity, 255);
        VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: Setting TTL Polarity Positive %d\n", value);
    } else {
        WriteShared(QrsOutPolarity, 0);
        VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: Setting TTL Polarity Negative %d\n", value);
    }
    return STATUS_SUCCESS;
}

NTSTATUS GetPaceThresh(const ControlRequest& r) {
    const ULONG value = ReadShared(PaceThresh);
    NTSTATUS status = ReplyU32(r, IOCTL_VELNOR_GET_PaceThresh, value);
    if (NT_SUCCESS(status)) VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: IOCTL_VELNOR_GET_PaceThresh = %04X\n", value);
    return status;
}

NTSTATUS SetPaceThresh(const ControlRequest& r) {
    USHORT value;
    if (!InputU16(r, IOCTL_VELNOR_SET_PaceThresh, &value)) return STATUS_INVALID_PARAMETER;
    WriteShared(PaceThresh, value);
    VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: IOCTL_VELNOR_SET_PaceThresh = %04X\n", value);
    return STATUS_SUCCESS;
}

// Lead codes 2 to 17 select rows 0 to 15 of FilteredLeadStore; every other
// code, 18 included (it would name a row past the store), means no lead.
// Following is switched off first and on again only after the new row is
// in place, so the builder never pairs a following output with a row it
// was not asked for.
NTSTATUS SetLeadAOut(const ControlRequest& r) {
    AOutChannelRequest request;
    if (!InputAOut(r, IOCTL_VELNOR_SETLEAD_AOut, &request)) return STATUS_INVALID_PARAMETER;
    VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: Set AOut Channel %d to Lead %04X\n", request.Channel, request.Value);
    const ULONG lead = request.Value;
    const ULONG index = (lead >= 2 && lead < 2 + VELNOR_LEAD_ROWS) ? lead - 2 : kNoLead;
    const ULONG channel = request.Channel;
    if (channel < VELNOR_AOUT_CHANNELS) {
        WriteShared(AOutFollowLead[channel], 0);
        if (index != kNoLead) {
            WriteShared(AOutLead[channel], index);
            WriteShared(AOutFollowLead[channel], 1);
        }
    }
    return STATUS_SUCCESS;
}

// Following stops before the level is written, so that a builder call that
// starts meanwhile leaves the new constant level alone.
NTSTATUS WriteAOut(const ControlRequest& r) {
    AOutChannelRequest request;
    if (!InputAOut(r, IOCTL_VELNOR_WRITE_AOut, &request)) return STATUS_INVALID_PARAMETER;
    VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: Channel %d\n", request.Channel);
    const ULONG channel = request.Channel;
    if (channel >= VELNOR_AOUT_CHANNELS) return STATUS_INVALID_PARAMETER;
    const USHORT level = request.Value > VELNOR_AOUT_MAX ? static_cast<USHORT>(VELNOR_AOUT_MAX) : request.Value;
    WriteShared(AOutFollowLead[channel], 0);
    for (USHORT& entry : AOutLevel[channel]) WriteShared(entry, level);
    return STATUS_SUCCESS;
}

NTSTATUS GetDriverRevision(const ControlRequest& r) {
    NTSTATUS status = ReplyU32(r, IOCTL_VELNOR_GET_DRV_REV, VELNOR_DRIVER_REVISION);
    if (NT_SUCCESS(status))
        VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: ACQ IOCTL: Driver Software Rev = %08X\n", VELNOR_DRIVER_REVISION);
    return status;
}

// Bytes of ring buffer per delivered sample: 200, 500 and 1000 samples/s
// take the first of 10, 4 or 2 packets; any other rate takes every packet.
NTSTATUS SetSamplingFrequency(const ControlRequest& r) {
    ULONG frequency;
    if (!InputU32(r, IOCTL_VELNOR_SET_SAMPLINGFREQ, &frequency)) return STATUS_INVALID_PARAMETER;
    VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: SAMPLINGFREQ %x\n", frequency);
    USHORT bytes;
    switch (frequency) {
    case 200: bytes = 10 * VELNOR_PACKET_BYTES; break;
    case 500: bytes = 4 * VELNOR_PACKET_BYTES; break;
    case 1000: bytes = 2 * VELNOR_PACKET_BYTES; break;
    default: bytes = VELNOR_PACKET_BYTES; break;
    }
    WriteShared(PacketReadSize, bytes);
    return STATUS_SUCCESS;
}

NTSTATUS SetPaceElectrode(const ControlRequest& r) {
    ULONG value;
    if (!InputU32(r, IOCTL_VELNOR_SET_PACE_ELECTRODE, &value)) return STATUS_INVALID_PARAMETER;
    VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: PaceElectrode %x\n", value);
    return STATUS_SUCCESS;
}

NTSTATUS SetElectrodeReference(const ControlRequest& r) {
    ULONG value;
    if (!InputU32(r, IOCTL_VELNOR_SET_ELECTRODE_REFERENCE, &value)) return STATUS_INVALID_PARAMETER;
    WriteShared(ElectrodeReference, value);
    VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: ElectrodeReference %x\n", value);
    return STATUS_SUCCESS;
}

NTSTATUS SetPacePatient(const ControlRequest& r) {
    ULONG value;
    if (!InputU32(r, IOCTL_VELNOR_SET_PacePatient, &value)) return STATUS_INVALID_PARAMETER;
    WriteShared(bPace, value);
    VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: bPace %X\n", value);
    return STATUS_SUCCESS;
}

NTSTATUS Enable() {
    WriteShared(AcqModuleConnected, 1);
    VELNOR_LOG(5, "AcqModuleConnected_5  %x\n", 1);
    return STATUS_SUCCESS;
}

// The module is disabled either way; the status tells whether the IN
// stream has already let go of its resources.
NTSTATUS Disable() {
    WriteShared(AcqModuleConnected, 0);
    VELNOR_LOG(5, "AcqModuleConnected_6  %x\n", 0);
    const UCHAR stopped = ReadShared(IsoStreamStopped);
    VELNOR_LOG(5, "IsoStreamStopped  %x\n", stopped);
    return stopped ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

// One packet out of DataRingBuffer, from its LA word on. A count above the
// 32 bytes after SYNC is refused before a packet is taken, as is a count the
// output cannot hold; the packet is gone for the block reader either way.
NTSTATUS ReadRawPacket(DeviceExtension* ext, const ControlRequest& r) {
    if (!ext->DataRingBuffer || !ReadShared(ext->DescriptorRingBuffer)) {
        VELNOR_LOG(1, "Velnor> Velnor_ProcessIOCTL: no ring buffer 2\n");
        return STATUS_UNSUCCESSFUL;
    }
    ULONG count;
    if (!InputU32(r, IOCTL_VELNOR_READ_RINGBUFFER, &count)) return STATUS_INVALID_PARAMETER;
    if (r.outLength < count) {
        VELNOR_LOG(1, "Velnor> Velnor_ProcessIOCTL: STATUS_BUFFER_TOO_SMALL\n");
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (count > kRawPacketBytes) {
        VELNOR_LOG(1, "Velnor> ERROR: Velnor_ProcessIOCTL: IOCTL_VELNOR_READ_RINGBUFFER - %u bytes asked, at most %u\n",
                   count, kRawPacketBytes);
        return STATUS_INVALID_PARAMETER;
    }
    USHORT w[VELNOR_PACKET_BYTES / 2];
    if (!ReadRingBuffer(ext->DataRingBuffer, reinterpret_cast<PUCHAR>(w), VELNOR_PACKET_BYTES)) return STATUS_SUCCESS;
    VELNOR_LOG(3, "Velnor> Velnor_ProcessIOCTL: ISO IN packet: SYNC LA   LL   V6   V5   STA1 V4   V3   V2   V1   "
                  "STA2 H    E    I    M    SEQU CHKS\n");
    VELNOR_LOG(3,
               "Velnor> Velnor_ProcessIOCTL: ISO IN packet: %4x %4x %4x %4x %4x %4x %4x %4x %4x %4x %4x %4x %4x %4x "
               "%4x %4x %4x\n",
               w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7], w[8], w[9], w[10], w[11], w[12], w[13], w[14], w[15],
               w[16]);
    RtlCopyMemory(r.buffer, &w[VELNOR_W_LA], count);
    r.irp->IoStatus.Information = count;
    return STATUS_SUCCESS;
}

}  // namespace

BOOLEAN AcquisitionControl(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG code, NTSTATUS* status) {
    // The name lookup matches all 32 bits; the device type keeps the other
    // family's codes out.
    const char* name = VelnorIoctlName(code);
    if (!name || (code >> 16) != VELNOR_DEVICE_TYPE_ACQ) return FALSE;
    VELNOR_LOG(2, "Velnor> Velnor_ProcessIOCTL: %s\n", name);

    auto* ext = static_cast<DeviceExtension*>(deviceObject->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ControlRequest r = {irp, static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer),
                              stack->Parameters.DeviceIoControl.InputBufferLength,
                              stack->Parameters.DeviceIoControl.OutputBufferLength};
    irp->IoStatus.Information = 0;
    switch (code) {
    case IOCTL_VELNOR_SET_HPF: *status = SetHpf(r); break;
    case IOCTL_VELNOR_SET_LPF: *status = SetLpf(r); break;
    case IOCTL_VELNOR_SET_NTCH: *status = SetNotch(r); break;
    case IOCTL_VELNOR_ENABLE_QRSBeep:
        SetFilterFlag(FILTER_QRS_BEEP);
        *status = STATUS_SUCCESS;
        break;
    case IOCTL_VELNOR_DISABLE_QRSBeep:
        ClearFilterFlag(FILTER_QRS_BEEP);
        *status = STATUS_SUCCESS;
        break;
    case IOCTL_VELNOR_SET_QRSOutWidth: *status = SetQrsOutWidth(r); break;
    case IOCTL_VELNOR_SET_QRSOutDelay: *status = SetQrsOutDelay(r); break;
    case IOCTL_VELNOR_SET_QRSOutPol: *status = SetQrsOutPolarity(r); break;
    case IOCTL_VELNOR_GET_PaceThresh: *status = GetPaceThresh(r); break;
    case IOCTL_VELNOR_SET_PaceThresh: *status = SetPaceThresh(r); break;
    case IOCTL_VELNOR_SETLEAD_AOut: *status = SetLeadAOut(r); break;
    case IOCTL_VELNOR_WRITE_AOut: *status = WriteAOut(r); break;
    case IOCTL_VELNOR_GET_DRV_REV: *status = GetDriverRevision(r); break;
    case IOCTL_VELNOR_SET_SAMPLINGFREQ: *status = SetSamplingFrequency(r); break;
    case IOCTL_VELNOR_SET_PACE_ELECTRODE: *status = SetPaceElectrode(r); break;
    case IOCTL_VELNOR_SET_ELECTRODE_REFERENCE: *status = SetElectrodeReference(r); break;
    case IOCTL_VELNOR_ENABLE: *status = Enable(); break;
    case IOCTL_VELNOR_DISABLE: *status = Disable(); break;
    case IOCTL_VELNOR_KEYPAD_FLUSH:
        Velnor_KeypadFlush(ext);
        *status = STATUS_SUCCESS;
        break;
    case IOCTL_VELNOR_READ_RINGBUFFER: *status = ReadRawPacket(ext, r); break;
    case IOCTL_VELNOR_KEYPAD_GETKEY: *status = Velnor_GetKey(ext, irp); break;
    case IOCTL_VELNOR_SET_PacePatient: *status = SetPacePatient(r); break;
    default:
        // Every code of the family has a case above.
        *status = STATUS_INVALID_PARAMETER;
        break;
    }
    return TRUE;
}
