// Every control code that allocates or talks to the module, with each of its
// allocations failed in turn and with its request block failed, hung and
// stalled: each ends with a clear status, leaks nothing, and the same request
// works again once the fault is gone.
#include "support/module_harness.h"

#include <cstring>

namespace {

using Bytes = std::vector<uint8_t>;

template <typename T>
Bytes Of(const T& record) {
    Bytes b(sizeof(T));
    std::memcpy(b.data(), &record, sizeof(T));
    return b;
}

struct Case {
    const char* name;
    ULONG code;
    Bytes in;
    size_t outLength;
    uint8_t endpoint;  // where its request block goes
};

class FaultInjectionTest : public velnor_test::ModuleFixture {
protected:
    static size_t Pooled() {
        size_t n = 0;
        for (const auto& u : hk::OutstandingPool()) n += u.tag == VELNOR_POOL_TAG ? u.count : 0;
        return n;
    }
    static uint64_t Allocations() {
        uint64_t n = 0;
        for (size_t r = 0; r < static_cast<size_t>(hk::Alloc::Any); ++r) n += hk::AllocationCalls(static_cast<hk::Alloc>(r));
        return n;
    }
    NTSTATUS Call(const Case& c) {
        Bytes out(c.outLength, 0xEE);
        return hk::DeviceIoControl(handle_, c.code, c.in.empty() ? nullptr : c.in.data(), static_cast<ULONG>(c.in.size()),
                                   out.empty() ? nullptr : out.data(), static_cast<ULONG>(out.size()))
            .status;
    }
    static std::vector<Case> Cases() {
        const ULONG bulkIn = 2, bulkOut = 3;
        return {
            {"bulk write", IOCTL_VELNOR_BULK_WRITE, Of(bulkOut), 16, velnor::sim::kBulkOutEndpoint},
            {"vendor request", IOCTL_VELNOR_VENDOR_OR_CLASS_REQUEST,
             Of(VendorOrClassRequestInput{1, 2, 0, 0, 0x51, 0, 0, 0}), 8, 0},
            {"firmware download", IOCTL_VELNOR_FIRMWARE_DOWNLOAD, Of(uint16_t{0}), 64, 0},
            {"frame number", IOCTL_VELNOR_GET_CURRENT_FRAME_NUMBER, {}, 4, 0},
            {"bulk read", IOCTL_VELNOR_BULK_READ, Of(bulkIn), 8, velnor::sim::kBulkInEndpoint},
        };
    }
};

bool Clear(NTSTATUS s) {
    return s == STATUS_SUCCESS || s == STATUS_UNSUCCESSFUL || s == STATUS_INSUFFICIENT_RESOURCES || s == STATUS_NO_MEMORY ||
           s == STATUS_IO_TIMEOUT || s == STATUS_CANCELLED || s == STATUS_INVALID_PARAMETER;
}

TEST_F(FaultInjectionTest, EachAllocationAndRequestBlockOfAControlCodeFailedInTurn) {
    const size_t pooled = Pooled();
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name);
        hk::ResetAllocationCalls();
        const NTSTATUS clean = Call(c);
        ASSERT_TRUE(Clear(clean)) << std::hex << clean;
        const uint64_t calls = Allocations();
        EXPECT_GT(calls, 0u) << "it allocates nothing";
        for (unsigned nth = 1; nth <= calls; ++nth) {
            SCOPED_TRACE(testing::Message() << "allocation " << nth);
            {
                hk::FailAllocations fault({hk::Alloc::Any, 0, nth});
                const NTSTATUS s = Call(c);
                EXPECT_TRUE(Clear(s)) << std::hex << s;
                EXPECT_EQ(fault.Failed(), 1u);
            }
            EXPECT_EQ(Pooled(), pooled);
            EXPECT_EQ(Call(c), clean) << "not usable after the fault";
        }
        enum Fault { Failed, Hung, Stalled };
        for (Fault fault : {Failed, Hung, Stalled}) {
            SCOPED_TRACE(testing::Message() << "request block fault " << fault);
            if (fault == Failed) bus_->FailTransfer(c.endpoint, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_REQUEST_FAILED);
            if (fault == Hung) bus_->HangNextTransfer(c.endpoint);
            if (fault == Stalled) bus_->StallNext(c.endpoint);
            const NTSTATUS s = Call(c);
            EXPECT_TRUE(Clear(s)) << std::hex << s;
            EXPECT_TRUE(WaitFor([&] { return bus_->Pending() == 0; }, 1.0)) << "a request block was left pending";
            EXPECT_EQ(Pooled(), pooled);
            // A stalled bulk pipe stays halted until reset: only the control pipe recovers alone.
            if (fault != Stalled || c.endpoint == 0) {
                EXPECT_EQ(Call(c), clean) << "not usable after the fault";
            }
        }
    }
}

}  // namespace
