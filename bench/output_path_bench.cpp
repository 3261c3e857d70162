// Speed of the output path at dispatch level: the filter stage on one block
// of 100 input samples x 12 channels, and a whole OUT transfer of 50 packets
// (gather 100 units from the packet ring, filter, leads, format). Input
// samples are counted as items (12 channels of one packet are one sample);
// "realtime" is the real-time factor against 2000 samples per second.
#include "acquisition/block_reader.h"
#include "acquisition/ring_buffer.h"
#include "output/packet_builder.h"
#include "output/signal_filter.h"
#include "velnor/velnor_ioctl.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <vector>

namespace {

constexpr double kInputRate = 2000.0;

// An ECG-like test signal with mains hum, in input counts.
short Sample(int channel, long i) {
    double t = i / kInputRate;
    double beat = std::fmod(t, 0.8) - 0.4;
    double v = 150 * std::exp(-beat * beat / (2 * 0.01 * 0.01)) + 40 * std::sin(2 * M_PI * 50 * t) + channel;
    return static_cast<short>(std::lround(v));
}

void SetRates(benchmark::State& state, double samplesPerIteration) {
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * samplesPerIteration));
    state.counters["realtime"] =
        benchmark::Counter(samplesPerIteration / kInputRate, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_FilterProcess(benchmark::State& state) {
    DebugLevel = 2;
    velnor_filter_load_defaults();
    long index = 0;
    std::vector<std::array<short, 1200>> blocks(64);
    for (auto& block : blocks) {
        for (int i = 0; i < 100; ++i, ++index)
            for (int c = 0; c < 12; ++c) block[c * 100 + i] = Sample(c, index);
    }
    size_t b = 0;
    for (auto _ : state) {
        std::copy(blocks[b].begin(), blocks[b].end(), FilterInput);
        b = (b + 1) % blocks.size();
        velnor_filter_process(100);
        benchmark::DoNotOptimize(FilterOutput[0]);
    }
    SetRates(state, 100);
}
BENCHMARK(BM_FilterProcess);

void BM_ReadPacketAndFormat50(benchmark::State& state) {
    DebugLevel = 2;
    velnor_filter_load_defaults();
    LoadOutputDefaults();
    AOutFollowLead[0] = 1;
    AOutFollowLead[1] = 1;
    AOutLead[0] = 1;
    AOutLead[1] = 13;
    constexpr ULONG kPackets = 100 * 500;
    DeviceExtension ext{};
    ext.IsoPacketRingBuffer = AllocRingBuffer(34 * kPackets);
    std::vector<std::array<USHORT, 17>> packets(kPackets);
    for (ULONG i = 0; i < kPackets; ++i) {
        auto& p = packets[i];
        p.fill(0);
        p[VELNOR_W_SYNC] = VELNOR_SYNC_WORD;
        for (int w = 1; w <= 14; ++w) p[w] = static_cast<USHORT>(Sample(w, static_cast<long>(i)));
    }
    auto refill = [&] {
        for (auto& p : packets) WriteRingBuffer(ext.IsoPacketRingBuffer, reinterpret_cast<const UCHAR*>(p.data()), 34);
    };
    refill();
    std::vector<UCHAR> transfer(50 * 13);
    for (auto _ : state) {
        if (ext.IsoPacketRingBuffer->currentSize < 100 * 34) {
            state.PauseTiming();
            refill();
            state.ResumeTiming();
        }
        ctr_notempty = 0;  // the prefilled ring is not a backlog to cut
        Velnor_ReadPacket(&ext, 50);
        FormatIsoOutPackets(transfer.data(), 50, 13);
        benchmark::DoNotOptimize(transfer.data());
    }
    SetRates(state, 100);
    FreeRingBuffer(ext.IsoPacketRingBuffer);
}
BENCHMARK(BM_ReadPacketAndFormat50);

}  // namespace

BENCHMARK_MAIN();
