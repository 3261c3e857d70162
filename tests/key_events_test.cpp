// Key events: the priority queue, key sequences over blocks (presses,
// repeats, the stuck key, timeouts), the two take-out requests with short
// buffers, and the lock rules.
#include "support/velnor_harness.h"

#include <atomic>
#include <thread>

namespace {



constexpr ULONG kKey1 = 0x8000, kKey2 = 0x4000, kKey3 = 0x2000;

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

    std::vector<ULONG> Queue() { return {ext_->KeyQueue, ext_->KeyQueue + ext_->KeyCount}; }
};

TEST_F(KeyEventsTest, InsertKeyOrdersByPriorityAndRefusesOrPushesOutWhenFull) {
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&ext_->KeyLock);
    EXPECT_EQ(InsertKey(ext_, Entry(7, 0, VELNOR_KEY_MAKE)), 0u);
    EXPECT_EQ(InsertKey(ext_, Entry(11, 0, VELNOR_KEY_MAKE)), 1u);
    EXPECT_EQ(InsertKey(ext_, Entry(13, 0, VELNOR_KEY_MAKE)), 0u) << "priority 3 goes before the two of 5";
    EXPECT_EQ(Queue(), (std::vector<ULONG>{Entry(13, 0, VELNOR_KEY_MAKE), Entry(7, 0, VELNOR_KEY_MAKE),
                                           Entry(11, 0, VELNOR_KEY_MAKE)}));
    while (ext_->KeyCount < 16) InsertKey(ext_, Entry(15, ext_->KeyCount, 0));
    const auto full = Queue();
    EXPECT_EQ(InsertKey(ext_, Entry(7, 0, VELNOR_KEY_MAKE)), VELNOR_KEY_DROPPED) << "would come last";
    EXPECT_EQ(Queue(), full);
    // Priority 4 (code 14) ranks after the 3 and before every 5: it is stored
    // and the former sixteenth entry falls off.
    EXPECT_EQ(InsertKey(ext_, Entry(14, 0, VELNOR_KEY_MAKE)), 1u);
    EXPECT_EQ(ext_->KeyCount, 16u);
    std::vector<ULONG> expected = full;
    expected.insert(expected.begin() + 1, Entry(14, 0, VELNOR_KEY_MAKE));
    expected.pop_back();
    EXPECT_EQ(Queue(), expected);
    KeReleaseSpinLock(&ext_->KeyLock, old);
}

TEST_F(KeyEventsTest, FetchHandsOutReleasedKeysOnceAndKeepsHeldOnes) {
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&ext_->KeyLock);
    InsertKey(ext_, Entry(7, 3, VELNOR_KEY_BREAK));
    InsertKey(ext_, Entry(11, 4, VELNOR_KEY_MAKE));
    ULONG out[2] = {};
    FetchKeys(ext_, out, 2);
    KeReleaseSpinLock(&ext_->KeyLock, old);
    EXPECT_EQ(out[0], Entry(7, 3, VELNOR_KEY_BREAK));
    EXPECT_EQ(out[1], Entry(11, 4, VELNOR_KEY_MAKE));
    EXPECT_EQ(Queue(), (std::vector<ULONG>{Entry(11, 4, VELNOR_KEY_MAKE)}));
}

TEST_F(KeyEventsTest, KeysAreIgnoredAfterCreationUntilTheFirstFlush) {
    Block(kKey1);
    Block(0);
    Block(0);
    EXPECT_EQ(ext_->KeyCount, 0u) << "the enable mask starts at 0";
    Flush();
    Block(kKey1);
    Block(0);
    EXPECT_EQ(GetKeys(16), (std::vector<ULONG>{Entry(7, 0, VELNOR_KEY_BREAK)}));
}

TEST_F(KeyEventsTest, PressSeenInOneBlockArrivesOneBlockLaterAlreadyReleased) {
    Flush();
    Block(kKey2);
    EXPECT_EQ(ext_->KeyCount, 0u) << "entries come from the previous block's state";
    Block(0);
    EXPECT_EQ(GetKeys(16), (std::vector<ULONG>{Entry(11, 0, VELNOR_KEY_BREAK)}));
    EXPECT_EQ(GetKeys(16), (std::vector<ULONG>{0u})) << "handed out once; then an empty queue gives one 0 entry";
}

TEST_F(KeyEventsTest, HeldKeyGainsTwoRepeatsPerBlockAndStaysQueuedUntilReleased) {
    Flush();
    Block(kKey3);
    Block(kKey3);
    EXPECT_EQ(GetKeys(16), (std::vector<ULONG>{Entry(15, 0, VELNOR_KEY_MAKE)}));
    Block(kKey3);
    Block(kKey3);
    EXPECT_EQ(GetKeys(16), (std::vector<ULONG>{Entry(15, 4, VELNOR_KEY_MAKE)})) << "held keys stay queued";
    Block(0);
    EXPECT_EQ(GetKeys(16), (std::vector<ULONG>{Entry(15, 6, VELNOR_KEY_BREAK)}));
    EXPECT_EQ(ext_->KeyCount, 0u);
}

