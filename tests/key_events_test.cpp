// Key events: the priority queue, key sequences over blocks, take-out requests and the lock rules.
#include "support/test_thread.h"
#include "support/velnor_harness.h"

#include <array>
#include <atomic>
#include <thread>

namespace {

using Keys = std::vector<ULONG>;
constexpr ULONG kKey1 = 0x8000, kKey2 = 0x4000, kKey3 = 0x2000;
constexpr ULONG kMake = VELNOR_KEY_MAKE, kBreak = VELNOR_KEY_BREAK;

ULONG Entry(ULONG code, ULONG repeat, ULONG flags) { return code | repeat << 16 | flags; }

class KeyEventsTest : public velnor_test::DeviceFixture {
protected:
    void SetUp() override {
        DeviceFixture::SetUp();
        AcqModuleConnected = 1;
    }
    // One block of 5 samples whose packets all carry `keys` in STA1.
    void Block(ULONG keys) {
        Store(Stream(5, 0, static_cast<USHORT>(keys)));
        ASSERT_EQ(ReadBlock(5, 1).length, VelnorBlockReplyBytes(5, 1));
    }
    Keys Queue() { return {ext_->KeyQueue, ext_->KeyQueue + ext_->KeyCount}; }
    hk::IoResult Read(void* buffer, ULONG length) { return hk::ReadFile(handle_, buffer, length); }
};

TEST_F(KeyEventsTest, QueueOrdersByPriorityDropsOrPushesOutWhenFullAndHandsOutReleasedKeysOnce) {
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&ext_->KeyLock);
    EXPECT_EQ(InsertKey(ext_, Entry(7, 0, kMake)), 0u);
    EXPECT_EQ(InsertKey(ext_, Entry(11, 0, kMake)), 1u);
    EXPECT_EQ(InsertKey(ext_, Entry(13, 0, kMake)), 0u) << "priority 3 goes before the two of 5";
    EXPECT_EQ(Queue(), (Keys{Entry(13, 0, kMake), Entry(7, 0, kMake), Entry(11, 0, kMake)}));
    while (ext_->KeyCount < 16) InsertKey(ext_, Entry(15, ext_->KeyCount, 0));
    const Keys full = Queue();
    EXPECT_EQ(InsertKey(ext_, Entry(7, 0, kMake)), VELNOR_KEY_DROPPED) << "would come last";
    EXPECT_EQ(Queue(), full);
    // Priority 4 (code 14) ranks after the 3, before every 5: the sixteenth falls off.
    EXPECT_EQ(InsertKey(ext_, Entry(14, 0, kMake)), 1u);
    Keys expected = full;
    expected.insert(expected.begin() + 1, Entry(14, 0, kMake));
    expected.pop_back();
    EXPECT_EQ(Queue(), expected);

    // A released key followed by a held one: both handed out, the held one stays.
    ext_->KeyCount = 0;
    InsertKey(ext_, Entry(7, 3, kBreak));
    InsertKey(ext_, Entry(11, 4, kMake));
    ULONG out[2] = {};
    FetchKeys(ext_, out, 2);
    KeReleaseSpinLock(&ext_->KeyLock, old);
    EXPECT_EQ(Keys(out, out + 2), (Keys{Entry(7, 3, kBreak), Entry(11, 4, kMake)}));
    EXPECT_EQ(Queue(), (Keys{Entry(11, 4, kMake)}));
}

TEST_F(KeyEventsTest, PressesArriveOneBlockLateAndHeldKeysRepeatUntilReleased) {
    Block(kKey1);
    Block(0);
    EXPECT_EQ(ext_->KeyCount, 0u) << "the enable mask is 0 until the first flush";
    Flush();
    Block(kKey2);
    EXPECT_EQ(ext_->KeyCount, 0u) << "entries come from the previous block's state";
    Block(0);
    EXPECT_EQ(GetKeys(16), (Keys{Entry(11, 0, kBreak)}));
    EXPECT_EQ(GetKeys(16), (Keys{0u})) << "handed out once; an empty queue gives one 0 entry";

    // A held key gains two repeats a block and stays queued until released.
    Block(kKey3);
    Block(kKey3);
    EXPECT_EQ(GetKeys(16), (Keys{Entry(15, 0, kMake)}));
    Block(kKey3);
    Block(kKey3);
    EXPECT_EQ(GetKeys(16), (Keys{Entry(15, 4, kMake)})) << "held keys stay queued";
    Block(0);
    EXPECT_EQ(GetKeys(16), (Keys{Entry(15, 6, kBreak)}));
}

