// The filter stage. Single precision throughout, evaluated in the order the
// formulas are written; the build forbids contraction into fused
// multiply-adds so both builds compute the same numbers.
#include "output/signal_filter.h"

namespace {

constexpr ULONG kChannels = VELNOR_FILTER_CHANNELS;
constexpr float kUnity = 1.52587890625e-05f;  // 2^-16: the cascades' DC gain taken out
constexpr double kOutputFactor = 2.667;
constexpr float kOutputMax = 32766.0f;
constexpr float kOutputMin = -32767.0f;
constexpr float kRecoverLevel = 98304.0f;
constexpr float kMonitorLimit = 32512.0f;
constexpr float kEnvelopeLimit = 15990784.0f;

const float Lpf100Table[16] = {
    0.1503162f, 0.3006325f, 0.7297834f, -0.2673626f, 0.1558342f, 0.3116703f, 0.7565792f, -0.2955381f,
    0.1671772f, 0.3343544f, 0.811645f,  -0.3534396f, 0.1847458f, 0.3694916f, 0.8969398f, -0.4431263f,
};
const float Lpf150Table[16] = {
    0.3017998f, 0.6036015f, 0.6164069f, -0.1918571f, 0.3166542f, 0.6333103f, 0.6467471f, -0.225911f,
    0.3483353f, 0.6966724f, 0.7114526f, -0.2985368f, 0.4007168f, 0.8014355f, 0.8184378f, -0.4186172f,
};
const float Hpf01Table[3] = {0.9999686f, -0.9999686f, 0.9999373f};
const float Hpf05Table[3] = {0.9998431f, -0.9998431f, 0.999686f};
const float HpfRecoverTable[3] = {0.9994987f, -0.9994987f, 0.99899757f};
const float HpfFastTable[3] = {0.982447f, -0.982447f, 0.9648942f};
constexpr float NotchCos50 = 0.95105654f;
constexpr float NotchCos60 = 0.9297765f;

constexpr float kCarrierGainE = 0.00143175f;
constexpr float kCarrierGainA1 = 0.70710677f;
constexpr float kCarrierGainE2 = 0.0021f;
constexpr float kHalf = 0.5f;
constexpr float kMonitorB = 0.0898546f;
constexpr float kMonitorA = 0.8202907f;
constexpr float kSlowB = 0.402435f;
constexpr float kSlowA = 0.99685585f;

// Per-channel filter state; zero at load but for the carrier estimates, and
// never reset.
float LowPassState[8][kChannels];  // section state by channel, so one section runs across all channels
float HighPassState[kChannels];
float MonitorState[kChannels];
float EnvelopeState[kChannels];
float BaselineState[kChannels];
float NotchErrors[kChannels][3];     // u1, u2, u3
float NotchEstimates[kChannels][2];  // d0, d1

float Absolute(float v) { return v < 0.0f ? -v : v; }

}  // namespace

volatile LONG FilterFlags = 0;
ULONG LeadHoldMask = 0;
ULONG LeadHoldCounter[VELNOR_FILTER_CHANNELS];
ULONG NotchFastMask = 0;
SHORT FilterInput[VELNOR_FILTER_CHANNELS * VELNOR_FILTER_MAX_COUNT];
SHORT FilterOutput[VELNOR_FILTER_CHANNELS * VELNOR_FILTER_MAX_COUNT];
UCHAR TriggerBuffer[128];
UCHAR BeepBuffer[128];

float LpfCoefficients[16];
float HpfCoefficients[3];
float NotchCoefficients[4] = {0.0004883f, -0.0014648f, 0.0009766f, NotchCos50};
float NotchFastCoefficients[4] = {0.125f, -0.375f, 0.25f, NotchCos50};
float CarrierEstimate[VELNOR_FILTER_CHANNELS] = {0.0009766f, 0.0009766f, 0.0009766f, 0.0009766f,
                                                 0.0009766f, 0.0009766f, 0.0009766f, 0.0009766f,
                                                 0.0009766f, 0.0009766f, 0.0009766f, 0.0009766f};
float CarrierCompanion[VELNOR_FILTER_CHANNELS] = {0.0009766f, 0.0009766f, 0.0009766f, 0.0009766f,
                                                  0.0009766f, 0.0009766f, 0.0009766f, 0.0009766f,
                                                  0.0009766f, 0.0009766f, 0.0009766f, 0.0009766f};
float MonitorLevel[VELNOR_FILTER_CHANNELS];
float CarrierEnvelope[VELNOR_FILTER_CHANNELS];
float BaselineLevel[VELNOR_FILTER_CHANNELS];

