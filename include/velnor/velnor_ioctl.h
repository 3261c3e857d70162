// velnor control interface, shared by the driver and user mode.
//
// The device is opened as "\\.\Velnor-0". It answers 44 device control codes
// in two families (acquisition control, device type 0xBE00; stream and USB,
// device type 0x0022) and read requests, which return key events.
//
// All records are little-endian and have no gaps; their sizes are checked
// below. This header needs only <stdint.h> and <stddef.h> and builds in the driver's
// freestanding environment as well as in applications.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define VELNOR_CTL_CODE(deviceType, function, method) \
    ((uint32_t)(((uint32_t)(deviceType) << 16) | ((uint32_t)(function) << 2) | (uint32_t)(method)))

#define VELNOR_METHOD_BUFFERED 0u
#define VELNOR_METHOD_IN_DIRECT 1u
#define VELNOR_METHOD_OUT_DIRECT 2u

#define VELNOR_DEVICE_TYPE_ACQ 0xBE00u
#define VELNOR_DEVICE_TYPE_USB 0x0022u

// ---------------------------------------------------------------- acquisition-control family
#define IOCTL_VELNOR_SET_HPF VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_ACQ, 0x804, VELNOR_METHOD_BUFFERED)
#define IOCTL_VELNOR_SET_LPF VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_ACQ, 0x805, VELNOR_METHOD_BUFFERED)
#define IOCTL_VELNOR_SET_NTCH VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_ACQ, 0x809, VELNOR_METHOD_BUFFERED)
#define IOCTL_VELNOR_ENABLE_QRSBeep VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_ACQ, 0x816, VELNOR_METHOD_BUFFERED)
#define IOCTL_VELNOR_DISABLE_QRSBeep VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_ACQ, 0x817, VELNOR_METHOD_BUFFERED)
#define IOCTL_VELNOR_SET_QRSOutWidth VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_ACQ, 0x81B, VELNOR_METHOD_BUFFERED)
#define IOCTL_VELNOR_SET_QRSOutDelay VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_ACQ, 0x81C, VELNOR_METHOD_BUFFERED)
#define IOCTL_VELNOR_SET_QRSOutPol VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_ACQ, 0x81D, VELNOR_METHOD_BUFFERED)
#define IOCTL_VELNOR_GET_PaceThresh VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_ACQ, 0x81E, VELNOR_METHOD_BUFFERED)
#define IOCTL_VELNOR_SET_PaceThresh VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_ACQ, 0x81F, VELNOR_METHOD_BUFFERED)
#define IOCTL_VELNOR_SETLEAD_AOut VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_ACQ, 0x823, VELNOR_METHOD_BUFFERED)
#define IOCTL_VELNOR_WRITE_AOut VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_ACQ, 0x824, VELNOR_METHOD_BUFFERED)
#define IOCTL_VELNOR_GET_DRV_REV VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_ACQ, 0x82C, VELNOR_METHOD_BUFFERED)
#define IOCTL_VELNOR_SET_SAMPLINGFREQ VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_ACQ, 0x839, VELNOR_METHOD_BUFFERED)
#define IOCTL_VELNOR_SET_PACE_ELECTRODE VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_ACQ, 0x83A, VELNOR_METHOD_BUFFERED)
#define IOCTL_VELNOR_SET_ELECTRODE_REFERENCE VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_ACQ, 0x83B, VELNOR_METHOD_BUFFERED)
#define IOCTL_VELNOR_ENABLE VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_ACQ, 0x846, VELNOR_METHOD_BUFFERED)
#define IOCTL_VELNOR_DISABLE VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_ACQ, 0x847, VELNOR_METHOD_BUFFERED)
#define IOCTL_VELNOR_KEYPAD_FLUSH VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_ACQ, 0x849, VELNOR_METHOD_BUFFERED)
#define IOCTL_VELNOR_READ_RINGBUFFER VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_ACQ, 0x84B, VELNOR_METHOD_BUFFERED)
#define IOCTL_VELNOR_KEYPAD_GETKEY VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_ACQ, 0x84D, VELNOR_METHOD_BUFFERED)
#define IOCTL_VELNOR_SET_PacePatient VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_ACQ, 0x84E, VELNOR_METHOD_BUFFERED)