TEST_F(KeyEventsTest, KeyHeldFiftyOneBlocksIsMaskedUntilTheNextFlush) {
    DebugLevel = 3;
    Flush();
    for (int b = 1; b <= 51; ++b) Block(kKey1);
    EXPECT_TRUE(hk::LogHasLine("Velnor> Velnor_ReadBlock: AcqMod Key 1 Stuck"));
    EXPECT_EQ(ext_->AcqKeyEnableMask, kKey2 | kKey3);
    EXPECT_EQ(GetKeys(16), (Keys{Entry(7, 98, kBreak)})) << "made one block after the first sighting, +2 a block";
    for (int b = 0; b < 5; ++b) Block(kKey1);
    EXPECT_EQ(ext_->KeyCount, 0u) << "a stuck key makes no further entry";
    Block(kKey1 | kKey2);
    Block(kKey1);
    EXPECT_EQ(GetKeys(16), (Keys{Entry(11, 0, kBreak)})) << "the other keys keep working";
    Flush();
    Block(kKey1);
    Block(0);
    EXPECT_EQ(GetKeys(16), (Keys{Entry(7, 0, kBreak)})) << "honoured again after a flush";
    DebugLevel = 2;
}

TEST_F(KeyEventsTest, BlockTimeoutReleasesHeldKeysWithoutAgingThem) {
    Flush();
    for (int b = 0; b < 3; ++b) Block(kKey1 | kKey3);
    EXPECT_EQ(Queue(), (Keys{Entry(7, 2, kMake), Entry(15, 2, kMake)}));
    ext_->AcqKeyEnableMask = kKey3;  // the timeout restores every key
    ASSERT_EQ(ReadBlock(5, 1).length, 4u);  // nothing stored: times out
    EXPECT_TRUE(hk::LogHasLine("Velnor> Velnor_ReadBlock: AcqMod Key timeout"));
    EXPECT_EQ(ext_->AcqKeyEnableMask, 0xE000u);
    EXPECT_EQ(GetKeys(16), (Keys{Entry(7, 2, kBreak), Entry(15, 2, kBreak)}));
}

TEST_F(KeyEventsTest, TakeOutRequestsNeedTheModuleEnabled) {
    Flush();
    Block(kKey1);
    Block(0);
    AcqModuleConnected = 0;
    NTSTATUS status;
    EXPECT_TRUE(GetKeys(16, 16, &status).empty());
    EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE);
    ULONG buffer[16];
    hk::IoResult r = Read(buffer, sizeof buffer);
    EXPECT_EQ(r.status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(ext_->KeyCount, 1u) << "the queue is untouched";
}

// A read asks for as many keys as its buffer holds; keys that do not fit stay queued.
TEST_F(KeyEventsTest, TakeOutRepliesFitTheBufferAndLoseNoKey) {
    DebugLevel = 3;
    Flush();
    Block(kKey1);
    Block(kKey1 | kKey2);
    Block(kKey1 | kKey2 | kKey3);
    Block(0);
    ASSERT_EQ(ext_->KeyCount, 3u);
    NTSTATUS status;
    EXPECT_EQ(GetKeys(3, 1, &status), (Keys{Entry(7, 4, kBreak)})) << "room for one entry only";
    EXPECT_EQ(status, STATUS_SUCCESS);

    ULONG buffer[16] = {};
    buffer[1] = 0xBBBBBBBB;
    hk::IoResult r = Read(buffer, 6);  // one whole entry fits
    EXPECT_EQ(r.information, 4u);
    EXPECT_EQ(buffer[0], Entry(11, 2, kBreak));
    EXPECT_EQ(buffer[1], 0xBBBBBBBBu);
    EXPECT_EQ(Read(buffer, 3).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Read(nullptr, 0).status, STATUS_BUFFER_TOO_SMALL);
    ULONG count = 16;
    auto getKey = [&](ULONG in, ULONG out) {
        return hk::DeviceIoControl(handle_, IOCTL_VELNOR_KEYPAD_GETKEY, &count, in, &count, out).status;
    };
    EXPECT_EQ(getKey(4, 2), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(getKey(2, 4), STATUS_INVALID_PARAMETER) << "no key count";

    hk::LogClear();
    r = Read(buffer, 64);
    EXPECT_TRUE(hk::LogHasLine("Velnor> Velnor_Read: 16 key(s) requested"));
    EXPECT_TRUE(hk::LogHasLine("Velnor> Velnor_Read: 1 key1(s) requested"));
    ASSERT_EQ(r.information, 4u) << "the refused requests took nothing";
    EXPECT_EQ(buffer[0], Entry(15, 0, kBreak));
    EXPECT_TRUE(hk::LogHasLine("Velnor> Velnor_Read: Returned 1 keys, 8000000F"));
    EXPECT_EQ(GetKeys(0), (Keys{0u})) << "asking for none gives one 0 entry";
    DebugLevel = 2;
}

TEST_F(KeyEventsTest, HoldingKeyLockWithARingLockIsCaughtByTheVerifier) {
    hk::ViolationRecorder recorder;
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&ext_->DataRingBuffer->lock);
    Velnor_KeypadFlush(ext_);
    KeReleaseSpinLock(&ext_->DataRingBuffer->lock, old);
    EXPECT_FALSE(recorder.Take().empty());
}