TEST_F(KeyEventsTest, KeyHeldFiftyOneBlocksIsMaskedUntilTheNextFlush) {
    DebugLevel = 3;
    Flush();
    for (int b = 1; b <= 50; ++b) Block(kKey1);
    EXPECT_EQ(Queue(), (std::vector<ULONG>{Entry(7, 96, VELNOR_KEY_MAKE)}));
    Block(kKey1);  // the 51st
    EXPECT_TRUE(hk::LogHasLine("Velnor> Velnor_ReadBlock: AcqMod Key 1 Stuck"));
    EXPECT_EQ(ext_->AcqKeyEnableMask, static_cast<ULONG>(kKey2 | kKey3));
    EXPECT_EQ(GetKeys(16), (std::vector<ULONG>{Entry(7, 98, VELNOR_KEY_BREAK)}));
    for (int b = 0; b < 5; ++b) Block(kKey1);
    EXPECT_EQ(ext_->KeyCount, 0u) << "a stuck key makes no further entry";

    // Other keys keep working meanwhile.
    Block(kKey1 | kKey2);
    Block(kKey1);
    EXPECT_EQ(GetKeys(16), (std::vector<ULONG>{Entry(11, 0, VELNOR_KEY_BREAK)}));

    Flush();
    Block(kKey1);
    Block(0);
    EXPECT_EQ(GetKeys(16), (std::vector<ULONG>{Entry(7, 0, VELNOR_KEY_BREAK)})) << "honoured again after a flush";
    DebugLevel = 2;
}

TEST_F(KeyEventsTest, BlockTimeoutReleasesHeldKeysWithoutAgingThem) {
    hk::SetClockFactor(200);
    Flush();
    Block(kKey1 | kKey3);
    Block(kKey1 | kKey3);
    Block(kKey1 | kKey3);
    EXPECT_EQ(Queue(), (std::vector<ULONG>{Entry(7, 2, VELNOR_KEY_MAKE), Entry(15, 2, VELNOR_KEY_MAKE)}));
    ext_->AcqKeyEnableMask = kKey3;  // the timeout restores every key
    auto r = ReadBlock(5, 1);  // nothing stored: times out
    ASSERT_EQ(r.length, 4u);
    EXPECT_TRUE(hk::LogHasLine("Velnor> Velnor_ReadBlock: AcqMod Key timeout"));
    EXPECT_EQ(ext_->AcqKeyEnableMask, 0xE000u);
    EXPECT_EQ(ext_->LastAcqKeyState, 0u);
    EXPECT_EQ(GetKeys(16), (std::vector<ULONG>{Entry(7, 2, VELNOR_KEY_BREAK), Entry(15, 2, VELNOR_KEY_BREAK)}));
}

TEST_F(KeyEventsTest, FullQueueDropsNewEntriesOfEqualPriority) {
    Flush();
    // Sixteen released key-2 presses fill the queue (each press: down, up).
    for (int i = 0; i < 16; ++i) {
        Block(kKey2);
        Block(0);
    }
    EXPECT_EQ(ext_->KeyCount, 16u);
    Block(kKey1);
    Block(0);
    EXPECT_EQ(ext_->KeyCount, 16u);
    auto keys = GetKeys(16);
    ASSERT_EQ(keys.size(), 16u);
    for (ULONG k : keys) EXPECT_EQ(k, Entry(11, 0, VELNOR_KEY_BREAK)) << "the 17th entry, key 1, was dropped";
}

TEST_F(KeyEventsTest, TakeOutRequestsNeedTheModuleEnabled) {
    DebugLevel = 5;
    Flush();
    Block(kKey1);
    Block(0);
    AcqModuleConnected = 0;
    NTSTATUS status;
    EXPECT_TRUE(GetKeys(16, 16, &status).empty());
    EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE);
    ULONG buffer[16];
    hk::IoResult r = hk::ReadFile(handle_, buffer, sizeof buffer);
    EXPECT_EQ(r.status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(r.information, 0u);
    EXPECT_TRUE(hk::LogHasLine("Velnor> Velnor_GetKey: STATUS_NO_SUCH_DEVICE"));
    EXPECT_TRUE(hk::LogHasLine("Velnor> Velnor_Read: STATUS_NO_SUCH_DEVICE"));
    EXPECT_EQ(ext_->KeyCount, 1u) << "the queue is untouched";
    DebugLevel = 2;
}

