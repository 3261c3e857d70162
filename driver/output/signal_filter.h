// The signal conditioning stage of the output path: carrier canceller,
// anti-alias low-pass and rate halving, high-pass with hold and recovery
// corners, adaptive line canceller, output scaling, and the QRS detector
// that runs on three of the conditioned channels. Pure computation on
// driver-wide state; one invocation at a time, at dispatch level.
#pragma once

#include "core/platform.h"
#include "velnor/velnor_ioctl.h"

#define VELNOR_FILTER_CHANNELS 12
#define VELNOR_FILTER_MAX_COUNT 100  // input samples per channel and block

// FilterFlags bits. The stage owns FILTER_PHASE and FILTER_QRS_SEARCH, the
// control requests own FILTER_NOTCH_ON and FILTER_QRS_BEEP; every change
// of a single bit is an interlocked operation, so neither side loses the
// other's bits.
#define FILTER_PHASE 0x20u
#define FILTER_NOTCH_ON 0x80u
#define FILTER_QRS_SEARCH 0x1000u
#define FILTER_QRS_BEEP 0x2000u

// Line canceller selections.
#define NOTCH_OFF VELNOR_NOTCH_OFF
#define NOTCH_ON VELNOR_NOTCH_ON
#define NOTCH_50HZ_SET VELNOR_NOTCH_50HZ
#define NOTCH_60HZ_SET VELNOR_NOTCH_60HZ

#define VELNOR_HOLD_SAMPLES 750  // processing samples a channel stays on hold

extern volatile LONG FilterFlags;
extern ULONG LeadHoldMask;
extern ULONG LeadHoldCounter[VELNOR_FILTER_CHANNELS];
extern ULONG NotchFastMask;

extern SHORT FilterInput[VELNOR_FILTER_CHANNELS * VELNOR_FILTER_MAX_COUNT];
extern SHORT FilterOutput[VELNOR_FILTER_CHANNELS * VELNOR_FILTER_MAX_COUNT];
extern UCHAR TriggerBuffer[128];
extern UCHAR BeepBuffer[128];

// Coefficients in force and the per-channel state, visible for tests and tools.
extern float LpfCoefficients[16];
extern float HpfCoefficients[3];
extern float NotchCoefficients[4];
extern float NotchFastCoefficients[4];
extern float CarrierEstimate[VELNOR_FILTER_CHANNELS];  // A1: follows the 250 Hz component
extern float CarrierCompanion[VELNOR_FILTER_CHANNELS];  // A2
extern float MonitorLevel[VELNOR_FILTER_CHANNELS];
extern float CarrierEnvelope[VELNOR_FILTER_CHANNELS];
extern float BaselineLevel[VELNOR_FILTER_CHANNELS];

// QRS detector state.
extern float QrsLeadInput[3];
extern float QrsDetectLevel;
extern LONG QRSThreshold;
extern LONG QRSPeak;
extern LONG QRSRefCtr;
extern LONG QRSTimeout;
extern volatile ULONG bPace;

VOID velnor_filter_process(SHORT count);
VOID velnor_filter_init();
VOID velnor_filter_set_line_notch(ULONG selection);
VOID velnor_filter_set_lpf(ULONG selection);
VOID velnor_filter_set_hpf(ULONG selection);
VOID velnor_filter_load_defaults();

// Sets or clears one bit of FilterFlags atomically.
VOID SetFilterFlag(ULONG bit);
VOID ClearFilterFlag(ULONG bit);

// The detector step for the processing sample at input index `inputIndex`;
// `stageFlags` is the stage's copy of FilterFlags, kept current.
VOID QrsDetectorStep(ULONG inputIndex, PULONG stageFlags);
// A new peak in the search phase: the threshold moves an eighth of the way
// toward half the peak (never below 46) and the refractory count restarts.
VOID QrsRaisePeak(float level);
// Refractory count of the search phase, by the pace-patient setting.
LONG QrsRefractoryCount();

// Truncation toward zero to int32, saturating instead of overflowing.
inline LONG TruncateToLong(float value) {
    if (value >= 2147483648.0f) return 0x7FFFFFFF;
    if (value <= -2147483648.0f) return -0x7FFFFFFF - 1;
    return static_cast<LONG>(value);
}