// The key step queueing while GETKEY takes out: every press is handed out once, released, with
// its repeat count. Each round the test holds KeyLock with its own released entry at the head and
// a take-out under way: the queue may not change until the lock is released.
TEST_F(KeyEventsTest, TakeOutRacingTheKeyStepWaitsForTheLockAndHandsOutEveryPressOnce) {
    constexpr int kBlocks = 5 * 105;  // whole periods of the three keys: every press complete
    constexpr int kRounds = 10;
    constexpr int kPatience = 10;  // yields the lock is held for, with a take-out under way
    constexpr ULONG kProbe = 4 | kBreak;  // code 4 ranks first; the driver never makes it
    // Key 1 is held 2 blocks in 5, key 2 3 in 7, key 3 1 in 3: repeats 2, 4 and 0.
    const std::array<ULONG, 3> bits = {kKey1, kKey2, kKey3}, codes = {7, 11, 15}, repeats = {2, 4, 0};
    auto down = [](int key, int block) {
        if (block >= kBlocks) return false;  // then all released
        return key == 0 ? block % 5 < 2 : key == 1 ? block % 7 < 3 : block % 3 == 0;
    };
    std::array<int, 3> presses{};
    for (int k = 0; k < 3; ++k)
        for (int b = 0; b < kBlocks; ++b) presses[k] += down(k, b) && !(b > 0 && down(k, b - 1));

    Flush();
    std::array<std::atomic<int>, 3> handedOut{};
    std::atomic<int> probesHandedOut{0}, badEntries{0}, takeOutsBegun{0}, takeOutsEnded{0};
    std::atomic<ULONG> firstBad{0};
    std::atomic<bool> stepsDone{false};
    auto queued = [&] {
        KIRQL old = KeAcquireSpinLockRaiseToDpc(&ext_->KeyLock);
        ULONG count = ext_->KeyCount;
        KeReleaseSpinLock(&ext_->KeyLock, old);
        return count;
    };

    auto stepper = velnor_test::StartThread(PASSIVE_LEVEL, [&](std::stop_token stop) {
        for (int b = 0; b < kBlocks + 3 && !stop.stop_requested(); ++b) {
            ULONG keyBits = 0;
            for (int k = 0; k < 3; ++k) keyBits |= down(k, b) ? bits[k] : 0;
            UpdateAcqKeys(ext_, keyBits, FALSE);
            while (queued() > 8 && !stop.stop_requested()) std::this_thread::yield();  // keeps the queue from filling
        }
        stepsDone = true;
    });
    auto taker = velnor_test::StartThread(PASSIVE_LEVEL, [&](std::stop_token stop) {
        while (!stop.stop_requested()) {
            ++takeOutsBegun;
            const Keys keys = GetKeys(16);
            ++takeOutsEnded;
            for (ULONG entry : keys) {
                if (entry == 0) continue;
                if (entry == kProbe) {
                    ++probesHandedOut;
                    continue;
                }
                const auto k = std::find(codes.begin(), codes.end(), VELNOR_KEY_CODE(entry)) - codes.begin();
                if (k < 3 && (entry & kBreak)) ++handedOut[k];
                const bool bad = k == 3 || (entry & 0x3F00FF00u) ||
                                 ((entry & kBreak) ? VELNOR_KEY_REPEAT(entry) != repeats[k] || (entry & kMake)
                                                   : VELNOR_KEY_REPEAT(entry) > repeats[k]);
                if (bad && !badEntries++) firstBad = entry;
            }
        }
    });

    for (int round = 0; round < kRounds && !HasFailure(); ++round) {
        const int before = handedOut[0] + handedOut[1] + handedOut[2];
        while (handedOut[0] + handedOut[1] + handedOut[2] < before + 5 && !stepsDone) std::this_thread::yield();

        KIRQL old = KeAcquireSpinLockRaiseToDpc(&ext_->KeyLock);
        EXPECT_NE(InsertKey(ext_, kProbe), VELNOR_KEY_DROPPED);  // no ASSERT: the lock must be released
        const Keys queue = Queue();
        for (int ended = takeOutsEnded; takeOutsBegun == ended; ended = takeOutsEnded) std::this_thread::yield();
        bool untouched = true;
        for (int look = 0; look < kPatience && untouched; ++look) {
            std::this_thread::yield();
            untouched = Queue() == queue;
        }
        KeReleaseSpinLock(&ext_->KeyLock, old);
        EXPECT_TRUE(untouched) << "round " << round << ": a take-out changed the queue while KeyLock was held";
    }
    if (!HasFailure())
        while (!stepsDone || queued() > 0) std::this_thread::yield();  // the taker empties the queue
    for (auto* t : {&stepper, &taker}) t->request_stop(), t->join();
    if (HasFailure()) return;
    EXPECT_EQ(badEntries.load(), 0) << "entries with a wrong code, flags or repeat count, the first " << std::hex
                                    << firstBad.load();
    for (int k = 0; k < 3; ++k) EXPECT_EQ(handedOut[k].load(), presses[k]) << "key " << k + 1;
    EXPECT_EQ(probesHandedOut.load(), kRounds);
    EXPECT_EQ(ext_->KeyCount, 0u);
}

}  // namespace