TEST_F(KeyEventsTest, ReadRequestTakesOutAsManyKeysAsItsBufferHolds) {
    DebugLevel = 3;
    Flush();
    Block(kKey1);
    Block(kKey1 | kKey2);
    Block(kKey1 | kKey2 | kKey3);
    Block(0);
    ASSERT_EQ(ext_->KeyCount, 3u);
    ULONG buffer[16];
    hk::IoResult r = hk::ReadFile(handle_, buffer, 64);
    EXPECT_TRUE(hk::LogHasLine("Velnor> Velnor_Read: 16 key(s) requested"));
    EXPECT_TRUE(hk::LogHasLine("Velnor> Velnor_Read: 3 key1(s) requested"));
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    ASSERT_EQ(r.information, 12u);
    EXPECT_EQ(buffer[0], Entry(7, 4, VELNOR_KEY_BREAK));
    EXPECT_EQ(buffer[1], Entry(11, 2, VELNOR_KEY_BREAK));
    EXPECT_EQ(buffer[2], Entry(15, 0, VELNOR_KEY_BREAK));
    EXPECT_TRUE(hk::LogHasLine("Velnor> Velnor_Read: Returned 3 keys, 80040007"));

    r = hk::ReadFile(handle_, buffer, 64);
    EXPECT_EQ(r.information, 4u) << "an empty queue answers with one 0 entry";
    EXPECT_EQ(buffer[0], 0u);
    DebugLevel = 2;
}

// Short buffers: the reply never passes the buffer's end, and keys that do
// not fit stay queued rather than being handed out into nowhere.
TEST_F(KeyEventsTest, ShortBuffersGetWhatFitsAndLoseNoKey) {
    Flush();
    Block(kKey1 | kKey2 | kKey3);
    Block(0);
    ASSERT_EQ(ext_->KeyCount, 3u);

    NTSTATUS status;
    auto keys = GetKeys(3, 1, &status);  // room for one entry only
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(keys, (std::vector<ULONG>{Entry(7, 0, VELNOR_KEY_BREAK)}));
    EXPECT_EQ(ext_->KeyCount, 2u);

    ULONG buffer[2] = {0xAAAAAAAA, 0xBBBBBBBB};
    hk::IoResult r = hk::ReadFile(handle_, buffer, 6);  // one whole entry fits
    EXPECT_EQ(r.information, 4u);
    EXPECT_EQ(buffer[0], Entry(11, 0, VELNOR_KEY_BREAK));
    EXPECT_EQ(buffer[1], 0xBBBBBBBBu);

    r = hk::ReadFile(handle_, buffer, 3);
    EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
    r = hk::ReadFile(handle_, nullptr, 0);
    EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
    ULONG count = 16;
    r = hk::DeviceIoControl(handle_, IOCTL_VELNOR_KEYPAD_GETKEY, &count, 4, &count, 2);
    EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
    r = hk::DeviceIoControl(handle_, IOCTL_VELNOR_KEYPAD_GETKEY, &count, 2, &count, 4);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER) << "no key count";
    EXPECT_EQ(GetKeys(16), (std::vector<ULONG>{Entry(15, 0, VELNOR_KEY_BREAK)})) << "the refused requests took nothing";

    EXPECT_EQ(GetKeys(0), (std::vector<ULONG>{0u})) << "asking for none gives one 0 entry";
}

TEST_F(KeyEventsTest, HoldingKeyLockWithARingLockIsCaughtByTheVerifier) {
    hk::ViolationRecorder recorder;
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&ext_->DataRingBuffer->lock);
    Velnor_KeypadFlush(ext_);
    KeReleaseSpinLock(&ext_->DataRingBuffer->lock, old);
    EXPECT_FALSE(recorder.Take().empty());
}

// Blocks with key presses on one thread, GETKEY on another: every press
// is released exactly once, whatever the interleaving.
TEST_F(KeyEventsTest, ConcurrentTakeOutSeesEveryPressOnce) {
    hk::ViolationRecorder recorder;
    Flush();
    std::atomic<bool> done{false};
    std::atomic<int> released{0};
    std::vector<ULONG> taken;
    auto take = [&] {
        for (ULONG k : GetKeys(16)) {
            if (k) taken.push_back(k);
            if (k & VELNOR_KEY_BREAK) ++released;
        }
    };
    std::thread taker([&] {
        while (!done.load()) take();
    });
    constexpr int kPresses = 40;
    for (int i = 0; i < kPresses; ++i) {
        while (i - released.load() > 8) std::this_thread::yield();  // keep the queue from filling up
        Block(i % 2 ? kKey1 : kKey3);
        Block(0);
    }
    done = true;
    taker.join();
    take();
    EXPECT_EQ(released.load(), kPresses);
    // A take-out between the key step's two locked sections may also see the
    // entry before its break bit, as a held key; the break still comes once.
    for (ULONG k : taken) EXPECT_TRUE(VELNOR_KEY_CODE(k) == 7 || VELNOR_KEY_CODE(k) == 15) << std::hex << k;
    EXPECT_TRUE(recorder.Take().empty());
}

}  // namespace