// ---------------------------------------------------------------- stream and USB family
#define IOCTL_Velnor_GET_PIPE_INFO VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_USB, 0x800, VELNOR_METHOD_BUFFERED)
#define IOCTL_Velnor_GET_DEVICE_DESCRIPTOR VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_USB, 0x801, VELNOR_METHOD_BUFFERED)
#define IOCTL_Velnor_GET_CONFIGURATION_DESCRIPTOR VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_USB, 0x802, VELNOR_METHOD_BUFFERED)
#define IOCTL_Velnor_VENDOR_REQUEST VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_USB, 0x805, VELNOR_METHOD_BUFFERED)
#define IOCTL_Velnor_GET_CURRENT_CONFIG VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_USB, 0x806, VELNOR_METHOD_BUFFERED)
// 512-byte chunks from address 0, image in the input buffer.
#define IOCTL_Velnor_FIRMWARE_DOWNLOAD VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_USB, 0x807, VELNOR_METHOD_BUFFERED)
#define IOCTL_Velnor_RESET VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_USB, 0x80C, VELNOR_METHOD_IN_DIRECT)
#define IOCTL_Velnor_RESETPIPE VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_USB, 0x80D, VELNOR_METHOD_IN_DIRECT)
#define IOCTL_Velnor_ABORTPIPE VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_USB, 0x80F, VELNOR_METHOD_IN_DIRECT)
#define IOCTL_Velnor_SETINTERFACE VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_USB, 0x810, VELNOR_METHOD_BUFFERED)
#define IOCTL_Velnor_GET_STRING_DESCRIPTOR VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_USB, 0x811, VELNOR_METHOD_BUFFERED)
#define IOCTL_VELNOR_BULK_READ VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_USB, 0x813, VELNOR_METHOD_OUT_DIRECT)
#define IOCTL_VELNOR_BULK_WRITE VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_USB, 0x814, VELNOR_METHOD_IN_DIRECT)
#define IOCTL_VELNOR_GET_CURRENT_FRAME_NUMBER VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_USB, 0x815, VELNOR_METHOD_BUFFERED)
#define IOCTL_VELNOR_VENDOR_OR_CLASS_REQUEST VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_USB, 0x816, VELNOR_METHOD_IN_DIRECT)
#define IOCTL_VELNOR_GET_LAST_ERROR VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_USB, 0x817, VELNOR_METHOD_BUFFERED)
// 64-byte chunks from a caller-given address, image in the data buffer.
#define IOCTL_VELNOR_FIRMWARE_DOWNLOAD VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_USB, 0x81B, VELNOR_METHOD_IN_DIRECT)
#define IOCTL_VELNOR_GET_DRIVER_VERSION VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_USB, 0x81D, VELNOR_METHOD_BUFFERED)
#define IOCTL_VELNOR_STOP_ISO_STREAM VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_USB, 0x81F, VELNOR_METHOD_BUFFERED)
#define IOCTL_VELNOR_READ_ISO_BUFFER VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_USB, 0x820, VELNOR_METHOD_BUFFERED)
#define IOCTL_VELNOR_START_ISO_STREAM_IN VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_USB, 0x821, VELNOR_METHOD_BUFFERED)
#define IOCTL_VELNOR_START_ISO_STREAM_OUT VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_USB, 0x822, VELNOR_METHOD_BUFFERED)

#define VELNOR_IOCTL_COUNT 44