VOID SetFilterFlag(ULONG bit) { InterlockedOr(&FilterFlags, static_cast<LONG>(bit)); }
VOID ClearFilterFlag(ULONG bit) { InterlockedAnd(&FilterFlags, ~static_cast<LONG>(bit)); }

namespace {

// One block of n > 0 input samples per channel. The detector step and the
// per-sample work inside are covered by velnor_filter_process's trace.
VOID ProcessBlock(ULONG n) {
    for (ULONG i = 0; i < n; ++i) {
        TriggerBuffer[i] = 0;
        BeepBuffer[i] = 0;
    }
    ULONG flags = static_cast<ULONG>(ReadShared(FilterFlags));
    const ULONG startPhase = flags & FILTER_PHASE;
    float low[kChannels];

    for (ULONG i = 0; i < n; ++i) {
        // Carrier canceller at one eighth of the input rate.
        for (ULONG c = 0; c < kChannels; ++c) {
            float x = static_cast<float>(FilterInput[c * n + i]);
            float a1 = CarrierEstimate[c];
            float a2 = CarrierCompanion[c];
            float e = x - a1;
            CarrierEstimate[c] = 2.0f * (kCarrierGainE * e + kCarrierGainA1 * a1 - kHalf * a2);
            CarrierCompanion[c] = 2.0f * (kCarrierGainE2 * e + kHalf * a1);
            low[c] = e;
        }
        // Anti-alias cascade, one section at a time across the channels (the
        // same arithmetic per channel, in a form the compiler can vectorise);
        // each section doubles its output.
        for (ULONG k = 0; k < 4; ++k) {
            const float b0 = LpfCoefficients[4 * k], b1 = LpfCoefficients[4 * k + 1];
            const float a1 = LpfCoefficients[4 * k + 2], a2 = LpfCoefficients[4 * k + 3];
            float* s1 = LowPassState[2 * k];
            float* s2 = LowPassState[2 * k + 1];
            for (ULONG c = 0; c < kChannels; ++c) {
                float in = low[c];
                float y = 2.0f * (b0 * in + s1[c]);
                s1[c] = a1 * y + b1 * in + s2[c];
                s2[c] = a2 * y + b0 * in;
                low[c] = y;
            }
        }

        if (!(flags & FILTER_PHASE)) {
            // The in-between sample: holds count down once per pair.
            flags |= FILTER_PHASE;
            for (ULONG c = 0; c < kChannels; ++c) {
                if (!(LeadHoldMask & (1u << c))) continue;
                if (--LeadHoldCounter[c] == 0) {
                    LeadHoldCounter[c] = VELNOR_HOLD_SAMPLES;
                    LeadHoldMask &= ~(1u << c);
                }
            }
            continue;
        }
        flags &= ~FILTER_PHASE;
        const ULONG held = LeadHoldMask;
        QrsLeadInput[0] = QrsLeadInput[1] = QrsLeadInput[2] = 0.0f;
        float value[kChannels];

        for (ULONG c = 0; c < kChannels; ++c) {
            float x = low[c] * kUnity;
            const float* hp = (held & (1u << c)) ? HpfFastTable
                              : (Absolute(BaselineLevel[c]) >= kRecoverLevel) ? HpfRecoverTable
                                                                              : HpfCoefficients;
            float y = hp[0] * x + HighPassState[c];
            HighPassState[c] = hp[2] * y + hp[1] * x;

            float m = kMonitorB * x + MonitorState[c];
            MonitorState[c] = kMonitorA * m + kMonitorB * x;
            MonitorLevel[c] = m;

            float r = 256.0f * Absolute(CarrierEstimate[c]);
            float env = kSlowB * r + EnvelopeState[c];
            EnvelopeState[c] = kSlowA * env + kSlowB * r;
            CarrierEnvelope[c] = env;

            float w = kSlowB * y + BaselineState[c];
            BaselineState[c] = kSlowA * w + kSlowB * y;
            BaselineLevel[c] = w;

            // Adaptive line canceller; its state runs whether or not it is used.
            const float* nc = (NotchFastMask & (1u << c)) ? NotchFastCoefficients : NotchCoefficients;
            float* u = NotchErrors[c];
            float* d = NotchEstimates[c];
            float next = nc[0] * u[2] + nc[1] * u[1] + nc[2] * u[0] + 2.0f * nc[3] * d[0] - d[1];
            float err = y - d[0];
            u[2] = u[1];
            u[1] = u[0];
            u[0] = err;
            d[1] = d[0];
            d[0] = next;
            value[c] = (flags & FILTER_NOTCH_ON) ? err : y;
        }
        if (!(held & (1u << 1))) QrsLeadInput[0] = value[1];
        if (!(held & (1u << 2))) QrsLeadInput[1] = value[2];
        if (!(held & (1u << 6))) QrsLeadInput[2] = value[6];

        QrsDetectorStep(i, &flags);

        for (ULONG c = 0; c < kChannels; ++c) {
            float s = static_cast<float>(static_cast<double>(value[c]) * kOutputFactor);
            if (s > kOutputMax) s = kOutputMax;
            if (s < kOutputMin) s = kOutputMin;
            FilterOutput[(c * n + i) / 2] = static_cast<SHORT>(static_cast<LONG>(s + 0.5f));
            if (Absolute(MonitorLevel[c]) >= kMonitorLimit || Absolute(CarrierEnvelope[c]) > kEnvelopeLimit) {
                LeadHoldCounter[c] = VELNOR_HOLD_SAMPLES;
                LeadHoldMask |= 1u << c;
                NotchFastMask = LeadHoldMask;
            }
        }
    }
    // Only the stage writes the phase; it goes back once per block (an even
    // block leaves it as it found it).
    if ((flags & FILTER_PHASE) != startPhase) {
        if (flags & FILTER_PHASE)
            SetFilterFlag(FILTER_PHASE);
        else
            ClearFilterFlag(FILTER_PHASE);
    }
}

}  // namespace

