// QRS detector: band-pass of three conditioned leads, a detection level,
// and an adaptive threshold with search (refractory) and waiting phases.
// Its routines run inside velnor_filter_process, once per processing sample
// (1000 a second at dispatch level), and print no trace lines of their own:
// the stage's trace covers them.
#include "output/signal_filter.h"

namespace {

constexpr float kHighB = 0.982447f;
constexpr float kHighA = 0.9648942f;
constexpr float kLowB = 0.0898546f;
constexpr float kLowA = 0.8202907f;
constexpr float kDetectB = 0.9960976f;
// The detection filter's state update multiplies the level just computed:
// (-b + a) rounded to single, once.
const float kDetectFeedback = -0.9960976f + 0.9921951f;
constexpr LONG kMinimumThreshold = 46;
constexpr LONG kWaitingCount = 1000;

float BandHighState[3];
float BandLowState[3];
float DetectState;

}  // namespace

float QrsLeadInput[3];
float QrsDetectLevel;
LONG QRSThreshold;
LONG QRSPeak;
LONG QRSRefCtr;
LONG QRSTimeout;
volatile ULONG bPace;

LONG QrsRefractoryCount() { return ReadShared(bPace) ? 204 : 184; }

VOID QrsRaisePeak(float level) {
    QRSPeak = TruncateToLong(level);
    QRSThreshold = QRSThreshold + (QRSPeak / 2 - QRSThreshold) / 8;
    if (QRSThreshold < kMinimumThreshold) QRSThreshold = kMinimumThreshold;
    QRSRefCtr = QrsRefractoryCount();
}

VOID QrsDetectorStep(ULONG inputIndex, PULONG stageFlags) {
    float sum = 0.0f;
    for (ULONG j = 0; j < 3; ++j) {
        float q = QrsLeadInput[j];
        float h = kHighB * q + BandHighState[j];
        BandHighState[j] = kHighA * h - kHighB * q;
        float l = kLowB * h + BandLowState[j];
        BandLowState[j] = kLowA * l + kLowB * h;
        QrsLeadInput[j] = l;
        sum = sum + (l < 0.0f ? -l : l);
    }
    float level = kDetectB * sum + DetectState;
    DetectState = kDetectFeedback * level;
    QrsDetectLevel = level;

    if (*stageFlags & FILTER_QRS_SEARCH) {
        if (level > static_cast<float>(QRSPeak)) QrsRaisePeak(level);
        LONG old = QRSRefCtr;
        QRSRefCtr = old - 1;
        if (old < 0) {
            *stageFlags &= ~FILTER_QRS_SEARCH;
            ClearFilterFlag(FILTER_QRS_SEARCH);
            QRSRefCtr = QrsRefractoryCount();
            QRSTimeout = kWaitingCount;
        }
        return;
    }

    if (TruncateToLong(level) < QRSThreshold) {
        LONG old = QRSTimeout;
        QRSTimeout = old - 1;
        if (old == 0) {
            QRSThreshold = kMinimumThreshold;
            QRSTimeout = kWaitingCount;
        }
        return;
    }
    // A complex: mark this input sample and search for its peak.
    *stageFlags |= FILTER_QRS_SEARCH;
    SetFilterFlag(FILTER_QRS_SEARCH);
    TriggerBuffer[inputIndex] = 0xFF;
    VELNOR_LOG(2, "Velnor_filter> TriggerBuffer[%d] %x\n", inputIndex, 255);
    // The beep setting is read afresh here, as it may have changed mid-block.
    ULONG flags = static_cast<ULONG>(ReadShared(FilterFlags));
    if (flags & FILTER_QRS_BEEP) BeepBuffer[inputIndex] = 0xFF;
    *stageFlags = (*stageFlags & (FILTER_PHASE | FILTER_QRS_SEARCH)) | (flags & ~(FILTER_PHASE | FILTER_QRS_SEARCH));
    QRSPeak = 0;
}