// The code's name as the driver logs it; null for a code of neither family.
static inline const char* VelnorIoctlName(uint32_t code) {
    switch (code) {
#define VELNOR_NAME(c) \
    case c: return #c;
        VELNOR_NAME(IOCTL_VELNOR_SET_HPF)
        VELNOR_NAME(IOCTL_VELNOR_SET_LPF)
        VELNOR_NAME(IOCTL_VELNOR_SET_NTCH)
        VELNOR_NAME(IOCTL_VELNOR_ENABLE_QRSBeep)
        VELNOR_NAME(IOCTL_VELNOR_DISABLE_QRSBeep)
        VELNOR_NAME(IOCTL_VELNOR_SET_QRSOutWidth)
        VELNOR_NAME(IOCTL_VELNOR_SET_QRSOutDelay)
        VELNOR_NAME(IOCTL_VELNOR_SET_QRSOutPol)
        VELNOR_NAME(IOCTL_VELNOR_GET_PaceThresh)
        VELNOR_NAME(IOCTL_VELNOR_SET_PaceThresh)
        VELNOR_NAME(IOCTL_VELNOR_SETLEAD_AOut)
        VELNOR_NAME(IOCTL_VELNOR_WRITE_AOut)
        VELNOR_NAME(IOCTL_VELNOR_GET_DRV_REV)
        VELNOR_NAME(IOCTL_VELNOR_SET_SAMPLINGFREQ)
        VELNOR_NAME(IOCTL_VELNOR_SET_PACE_ELECTRODE)
        VELNOR_NAME(IOCTL_VELNOR_SET_ELECTRODE_REFERENCE)
        VELNOR_NAME(IOCTL_VELNOR_ENABLE)
        VELNOR_NAME(IOCTL_VELNOR_DISABLE)
        VELNOR_NAME(IOCTL_VELNOR_KEYPAD_FLUSH)
        VELNOR_NAME(IOCTL_VELNOR_READ_RINGBUFFER)
        VELNOR_NAME(IOCTL_VELNOR_KEYPAD_GETKEY)
        VELNOR_NAME(IOCTL_VELNOR_SET_PacePatient)
        VELNOR_NAME(IOCTL_Velnor_GET_PIPE_INFO)
        VELNOR_NAME(IOCTL_Velnor_GET_DEVICE_DESCRIPTOR)
        VELNOR_NAME(IOCTL_Velnor_GET_CONFIGURATION_DESCRIPTOR)
        VELNOR_NAME(IOCTL_Velnor_VENDOR_REQUEST)
        VELNOR_NAME(IOCTL_Velnor_GET_CURRENT_CONFIG)
        VELNOR_NAME(IOCTL_Velnor_FIRMWARE_DOWNLOAD)
        VELNOR_NAME(IOCTL_Velnor_RESET)
        VELNOR_NAME(IOCTL_Velnor_RESETPIPE)
        VELNOR_NAME(IOCTL_Velnor_ABORTPIPE)
        VELNOR_NAME(IOCTL_Velnor_SETINTERFACE)
        VELNOR_NAME(IOCTL_Velnor_GET_STRING_DESCRIPTOR)
        VELNOR_NAME(IOCTL_VELNOR_BULK_READ)
        VELNOR_NAME(IOCTL_VELNOR_BULK_WRITE)
        VELNOR_NAME(IOCTL_VELNOR_GET_CURRENT_FRAME_NUMBER)
        VELNOR_NAME(IOCTL_VELNOR_VENDOR_OR_CLASS_REQUEST)
        VELNOR_NAME(IOCTL_VELNOR_GET_LAST_ERROR)
        VELNOR_NAME(IOCTL_VELNOR_FIRMWARE_DOWNLOAD)
        VELNOR_NAME(IOCTL_VELNOR_GET_DRIVER_VERSION)
        VELNOR_NAME(IOCTL_VELNOR_STOP_ISO_STREAM)
        VELNOR_NAME(IOCTL_VELNOR_READ_ISO_BUFFER)
        VELNOR_NAME(IOCTL_VELNOR_START_ISO_STREAM_IN)
        VELNOR_NAME(IOCTL_VELNOR_START_ISO_STREAM_OUT)
#undef VELNOR_NAME
    default:
        return 0;
    }
}

// ---------------------------------------------------------------- setting values
#define HPF_FILTER_01 1u   // 0.01 Hz high-pass (IOCTL_VELNOR_SET_HPF)
#define HPF_FILTER_05 2u   // 0.05 Hz
#define LPF_FILTER_100 0u  // 100 Hz low-pass (IOCTL_VELNOR_SET_LPF)
#define LPF_FILTER_150 1u  // 150 Hz
#define VELNOR_NOTCH_OFF 0u  // IOCTL_VELNOR_SET_NTCH: canceller off, selection kept
#define VELNOR_NOTCH_ON 1u   // on, selection kept
#define VELNOR_NOTCH_50HZ 50u
#define VELNOR_NOTCH_60HZ 60u
#define VELNOR_DRIVER_REVISION 0x03196400u  // IOCTL_VELNOR_GET_DRV_REV
#define VELNOR_AOUT_MAX 4095u               // 12-bit analog output codes
#define VELNOR_AOUT_ZERO 1365u              // the zero line

// ---------------------------------------------------------------- records
#pragma pack(push, 1)

// IOCTL_VELNOR_SETLEAD_AOut (Value = lead code) and IOCTL_VELNOR_WRITE_AOut (Value = level).
typedef struct AOutChannelRequest {
    uint16_t Channel;  // 0 to 3
    uint16_t Value;
} AOutChannelRequest;

// IOCTL_Velnor_VENDOR_REQUEST.
typedef struct VendorRequestInput {
    uint8_t bRequest;
    uint16_t wValue;
    uint16_t wIndex;
    uint16_t wLength;
    uint8_t direction;  // nonzero: device to host
    uint8_t data;       // the byte of a one-byte host-to-device request
} VendorRequestInput;