VOID velnor_filter_process(SHORT count) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor_filter> velnor_filter_process() - START\n");
    if (count > 0) ProcessBlock(static_cast<ULONG>(count));
    VELNOR_TRACE(tracing, "Velnor_filter> velnor_filter_process() - EXIT\n");
}

VOID velnor_filter_init() {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor_filter> velnor_filter_init() - START\n");
    InterlockedExchange(&FilterFlags, static_cast<LONG>(~FILTER_QRS_BEEP));
    LeadHoldMask = 0xFFFFFFFFu;  // every channel starts on hold
    NotchFastMask = 0xFFFFFFFFu;
    for (ULONG& counter : LeadHoldCounter) counter = VELNOR_HOLD_SAMPLES;
    QRSRefCtr = QrsRefractoryCount();
    VELNOR_LOG(3, "Velnor_filter> QRSRefCtr %x\n", QRSRefCtr);
    QRSTimeout = 1000;
    QRSThreshold = 46;
    QRSPeak = 46;
    VELNOR_TRACE(tracing, "Velnor_filter> velnor_filter_init() - EXIT\n");
}

VOID velnor_filter_set_line_notch(ULONG selection) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor_filter> velnor_filter_set_line_notch() - START\n");
    if (selection == NOTCH_OFF) {
        ClearFilterFlag(FILTER_NOTCH_ON);
    } else {
        if (selection != NOTCH_ON) {
            float k = selection == NOTCH_60HZ_SET ? NotchCos60 : NotchCos50;
            NotchCoefficients[3] = k;
            NotchFastCoefficients[3] = k;
        }
        SetFilterFlag(FILTER_NOTCH_ON);
    }
    VELNOR_TRACE(tracing, "Velnor_filter> velnor_filter_set_line_notch() - EXIT\n");
}

// Unknown selections (the control requests refuse them) change nothing.
VOID velnor_filter_set_lpf(ULONG selection) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor_filter> velnor_filter_set_lpf() - START\n");
    if (selection == LPF_FILTER_100 || selection == LPF_FILTER_150) {
        const float* table = selection == LPF_FILTER_150 ? Lpf150Table : Lpf100Table;
        for (ULONG k = 0; k < 16; ++k) LpfCoefficients[k] = table[k];
    }
    VELNOR_TRACE(tracing, "Velnor_filter> velnor_filter_set_lpf() - EXIT\n");
}

VOID velnor_filter_set_hpf(ULONG selection) {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor_filter> velnor_filter_set_hpf() - START\n");
    if (selection == HPF_FILTER_01 || selection == HPF_FILTER_05) {
        const float* table = selection == HPF_FILTER_05 ? Hpf05Table : Hpf01Table;
        for (ULONG k = 0; k < 3; ++k) HpfCoefficients[k] = table[k];
    }
    VELNOR_TRACE(tracing, "Velnor_filter> velnor_filter_set_hpf() - EXIT\n");
}

VOID velnor_filter_load_defaults() {
    const BOOLEAN tracing = VELNOR_TRACING();
    VELNOR_TRACE(tracing, "Velnor_filter> velnor_filter_load_defaults() - START\n");
    velnor_filter_init();
    velnor_filter_set_lpf(LPF_FILTER_100);
    velnor_filter_set_hpf(HPF_FILTER_01);
    velnor_filter_set_line_notch(NOTCH_50HZ_SET);
    VELNOR_TRACE(tracing, "Velnor_filter> velnor_filter_load_defaults() - EXIT\n");
}
