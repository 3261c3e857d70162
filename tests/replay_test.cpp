// velnor-replay as a user runs it: file sizes and contents of both modes,
// the tail timeout, and the refusals with their exit status.
#include "support/ecg_synth.h"
#include "support/signal_harness.h"
#include "support/velnor_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using velnor_test::MakePacket;

class ReplayTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("velnor-replay-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    // A recording of `n` packets: an ECG on LL, V1 and V5, big-endian words.
    std::string Record(size_t n, USHORT sta1 = 0) {
        velnor_test::SyntheticEcg ecg{75};
        std::string path = Path("in.bin");
        std::ofstream out(path, std::ios::binary);
        for (size_t i = 0; i < n; ++i) {
            auto p = MakePacket(static_cast<USHORT>(2 * i), 0, sta1);
            short v = velnor_test::ToSample(ecg.Counts(static_cast<long>(i)));
            p[VELNOR_W_LA] = static_cast<USHORT>(i);
            p[VELNOR_W_LL] = p[VELNOR_W_V1] = p[VELNOR_W_V5] = static_cast<USHORT>(v);
            velnor_test::SealPacket(p);
            for (USHORT w : p) out.put(char(w >> 8)).put(char(w));
        }
        return path;
    }

    static int Run(const std::string& args) {
        int rc = std::system((std::string(VELNOR_REPLAY_PATH) + " " + args + " 2>/dev/null").c_str());
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }
    static std::vector<uint8_t> Bytes(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    static uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
        return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
    }

    fs::path dir_;
};

TEST_F(ReplayTest, OutputModeWritesThirteenBytesPerPacketPerCallAndMarksTheBeats) {
    std::string in = Record(2000 * 10);
    ASSERT_EQ(Run("out " + in + " " + Path("a.out") + " --n 10 --in-per-call 15 --aout 0:3"), 0);
    auto out = Bytes(Path("a.out"));
    EXPECT_EQ(out.size(), 13u * 10 * ((20000 + 14) / 15));
    size_t triggers = 0;
    for (size_t k = 0; k < out.size() / 13; ++k) triggers += out[k * 13 + 8] == 0xFF;
    EXPECT_GE(triggers, 9u) << "75 bpm for 10 s";
    EXPECT_LE(triggers, 14u);
    EXPECT_EQ(out[10], 10) << "default width";
    EXPECT_EQ(out[12], 0xFF) << "default polarity";

    // Deterministic: the same recording and options give the same bytes.
    ASSERT_EQ(Run("out " + in + " " + Path("b.out") + " --n 10 --in-per-call 15 --aout 0:3"), 0);
    EXPECT_EQ(Bytes(Path("b.out")), out);
}

// --runs: per run a call before the input, the input, a call after it; a
// stop and a new device between runs. The constant level is written after
// the streams' start, which resets every output to the zero line.
TEST_F(ReplayTest, SessionsRunTheInputOncePerRunAroundAReplugAndKeepAConstantLevel) {
    constexpr size_t kOut = 4000;  // 4 s of input, two packets each
    std::string in = Record(2 * kOut);
    const std::string options = " --n 10 --aout 0:3 --aout-level 2:3000";
    ASSERT_EQ(Run("out " + in + " " + Path("two.out") + " --runs 2" + options), 0);
    ASSERT_EQ(Run("out " + in + " " + Path("one.out") + " --runs 1" + options), 0);
    auto two = Bytes(Path("two.out")), one = Bytes(Path("one.out"));
    const size_t perRun = 10 + kOut + 10;
    ASSERT_EQ(two.size(), 13u * 2 * perRun);
    ASSERT_EQ(one.size(), 13u * perRun);
    EXPECT_TRUE(std::equal(one.begin(), one.end(), two.begin())) << "the first run does not depend on a second";
    auto an = [&](size_t k, int channel) { return two[k * 13 + 2 * channel] << 8 | two[k * 13 + 2 * channel + 1]; };
    for (size_t k = 0; k < 2 * perRun; ++k) ASSERT_EQ(an(k, 2), 3000) << "packet " << k;
    for (size_t run = 0; run < 2; ++run) {
        const size_t base = run * perRun;
        size_t triggers = 0, moving = 0;
        for (size_t k = 0; k < 10; ++k) EXPECT_EQ(an(base + k, 0), 1365) << "before the input, run " << run;
        for (size_t k = base + 10; k < base + 10 + kOut; ++k) {
            triggers += two[k * 13 + 8] == 0xFF;
            moving += an(k, 0) != an(k - 1, 0);
        }
        EXPECT_GE(triggers, 3u) << "75 bpm for 4 s, run " << run;
        EXPECT_GT(moving, 200u) << "lead II follows the ECG, run " << run;
        for (size_t k = base + 10 + kOut; k < base + perRun; ++k) EXPECT_EQ(an(k, 0), an(base + 9 + kOut, 0)) << "held";
    }
}