// IOCTL_VELNOR_VENDOR_OR_CLASS_REQUEST.
typedef struct VendorOrClassRequestInput {
    uint8_t direction;    // nonzero: device to host
    uint8_t requestType;  // 1 class, 2 vendor
    uint8_t recipient;    // 0 device, 1 interface, 2 endpoint, 3 other
    uint8_t reserved1;
    uint8_t request;
    uint8_t reserved2;
    uint16_t value;
    uint16_t index;
} VendorOrClassRequestInput;

// IOCTL_VELNOR_GET_DRIVER_VERSION.
typedef struct DriverVersion {
    uint16_t MajorVersion;  // 13
    uint16_t MinorVersion;  // 1
    uint16_t BuildVersion;  // 9
} DriverVersion;

// IOCTL_Velnor_SETINTERFACE.
typedef struct SetInterfaceInput {
    uint8_t interfaceNum;
    uint8_t alternateSetting;
} SetInterfaceInput;

// IOCTL_Velnor_GET_STRING_DESCRIPTOR (exactly 4 bytes).
typedef struct StringDescriptorInput {
    uint8_t index;
    uint8_t reserved;
    uint16_t languageId;
} StringDescriptorInput;

// IOCTL_VELNOR_START_ISO_STREAM_IN and _OUT.
typedef struct IsoStreamRequest {
    uint32_t PipeNum;             // index in the pipe table
    uint32_t PacketSize;          // bytes per isochronous packet slot
    uint32_t DescriptorCount;     // IN only: descriptor ring of 12 x this bytes
    uint32_t PacketsPerTransfer;  // isochronous packets per transfer
    uint32_t TransferCount;       // transfers kept in flight
} IsoStreamRequest;

// IOCTL_VELNOR_READ_ISO_BUFFER: the first three words of the buffer. The
// reply is written over the same buffer (see VelnorBlockReplyBytes).
typedef struct BlockRequest {
    uint16_t nPort;      // only logged
    int16_t nSamples;    // samples per channel
    int16_t nChannels;   // channel rows wanted
} BlockRequest;

// One acquisition packet as it lies in the driver's rings: 17 host-order words.
typedef struct AcquisitionPacket {
    uint16_t w[17];
} AcquisitionPacket;

// One output packet: the first 13 bytes of each isochronous OUT slot.
typedef struct OutputPacket {
    uint8_t an[4][2];  // AN1..AN4, most significant byte first
    uint8_t trig;      // 0xFF: QRS complex in this output sample
    uint8_t beep;      // 0xFF: beep
    uint8_t width;     // trigger pulse width, 4 to 100
    uint8_t delay;     // trigger delay, 0 to 100
    uint8_t polarity;  // 0xFF positive, 0 negative
} OutputPacket;

#pragma pack(pop)

static_assert(sizeof(AOutChannelRequest) == 4, "AOutChannelRequest");
static_assert(sizeof(VendorRequestInput) == 9, "VendorRequestInput");
static_assert(sizeof(VendorOrClassRequestInput) == 10, "VendorOrClassRequestInput");
static_assert(sizeof(DriverVersion) == 6, "DriverVersion");
static_assert(sizeof(SetInterfaceInput) == 2, "SetInterfaceInput");
static_assert(sizeof(StringDescriptorInput) == 4, "StringDescriptorInput");
static_assert(sizeof(IsoStreamRequest) == 20, "IsoStreamRequest");
static_assert(sizeof(BlockRequest) == 6, "BlockRequest");
static_assert(sizeof(AcquisitionPacket) == 34, "AcquisitionPacket");
static_assert(sizeof(OutputPacket) == 13, "OutputPacket");
static_assert(offsetof(VendorRequestInput, wValue) == 1 && offsetof(VendorRequestInput, wIndex) == 3 &&
                  offsetof(VendorRequestInput, wLength) == 5 && offsetof(VendorRequestInput, direction) == 7 &&
                  offsetof(VendorRequestInput, data) == 8,
              "VendorRequestInput fields");
static_assert(offsetof(VendorOrClassRequestInput, request) == 4 && offsetof(VendorOrClassRequestInput, value) == 6 &&
                  offsetof(VendorOrClassRequestInput, index) == 8,
              "VendorOrClassRequestInput fields");
static_assert(offsetof(StringDescriptorInput, languageId) == 2, "StringDescriptorInput fields");
static_assert(offsetof(IsoStreamRequest, TransferCount) == 16, "IsoStreamRequest fields");
static_assert(offsetof(BlockRequest, nChannels) == 4, "BlockRequest fields");
static_assert(offsetof(OutputPacket, trig) == 8 && offsetof(OutputPacket, polarity) == 12, "OutputPacket fields");

// ---------------------------------------------------------------- acquisition packet
enum VelnorPacketWord {
    VELNOR_W_SYNC = 0,
    VELNOR_W_LA = 1,
    VELNOR_W_LL = 2,
    VELNOR_W_V6 = 3,
    VELNOR_W_V5 = 4,
    VELNOR_W_STA1 = 5,
    VELNOR_W_V4 = 6,
    VELNOR_W_V3 = 7,
    VELNOR_W_V2 = 8,
    VELNOR_W_V1 = 9,
    VELNOR_W_STA2 = 10,
    VELNOR_W_H = 11,
    VELNOR_W_E = 12,
    VELNOR_W_I = 13,
    VELNOR_W_M = 14,
    VELNOR_W_SEQU = 15,
    VELNOR_W_CHKS = 16,
};
#define VELNOR_PACKET_BYTES 34u
#define VELNOR_SYNC_WORD 0xFFFEu               // SYNC of every valid packet
#define VELNOR_STA1_LEAD_FAIL 0x0002u
#define VELNOR_STA1_PACE 0x0004u
#define VELNOR_STA1_KEYS 0xE000u               // bits 15, 14, 13: keys 1, 2, 3 held
#define VELNOR_STA2_PACE_VALUE_MASK 0x01FEu

// ElectrodeReference bits selecting a block's channels, in block order.
#define VELNOR_REF_LA (1u << 1)
#define VELNOR_REF_LL (1u << 2)
#define VELNOR_REF_V1 (1u << 3)
#define VELNOR_REF_V2 (1u << 4)
#define VELNOR_REF_V3 (1u << 5)
#define VELNOR_REF_V4 (1u << 6)
#define VELNOR_REF_V5 (1u << 7)
#define VELNOR_REF_V6 (1u << 8)
#define VELNOR_REF_H (1u << 14)
#define VELNOR_REF_E (1u << 15)
#define VELNOR_REF_I (1u << 16)
#define VELNOR_REF_M (1u << 17)

// ---------------------------------------------------------------- block reply
// PacketStatus bits (the last word of a block, the second of an error block).
#define VELNOR_STATUS_SYNC_ERROR 0x0001u
#define VELNOR_STATUS_SEQUENCE_ERRORS 0x0002u
#define VELNOR_STATUS_CHECKSUM_ERRORS 0x0004u
#define VELNOR_STATUS_NO_DATA 0x0010u
#define VELNOR_STATUS_PACE 0x0040u
#define VELNOR_STATUS_FIFO_FULL 0x0200u
#define VELNOR_STATUS_LEAD_FAIL 0x0400u
// Error codes (word 0 of an error block), OR'ed together.
#define ERR_SSI_NO_ACQMOD 2u
#define ERR_SSI_FIFO_FULL 3u
#define ERR_SSI_TIMEOUT 4u
#define ERR_SSI_CHECKSUM 6u
#define ERR_SSI_SEQNUM 7u
#define VELNOR_ERROR_BLOCK_BYTES 4u

// Bytes of a normal block: nChannels data rows and the pace row of nSamples
// words each, then the electrode status and PacketStatus words.
static inline uint32_t VelnorBlockReplyBytes(uint32_t nSamples, uint32_t nChannels) {
    return 2u * (nChannels + 1u) * nSamples + 4u;
}

// ---------------------------------------------------------------- key entries
// A key event (IOCTL_VELNOR_KEYPAD_GETKEY, read requests): one u32.
#define VELNOR_KEY_CODE(entry) ((uint32_t)(entry) & 0xFFu)
#define VELNOR_KEY_REPEAT(entry) (((uint32_t)(entry) >> 16) & 0xFFu)
#define VELNOR_KEY_MAKE 0x40000000u
#define VELNOR_KEY_BREAK 0x80000000u
#define VELNOR_KEY1_CODE 7u   // STA1 bit 15
#define VELNOR_KEY2_CODE 11u  // STA1 bit 14
#define VELNOR_KEY3_CODE 15u  // STA1 bit 13
#define VELNOR_KEY_QUEUE_LENGTH 16u

// ---------------------------------------------------------------- names
#define VELNOR_USER_DEVICE_PATH "\\\\.\\Velnor-0"