TEST_F(ReplayTest, BlockModeWritesLengthPrefixedBlocksAndKeyLists) {
    std::string in = Record(200 * 3 + 50, 0x8000);
    ASSERT_EQ(Run("blocks " + in + " " + Path("o.blk") + " " + Path("o.keys") + " --nchannels 2"), 0);
    auto blk = Bytes(Path("o.blk"));
    const uint32_t length = 2 * 3 * 200 + 4;
    ASSERT_EQ(blk.size(), 3 * (4 + length));
    EXPECT_EQ(U32(blk, 0), length);
    EXPECT_EQ(blk[4] | blk[5] << 8, 0) << "LA of packet 0";
    EXPECT_EQ(blk[4 + 2 * 199] | blk[4 + 2 * 199 + 1] << 8, 199);
    auto keys = Bytes(Path("o.keys"));
    // Key 1 held: nothing in block 1, a made entry from block 2 on.
    ASSERT_EQ(U32(keys, 0), 1u);
    EXPECT_EQ(U32(keys, 4), 0u);
    EXPECT_EQ(U32(keys, 8), 1u);
    EXPECT_EQ(U32(keys, 12), VELNOR_KEY_MAKE | 7u);

    ASSERT_EQ(Run("blocks " + in + " " + Path("t.blk") + " " + Path("t.keys") + " --nchannels 2 --tail timeout"), 0);
    auto tail = Bytes(Path("t.blk"));
    ASSERT_EQ(tail.size(), 3 * (4 + length) + 8);
    EXPECT_EQ(U32(tail, 3 * (4 + length)), 4u);
    EXPECT_EQ(tail[3 * (4 + length) + 4], ERR_SSI_TIMEOUT);
}

TEST_F(ReplayTest, BadInputAndOptionsAreRefusedWithANonZeroStatus) {
    std::string in = Record(10);
    EXPECT_EQ(Run("out " + Path("missing.bin") + " " + Path("x")), 1);
    {
        std::ofstream odd(Path("odd.bin"), std::ios::binary);
        odd << std::string(35, 'x');
    }
    EXPECT_EQ(Run("out " + Path("odd.bin") + " " + Path("x")), 1);
    EXPECT_EQ(Run("out " + in + " " + Path("x") + " --n 51"), 2);
    EXPECT_EQ(Run("out " + in + " " + Path("x") + " --aout 4:3"), 2);
    EXPECT_EQ(Run("out " + in + " " + Path("x") + " --aout 0:18"), 2);
    EXPECT_EQ(Run("out " + in + " " + Path("x") + " --qrs-width 3"), 2);
    EXPECT_EQ(Run("out " + in + " " + Path("x") + " --hpf 0.1"), 2);
    EXPECT_EQ(Run("out " + in + " " + Path("x") + " --qrs-delay 0x64"), 0) << "hex is accepted";
    EXPECT_EQ(Run("blocks " + in + " " + Path("b") + " " + Path("k") + " --nsamples 5 --nchannels 8"), 2)
        << "more channels than the reference selects";
}

}  // namespace
