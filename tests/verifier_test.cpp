// The host kernel as strict as the platform under Driver Verifier: the I/O
// verification rules, buffered replies and the registry, device object
// lifetimes with the Plug and Play order, and the low resources simulation.
#include <hostkernel/hostkernel.h>
#include <usbdlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

using Violations = std::vector<hk::Violation>;

// How many of `v` came from `routine` with `text` in their message.
size_t Count(const Violations& v, std::string_view routine, std::string_view text) {
    size_t n = 0;
    for (const auto& x : v) n += x.routine == routine && x.message.find(text) != std::string::npos;
    return n;
}

std::string Describe(const Violations& v) {
    std::string s;
    for (const auto& x : v) s += "\n  " + x.routine + ": " + x.message;
    return s;
}

// Takes the findings so far: exactly `expected`, each once.
Violations ExpectFindings(hk::ViolationRecorder& recorder,
                          std::initializer_list<std::pair<std::string_view, std::string_view>> expected = {}) {
    Violations v = recorder.Take();
    for (const auto& [routine, text] : expected) EXPECT_EQ(Count(v, routine, text), 1u) << text << Describe(v);
    EXPECT_EQ(v.size(), expected.size()) << Describe(v);
    return v;
}

UNICODE_STRING Str(const char16_t* text) {
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, text);
    return u;
}

// ------------------------------------------------------------------ a test driver
// Its dispatch routine keeps or breaks the request rules as `g_mode` says.
enum class Mode {
    Complete,           // completes with success
    PendWithoutMark,    // the bus thread completes it; returns STATUS_PENDING unmarked
    MarkAndComplete,    // marks pending, completes, returns success
    ReturnOtherStatus,  // completes with success, returns STATUS_UNSUCCESSFUL
    PendProperly,       // marks, the bus thread completes with STATUS_NOT_SUPPORTED
    ForwardPropagate,   // to g_lower with a routine that propagates the pending mark
    ForwardNoPropagate, // the same routine without the propagation
    LeaveUnwritten,     // success, Information = output length - 4, nothing written
    Echo,               // the input to whichever output buffer the method gives, byte 0 = 0xA0 | method
    CompleteTwice,      // completes the request, then completes it again
    ReturnWithoutCompleting,
};
std::atomic<Mode> g_mode{Mode::Complete};
PDEVICE_OBJECT g_device = nullptr;
PDEVICE_OBJECT g_lower = nullptr;
std::atomic<int> g_creates{0}, g_closes{0};
constexpr ULONG kTestCode = CTL_CODE(0x22, 0x900, METHOD_BUFFERED, 0);

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Completion routines that let the completion go on, with and without the pending mark.
NTSTATUS Propagating(PDEVICE_OBJECT, PIRP irp, PVOID) {
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}
NTSTATUS NotPropagating(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }

NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_CREATE) ++g_creates;
    if (stack->MajorFunction == IRP_MJ_CLOSE) ++g_closes;
    if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL) return Complete(irp, STATUS_SUCCESS);
    switch (g_mode.load()) {
    case Mode::Complete:
        return Complete(irp, STATUS_SUCCESS);
    case Mode::PendWithoutMark:
    case Mode::PendProperly: {
        const bool proper = g_mode == Mode::PendProperly;
        if (proper) IoMarkIrpPending(irp);
        hk::BusPost([irp, proper] { hk::CompleteIrp(irp, proper ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS); });
        return STATUS_PENDING;
    }
    case Mode::MarkAndComplete:
        IoMarkIrpPending(irp);
        Complete(irp, STATUS_SUCCESS);
        return STATUS_SUCCESS;
    case Mode::ReturnOtherStatus:
        Complete(irp, STATUS_SUCCESS);
        return STATUS_UNSUCCESSFUL;
    case Mode::ForwardPropagate:
    case Mode::ForwardNoPropagate:
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, g_mode == Mode::ForwardPropagate ? Propagating : NotPropagating, nullptr, TRUE,
                               TRUE, TRUE);
        return IoCallDriver(g_lower, irp);
    case Mode::LeaveUnwritten:
        return Complete(irp, STATUS_SUCCESS, stack->Parameters.DeviceIoControl.OutputBufferLength - 4);
    case Mode::Echo: {
        const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
        auto* in = static_cast<unsigned char*>(irp->AssociatedIrp.SystemBuffer);
        auto* out = (code & 3) == METHOD_BUFFERED ? in
                                                  : static_cast<unsigned char*>(MmGetSystemAddressForMdlSafe(
                                                        irp->MdlAddress, NormalPagePriority));
        const ULONG n = std::min(stack->Parameters.DeviceIoControl.InputBufferLength,
                                 stack->Parameters.DeviceIoControl.OutputBufferLength);
        if (out != in) std::memcpy(out, in, n);
        if (n) out[0] = static_cast<unsigned char>(0xA0 | (code & 3));
        return Complete(irp, STATUS_SUCCESS, n);
    }
    case Mode::CompleteTwice:
        Complete(irp, STATUS_SUCCESS);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    case Mode::ReturnWithoutCompleting:
        return STATUS_SUCCESS;
    }
    return STATUS_SUCCESS;
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (UCHAR m : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_DEVICE_CONTROL}) driver->MajorFunction[m] = Dispatch;
    driver->DriverUnload = [](PDRIVER_OBJECT) {};
    UNICODE_STRING name = Str(u"\\Device\\HkVerify"), link = Str(u"\\DosDevices\\HkVerify");
    NTSTATUS s = IoCreateDevice(driver, 16, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_device);
    if (!NT_SUCCESS(s)) return s;
    g_device->Flags |= DO_DIRECT_IO;
    g_device->Flags &= ~DO_DEVICE_INITIALIZING;
    if (!IoAttachDeviceToDeviceStack(g_device, g_lower)) return STATUS_NO_SUCH_DEVICE;
    return IoCreateSymbolicLink(&link, &name);
}

// The test driver loaded over a lower device that pends every request and
// completes it on the bus thread, opened once.
class Verifier : public ::testing::Test {
protected:
    void SetUp() override {
        g_mode = Mode::Complete;
        g_creates = g_closes = 0;
        g_lower = hk::CreateLowerDevice([](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            hk::BusPost([irp] { hk::CompleteIrp(irp, STATUS_SUCCESS); });
            return STATUS_PENDING;
        });
        driver_ = hk::LoadDriver(Entry, u"HkVerify");
        ASSERT_NE(driver_, nullptr);
        ASSERT_EQ(hk::OpenFile("\\\\.\\HkVerify", &handle_), STATUS_SUCCESS);
    }
    void TearDown() override {
        if (handle_ != hk::kInvalidHandle) hk::CloseFile(handle_);
        if (driver_) {
            UNICODE_STRING link = Str(u"\\DosDevices\\HkVerify");
            IoDeleteSymbolicLink(&link);
            if (!deleted_) {
                IoDetachDevice(g_lower);
                IoDeleteDevice(g_device);
            }
            EXPECT_TRUE(hk::UnloadDriver(driver_));
        }
        hk::BusFlush();
        hk::DeleteLowerDevice(g_lower);
        EXPECT_TRUE(hk::OutstandingPool().empty());
    }
    hk::IoResult Control(Mode mode) {
        g_mode = mode;
        hk::IoResult r = hk::DeviceIoControl(handle_, kTestCode, nullptr, 0, nullptr, 0);
        hk::BusFlush();  // a late completion has run and been judged
        return r;
    }

    hk::Driver* driver_ = nullptr;
    hk::Handle handle_ = hk::kInvalidHandle;
    bool deleted_ = false;  // the test deleted the device itself
};

VOID NeverCalled(PDEVICE_OBJECT, PIRP) { ADD_FAILURE() << "cancel routine called"; }

NTSTATUS KeepIt(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void Wait(KEVENT& event) { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); }

// Cancels a request that SendKept sent and frees it once it is back.
void CancelAndFree(PIRP irp, KEVENT& done) {
    EXPECT_TRUE(IoCancelIrp(irp));
    Wait(done);
    IoFreeIrp(irp);
}

// Sends a request of the test's own; its completion routine keeps it and sets `done`.
NTSTATUS SendKept(PDEVICE_OBJECT device, KEVENT& done, PIRP& irp, PDRIVER_CANCEL cancel = nullptr) {
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp = IoAllocateIrp(device->StackSize, FALSE);
    IoSetCompletionRoutine(irp, KeepIt, &done, TRUE, TRUE, TRUE);
    if (cancel) IoSetCancelRoutine(irp, cancel);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    return IoCallDriver(device, irp);
}

// Two requests allocated at load, one reinitialised as streams do before
// every resubmission; neither is freed.
// Pool too: one block kept, one freed.
PIRP g_kept[2];
void* g_keptPool = nullptr;
NTSTATUS LeakingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverUnload = [](PDRIVER_OBJECT) {};
    g_keptPool = ExAllocatePoolWithTag(NonPagedPool, 100, 'LEAK');
    ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 50, 'LEAK'));
    g_kept[0] = IoAllocateIrp(2, FALSE);
    g_kept[1] = IoAllocateIrp(2, FALSE);
    IoInitializeIrp(g_kept[1], IoSizeOfIrp(2), 2);
    return STATUS_SUCCESS;
}

// Each rule of the request path, broken once and kept once.
TEST_F(Verifier, IoVerificationChecksPendingStatusesCompletionRoutinesAndCallingRules) {
    hk::ViolationRecorder recorder;
    // A dispatch routine's answers. The caller of a request that did not pend
    // gets the returned status; of one that pended, the completion's.
    EXPECT_EQ(Control(Mode::Complete).status, STATUS_SUCCESS);
    EXPECT_EQ(Control(Mode::PendProperly).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Control(Mode::ForwardPropagate).status, STATUS_SUCCESS);
    ExpectFindings(recorder);

    // Each broken rule reported once, where it was broken. The lower driver
    // pends under ForwardNoPropagate: a completion routine that lets the
    // completion go on must mark the request pending at its own level, and
    // the dispatch routine that returned the lower status is not blamed too.
    struct Broken {
        Mode mode;
        NTSTATUS returned;
        const char *routine, *rule;
    };
    for (const Broken& b : {
             Broken{Mode::PendWithoutMark, STATUS_SUCCESS, "IofCallDriver",
                    "returned STATUS_PENDING without marking the request pending"},
             Broken{Mode::CompleteTwice, STATUS_SUCCESS, "IofCompleteRequest", "completed twice"},
             Broken{Mode::MarkAndComplete, STATUS_SUCCESS, "IofCallDriver",
                    "marked the request pending (IoMarkIrpPending) but returned 0x0"},
             Broken{Mode::ReturnOtherStatus, STATUS_UNSUCCESSFUL, "IofCallDriver",
                    "IRP_MJ_DEVICE_CONTROL dispatch routine of \\Driver\\HkVerify returned 0xC0000001 for a "
                    "request it completed with IoStatus.Status 0x0"},
             Broken{Mode::ForwardNoPropagate, STATUS_SUCCESS, "IofCompleteRequest",
                    "completion routine of \\Driver\\HkVerify returned 0x0 without IoMarkIrpPending although "
                    "Irp->PendingReturned is set"},
         }) {
        EXPECT_EQ(Control(b.mode).status, b.returned) << "the returned status, not IoStatus";
        ExpectFindings(recorder, {{b.routine, b.rule}});
    }
    // A request the dispatch routine neither completed nor passed on stays
    // with the driver: sent here rather than through a handle, whose caller
    // would wait for it, and completed once the check has fired.
    g_mode = Mode::ReturnWithoutCompleting;
    PIRP kept = IoBuildDeviceIoControlRequest(kTestCode, g_device, nullptr, 0, nullptr, 0, FALSE, nullptr, nullptr);
    IoCallDriver(g_device, kept);
    ExpectFindings(recorder, {{"IofCallDriver", "HkVerify returned 0x0 without completing or passing on"}});
    hk::CompleteIrp(kept, STATUS_SUCCESS);

    // A threaded request is built at PASSIVE_LEVEL only, and only the I/O
    // manager frees it: the refused IoFreeIrp leaves it whole to send.
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    PIRP threaded = IoBuildDeviceIoControlRequest(kTestCode, g_lower, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    KeLowerIrql(old);
    ASSERT_NE(threaded, nullptr);
    IoFreeIrp(threaded);
    ExpectFindings(recorder, {{"IoBuildDeviceIoControlRequest", "called at IRQL 1; it requires PASSIVE_LEVEL"},
                              {"IoFreeIrp", "IoBuildDeviceIoControlRequest is freed by the I/O manager"}});
    iosb.Status = STATUS_PENDING;
    IoCallDriver(g_lower, threaded);
    Wait(event);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);

    // Port reset and enable, and a pipe reset, reach the USB stack at
    // PASSIVE_LEVEL only; other URBs may go at DISPATCH_LEVEL.
    auto sendAt = [&](KIRQL irql, ULONG code, USHORT function) {
        URB urb{};
        urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
        urb.UrbHeader.Function = function;
        KeClearEvent(&event);
        PIRP irp = IoBuildDeviceIoControlRequest(code, g_lower, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
        KeRaiseIrql(irql, &old);
        IoCallDriver(g_lower, irp);
        KeLowerIrql(old);
        Wait(event);
    };
    for (KIRQL irql : {KIRQL(PASSIVE_LEVEL), KIRQL(DISPATCH_LEVEL)})
        for (ULONG code : {IOCTL_INTERNAL_USB_RESET_PORT, IOCTL_INTERNAL_USB_ENABLE_PORT}) sendAt(irql, code, 0);
    sendAt(DISPATCH_LEVEL, IOCTL_INTERNAL_USB_SUBMIT_URB, URB_FUNCTION_RESET_PIPE);
    sendAt(DISPATCH_LEVEL, IOCTL_INTERNAL_USB_SUBMIT_URB, URB_FUNCTION_ABORT_PIPE);
    ExpectFindings(recorder, {{"IofCallDriver", "IOCTL_INTERNAL_USB_RESET_PORT sent at IRQL 2"},
                              {"IofCallDriver", "IOCTL_INTERNAL_USB_ENABLE_PORT sent at IRQL 2"},
                              {"IofCallDriver", "URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL sent at IRQL 2"}});

    // A zero-byte pool allocation is a finding, as under Driver Verifier.
    ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 0, 'tseT'));
    ExpectFindings(recorder, {{"ExAllocatePoolWithTag", "allocation of zero bytes"}});

    // A large block (a device ring's size) freed and allocated again is
    // uninitialised pool once more, counted once; a second free is a finding.
    constexpr size_t kLarge = 256 * 1024;
    auto* large = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, kLarge, 'graL'));
    std::memset(large, 0, kLarge);
    ExFreePool(large);
    large = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, kLarge, 'graL'));
    EXPECT_EQ(std::count(large, large + kLarge, hk::kStalePoolByte), static_cast<ptrdiff_t>(kLarge));
    const auto pool = hk::OutstandingPool();
    EXPECT_EQ(std::count_if(pool.begin(), pool.end(), [](const hk::PoolUsage& u) {
                  return u.tag == 'graL' && u.count == 1 && u.bytes == kLarge;
              }), 1);
    ExFreePool(large);
    ExFreePool(large);
    ExpectFindings(recorder, {{"ExFreePool", "block freed twice"}});

    // Unicode formats print at PASSIVE_LEVEL only; narrow ones anywhere.
    UNICODE_STRING u = Str(u"uni");
    char narrow[] = "ansi";
    ANSI_STRING a{4, 5, narrow};
    for (KIRQL irql : {KIRQL(PASSIVE_LEVEL), KIRQL(DISPATCH_LEVEL)}) {
        hk::LogClear();
        KeRaiseIrql(irql, &old);
        DbgPrint("%ws|%ls|%wZ|%s|%Z|%C\n", u"ws", u"ls", &u, "s", &a, u'c');
        KeLowerIrql(old);
        EXPECT_TRUE(hk::LogHasLine("ws|ls|uni|s|ansi|c"));
    }
    ExpectFindings(recorder, {{"DbgPrint", "%ws at IRQL 2"}, {"DbgPrint", "%ls at IRQL 2"},
                              {"DbgPrint", "%wZ at IRQL 2"}, {"DbgPrint", "%C at IRQL 2"}});
    // A line may come in pieces, and one call may end several lines.
    hk::LogClear();
    DbgPrint("part %d, ", 1);
    DbgPrint("part %d\nsecond\n", 2);
    DbgPrint("third\n");
    EXPECT_EQ(hk::LogLines(), (std::vector<std::string>{"part 1, part 2", "second", "third"}));

    // A request goes down without a cancel routine: the driver that set one
    // takes it back first.
    PDEVICE_OBJECT taker = hk::CreateLowerDevice([](PDEVICE_OBJECT, PIRP irp) {
        IoSetCancelRoutine(irp, nullptr);
        hk::CompleteIrp(irp, STATUS_SUCCESS);
        return STATUS_SUCCESS;
    });
    PIRP own;
    SendKept(taker, event, own, NeverCalled);
    Wait(event);
    IoFreeIrp(own);
    hk::DeleteLowerDevice(taker);
    ExpectFindings(recorder, {{"IofCallDriver", "request passed on with a cancel routine still set"}});

    // A request the driver allocated stays its own through IoInitializeIrp:
    // both leaked requests count at unload.
    hk::Driver* leaking = hk::LoadDriver(LeakingEntry, u"HkLeaking");
    ASSERT_NE(leaking, nullptr);
    EXPECT_TRUE(hk::UnloadDriver(leaking));
    ExpectFindings(recorder, {{"UnloadDriver", "2 request(s) from IoAllocateIrp never freed"},
                              {"UnloadDriver", "'LEAK': 1 allocation(s), 100 bytes"}});
    for (PIRP irp : g_kept) IoFreeIrp(irp);
    ExFreePool(g_keptPool);
    ExpectFindings(recorder);
}

// The DriverEntry that keeps the registry path it was given.
PUNICODE_STRING g_keptPath = nullptr;
NTSTATUS KeepingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    driver->DriverUnload = [](PDRIVER_OBJECT) {};
    g_keptPath = registryPath;
    return STATUS_SUCCESS;
}

// What a driver gets back from the platform's buffers and its registry.
TEST_F(Verifier, BuffersAndTheRegistryBehaveAsThePlatformsDo) {
    hk::ViolationRecorder recorder;
    // METHOD_BUFFERED: beyond the input the system buffer holds old pool
    // contents, and exactly Information bytes come back.
    g_mode = Mode::LeaveUnwritten;
    unsigned char in[4] = {1, 2, 3, 4}, out[16];
    std::memset(out, 0xEE, sizeof out);
    hk::IoResult r = hk::DeviceIoControl(handle_, kTestCode, in, sizeof in, out, sizeof out);
    ASSERT_EQ(r.information, 12u);
    EXPECT_EQ(0, std::memcmp(out, in, 4));
    for (size_t i = 4; i < 16; ++i) EXPECT_EQ(out[i], i < 12 ? hk::kStalePoolByte : 0xEE) << i << ": stale, then caller's";
    // Each method delivers the input and returns Information bytes, no more.
    g_mode = Mode::Echo;
    for (ULONG method : {METHOD_BUFFERED, METHOD_IN_DIRECT, METHOD_OUT_DIRECT}) {
        unsigned char input[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        std::memset(out, 0xEE, sizeof out);
        r = hk::DeviceIoControl(handle_, CTL_CODE(0x22, 0x900, method, 0), input, sizeof input, out, 12);
        EXPECT_TRUE(r.status == STATUS_SUCCESS && r.information == 8u) << method;
        EXPECT_EQ(out[0], 0xA0 | method);
        EXPECT_EQ(0, std::memcmp(out + 1, input + 1, 7)) << method;
        EXPECT_EQ(out[8], 0xEE) << method << ": bytes past Information are the caller's";
    }

    // Direct registry queries. A 4-byte target declared REG_DWORD: without
    // the type check a string would be written over it as a UNICODE_STRING
    // (reported, nothing written); with it, a mismatch fails cleanly.
    const std::u16string key = hk::ServiceKeyPath(u"HkRegistry");
    hk::RegistryCreateKey(key);
    hk::RegistrySetString(key, u"Text", u"five");
    hk::RegistrySetDword(key, u"Number", 7);
    hk::RegistrySetBinary(key, u"Blob", {1, 2, 3, 4, 5, 6, 7, 8});
    auto query = [&](const char16_t* name, ULONG flags, ULONG defaultType, void* target) {
        ULONG fallback = 2;
        RTL_QUERY_REGISTRY_TABLE table[2] = {{nullptr, RTL_QUERY_REGISTRY_DIRECT | flags,
                                              const_cast<PWSTR>(reinterpret_cast<PCWSTR>(name)), target, defaultType,
                                              &fallback, sizeof fallback}};
        return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, reinterpret_cast<PCWSTR>(key.c_str()), table, nullptr,
                                      nullptr);
    };
    const ULONG checkDword = RTL_QUERY_REGISTRY_TYPECHECK;
    const ULONG expectDword = (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_DWORD;
    struct Probe {
        ULONG value = 0x11111111;
        ULONG guard[3] = {0x22222222, 0x22222222, 0x22222222};
    };
    for (const char16_t* name : {u"Text", u"Blob"}) {
        Probe p;
        EXPECT_EQ(query(name, 0, REG_DWORD, &p.value), STATUS_OBJECT_TYPE_MISMATCH);
        EXPECT_EQ(p.value, 0x11111111u);
        EXPECT_EQ(p.guard[0], 0x22222222u) << "nothing written past the target";
        Violations v = ExpectFindings(recorder, {{"RtlQueryRegistryValues", "without RTL_QUERY_REGISTRY_TYPECHECK"}});
        EXPECT_EQ(Count(v, "RtlQueryRegistryValues", "overwrites the 4-byte target"), 1u) << Describe(v);
        EXPECT_EQ(query(name, checkDword, expectDword, &p.value), STATUS_OBJECT_TYPE_MISMATCH);
        EXPECT_EQ(p.value, 0x11111111u);
    }
    for (auto [name, value] : {std::pair{u"Number", 7u}, {u"Missing", 2u}}) {
        Probe p;
        EXPECT_EQ(query(name, checkDword, expectDword, &p.value), STATUS_SUCCESS);
        EXPECT_EQ(p.value, value) << "the value, else the default";
    }
    ExpectFindings(recorder);
    // Targets declared for what they receive: a UNICODE_STRING (a null
    // buffer gets pool the caller frees), a sized buffer for larger data.
    UNICODE_STRING text{};
    ASSERT_EQ(query(u"Text", 0, REG_SZ, &text), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(text.Buffer), text.Length / 2), u"five");
    RtlFreeUnicodeString(&text);
    WCHAR small[3];
    UNICODE_STRING tooSmall{0, sizeof small, small};
    EXPECT_EQ(query(u"Text", 0, REG_SZ, &tooSmall), STATUS_BUFFER_TOO_SMALL);
    LONG blob[3] = {-8, 0, 0x33};
    ASSERT_EQ(query(u"Blob", 0, REG_BINARY, blob), STATUS_SUCCESS);
    EXPECT_EQ(0, std::memcmp(blob, "\1\2\3\4\5\6\7\10", 8)) << "data only, for a negative size";
    EXPECT_EQ(blob[2], 0x33);
    ExpectFindings(recorder);
    hk::RegistryDeleteKey(key);

    // DriverEntry's registry path is the platform's, freed when DriverEntry
    // returns: a driver that kept it reads no path (and AddressSanitizer
    // stops it at the first byte).
    hk::Driver* keeping = hk::LoadDriver(KeepingEntry, u"HkKeeping");
    ASSERT_NE(keeping, nullptr);
    ASSERT_NE(g_keptPath, nullptr);
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_DEATH(std::printf("%u\n", static_cast<unsigned>(g_keptPath->Length)), "use-after-poison");
#else
    EXPECT_EQ(g_keptPath->Length, 0xDDDD) << "the block holds no string any more";
#endif
    EXPECT_TRUE(hk::UnloadDriver(keeping));
}

// A function driver for the Plug and Play order: attaches at add-device,
// passes everything down, detaches and deletes at remove.
PDEVICE_OBJECT g_fdo = nullptr;
PDEVICE_OBJECT g_fdoLower = nullptr;
NTSTATUS PnpDispatch(PDEVICE_OBJECT, PIRP irp) {
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS s = IoCallDriver(g_fdoLower, irp);
    if (minor == IRP_MN_REMOVE_DEVICE) {
        IoDetachDevice(g_fdoLower);
        IoDeleteDevice(g_fdo);
    }
    return s;
}
NTSTATUS PnpEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverUnload = [](PDRIVER_OBJECT) {};
    driver->MajorFunction[IRP_MJ_PNP] = PnpDispatch;
    driver->DriverExtension->AddDevice = [](PDRIVER_OBJECT d, PDEVICE_OBJECT pdo) -> NTSTATUS {
        NTSTATUS s = IoCreateDevice(d, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_fdo);
        if (!NT_SUCCESS(s)) return s;
        g_fdoLower = IoAttachDeviceToDeviceStack(g_fdo, pdo);
        g_fdo->Flags &= ~DO_DEVICE_INITIALIZING;
        return STATUS_SUCCESS;
    };
    return STATUS_SUCCESS;
}

// A driver whose device keeps every request until it is cancelled.
PDEVICE_OBJECT g_holding = nullptr;
NTSTATUS HoldingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverUnload = [](PDRIVER_OBJECT) {};
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        hk::PendUntilCancelled(irp);
        return STATUS_PENDING;
    };
    NTSTATUS s = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_holding);
    if (NT_SUCCESS(s)) g_holding->Flags &= ~DO_DEVICE_INITIALIZING;
    return s;
}

// A device object outlives IoDeleteDevice while anything still refers to
// it, and the PnP manager's requests come in its order only.
TEST_F(Verifier, DeletedDevicesLiveUntilTheirLastReferenceAndPnpRequestsKeepTheirOrder) {
    hk::ViolationRecorder recorder;
    // An open handle: the device goes on receiving the handle's cleanup and
    // close, takes no new open, and is freed after the close.
    UNICODE_STRING link = Str(u"\\DosDevices\\HkVerify");
    IoDeleteSymbolicLink(&link);
    IoDetachDevice(g_lower);
    IoDeleteDevice(g_device);
    deleted_ = true;
    EXPECT_EQ(hk::DeviceObjectReferences(g_device), 1u) << "the handle's";
    EXPECT_EQ(hk::FindDeviceByName(u"\\Device\\HkVerify"), nullptr) << "the name goes at once";
    EXPECT_EQ(hk::SendIrp(g_device, IRP_MJ_CREATE, 0).status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(g_creates, 1) << "the refused create never reached the driver";
    EXPECT_EQ(hk::DeviceIoControl(handle_, kTestCode, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(hk::CloseFile(std::exchange(handle_, hk::kInvalidHandle)), STATUS_SUCCESS);
    EXPECT_EQ(g_closes, 1);
    EXPECT_EQ(hk::DeviceObjectReferences(g_device), 0u) << "freed with the last reference";

    // A request in flight at a deleted device keeps it until its completion
    // has passed; a device attached above keeps the one below until it detaches.
    PDEVICE_OBJECT pending = hk::CreateLowerDevice([](PDEVICE_OBJECT, PIRP irp) {
        hk::PendUntilCancelled(irp);
        return STATUS_PENDING;
    });
    PIRP irp;
    KEVENT done;
    EXPECT_EQ(SendKept(pending, done, irp), STATUS_PENDING);
    hk::DeleteLowerDevice(pending);
    EXPECT_EQ(hk::DeviceObjectReferences(pending), 1u) << "the request's";
    CancelAndFree(irp, done);
    EXPECT_EQ(hk::DeviceObjectReferences(pending), 0u);

    // A driver unloaded while one of its deleted devices is still referenced
    // would be called after it has gone.
    hk::Driver* holding = hk::LoadDriver(HoldingEntry, u"HkHolding");
    ASSERT_NE(holding, nullptr);
    EXPECT_EQ(SendKept(g_holding, done, irp), STATUS_PENDING);
    IoDeleteDevice(g_holding);
    EXPECT_TRUE(hk::UnloadDriver(holding));
    ExpectFindings(recorder, {{"UnloadDriver", "1 deleted device object(s) still referenced"}});
    CancelAndFree(irp, done);
    EXPECT_EQ(hk::DeviceObjectReferences(g_holding), 0u);

    PDEVICE_OBJECT below = hk::CreateLowerDevice(nullptr);
    PDEVICE_OBJECT above = hk::CreateLowerDevice(nullptr);
    ASSERT_EQ(IoAttachDeviceToDeviceStack(above, below), below);
    hk::DeleteLowerDevice(below);
    EXPECT_EQ(hk::DeviceObjectReferences(below), 1u) << "the attachment's";
    SendKept(below, done, irp);  // the device above still sends it requests
    Wait(done);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
    IoFreeIrp(irp);
    IoDetachDevice(below);
    EXPECT_EQ(hk::DeviceObjectReferences(below), 0u);
    hk::DeleteLowerDevice(above);
    ExpectFindings(recorder);

    // The PnP manager's order: the harness plays it, so a request out of
    // order is reported (and still sent, leaving the order where it was).
    NTSTATUS preset = STATUS_SUCCESS;  // IoStatus of the first request to reach the bottom
    PDEVICE_OBJECT pdo = hk::CreateLowerDevice([&](PDEVICE_OBJECT, PIRP irp) {
        if (preset == STATUS_SUCCESS) preset = irp->IoStatus.Status;
        hk::CompleteIrp(irp, STATUS_SUCCESS);
        return STATUS_SUCCESS;
    });
    hk::Driver* pnp = hk::LoadDriver(PnpEntry, u"HkPnp");
    ASSERT_NE(pnp, nullptr);
    struct Step {
        UCHAR minor;
        const char* rule;  // null: in order
    };
    auto send = [&](const Step& step) {
        SCOPED_TRACE(static_cast<int>(step.minor));
        hk::PnpSend(pdo, step.minor);
        step.rule ? (void)ExpectFindings(recorder, {{"PnpSend", step.rule}}) : (void)ExpectFindings(recorder);
    };
    send({IRP_MN_START_DEVICE, "IRP_MN_START_DEVICE out of order: the PnP manager sends nothing before the "
                               "driver's add-device routine has run"});
    ASSERT_EQ(hk::PnpAddDevice(pnp, pdo), STATUS_SUCCESS);
    for (const Step& step : {
        Step{IRP_MN_STOP_DEVICE, "IRP_MN_STOP_DEVICE comes only after a successful IRP_MN_QUERY_STOP_DEVICE"},
        {IRP_MN_START_DEVICE, nullptr},
        {IRP_MN_START_DEVICE, "IRP_MN_START_DEVICE comes after add-device, or after IRP_MN_STOP_DEVICE"},
        {IRP_MN_QUERY_STOP_DEVICE, nullptr},
        {IRP_MN_QUERY_REMOVE_DEVICE, "IRP_MN_QUERY_REMOVE_DEVICE goes to a started device only"},
        {IRP_MN_CANCEL_STOP_DEVICE, nullptr},
        {IRP_MN_QUERY_STOP_DEVICE, nullptr},
        {IRP_MN_STOP_DEVICE, nullptr},
        {IRP_MN_START_DEVICE, nullptr},
        {IRP_MN_CANCEL_REMOVE_DEVICE, "IRP_MN_CANCEL_REMOVE_DEVICE comes only after IRP_MN_QUERY_REMOVE_DEVICE"},
        {IRP_MN_QUERY_REMOVE_DEVICE, nullptr},
        {IRP_MN_CANCEL_REMOVE_DEVICE, nullptr},
        {IRP_MN_SURPRISE_REMOVAL, nullptr},
        {IRP_MN_QUERY_CAPABILITIES, "after IRP_MN_SURPRISE_REMOVAL only IRP_MN_REMOVE_DEVICE comes"},
        {IRP_MN_REMOVE_DEVICE, nullptr},
        Step{IRP_MN_START_DEVICE, "the PnP manager sends nothing after IRP_MN_REMOVE_DEVICE"}})
        send(step);
    EXPECT_EQ(preset, STATUS_NOT_SUPPORTED) << "a PnP request starts out not supported";
    EXPECT_EQ(hk::DriverObjectOf(pnp)->DeviceObject, nullptr) << "removed";
    EXPECT_TRUE(hk::UnloadDriver(pnp));
    hk::DeleteLowerDevice(pdo);
    ExpectFindings(recorder);
}

// A small operation with one allocation of each kind a driver makes, that
// releases what it had when one fails; returns the status it ends with.
NTSTATUS SetUpAndTearDown(PDEVICE_OBJECT lower) {
    void* block = ExAllocatePoolWithTag(NonPagedPool, 64, 'TEST');
    if (!block) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
    PMDL mdl = irp ? IoAllocateMdl(block, 64, FALSE, FALSE, nullptr) : nullptr;
    if (mdl) {
        MmBuildMdlForNonPagedPool(mdl);
        status = STATUS_SUCCESS;
        IoFreeMdl(mdl);
    }
    if (irp) IoFreeIrp(irp);
    ExFreePool(block);
    return status;
}

// Every allocating routine fails on demand: by count, by pool tag, at
// random from a seed; the calls are counted per routine so a reliability
// test can fail each allocation site in turn.
TEST_F(Verifier, LowResourcesSimulationFailsTheChosenCallsOfEveryAllocatingRoutine) {
    hk::ViolationRecorder recorder;
    {
        hk::FailAllocations second({hk::Alloc::IoAllocateIrp, 0, 2});
        for (int n = 1; n <= 3; ++n) {
            PIRP irp = IoAllocateIrp(1, FALSE);
            EXPECT_EQ(irp == nullptr, n == 2) << n;
            if (irp) IoFreeIrp(irp);
        }
        EXPECT_TRUE(second.Matched() == 3u && second.Failed() == 1u);
    }
    // Pool blocks of `tags` in turn: '.' granted, 'x' failed.
    auto pool = [](const std::vector<ULONG>& tags) {
        std::string got;
        for (ULONG tag : tags) {
            void* p = ExAllocatePoolWithTag(NonPagedPool, 8, tag);
            got += p ? '.' : 'x';
            if (p) ExFreePool(p);
        }
        return got;
    };
    {
        hk::FailAllocations tagged({hk::Alloc::ExAllocatePoolWithTag, 'AAAA', 1, 2});
        EXPECT_EQ(pool({'BBBB', 'AAAA', 'AAAA', 'AAAA'}), ".xx.") << "two in a row from the first; other tags untouched";
    }
    // At random: a seed fails the same calls every time, another seed others.
    auto pattern = [&](uint64_t seed) {
        hk::FailAllocations random({hk::Alloc::Any, 0, 0, 1, 0.3, seed});
        const std::string fails = pool(std::vector<ULONG>(200, 'RAND'));
        EXPECT_EQ(random.Failed(), static_cast<unsigned>(std::count(fails.begin(), fails.end(), 'x')));
        return fails;
    };
    const std::string a = pattern(42);
    EXPECT_EQ(pattern(42), a);
    EXPECT_NE(pattern(43), a);
    const auto failed = std::count(a.begin(), a.end(), 'x');
    EXPECT_TRUE(failed > 30 && failed < 90) << failed << " of 200, 60 expected";

    // Each routine fails the way the platform's does when memory runs out.
    {
        hk::FailAllocations all({hk::Alloc::Any, 0, 1, 1000});
        EXPECT_EQ(IoBuildDeviceIoControlRequest(kTestCode, g_lower, nullptr, 0, nullptr, 0, FALSE, nullptr, nullptr),
                  nullptr);
        char buffer[8];
        EXPECT_EQ(IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr), nullptr);
        MDL mdl{};
        mdl.StartVa = buffer, mdl.ByteCount = sizeof buffer;
        EXPECT_EQ(MmGetSystemAddressForMdlSafe(&mdl, NormalPagePriority), nullptr);
        USB_CONFIGURATION_DESCRIPTOR config{9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 18, 1, 1, 0, 0x80, 50};
        USB_INTERFACE_DESCRIPTOR iface{9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 0, 0xFF, 0, 0, 0};
        USBD_INTERFACE_LIST_ENTRY list[2] = {{&iface, nullptr}, {nullptr, nullptr}};
        EXPECT_EQ(USBD_CreateConfigurationRequestEx(&config, list), nullptr);
        PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(1);
        EXPECT_EQ(IoCreateDevice(hk::DriverObjectOf(driver_), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                  STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(device, nullptr);
        UNICODE_STRING link = Str(u"\\DosDevices\\HkFails"), name = Str(u"\\Device\\HkVerify"), text = Str(u"text");
        EXPECT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_FALSE(hk::SymbolicLinkExists(u"\\DosDevices\\HkFails"));
        ANSI_STRING ansi{};
        EXPECT_EQ(RtlUnicodeStringToAnsiString(&ansi, &text, TRUE), STATUS_NO_MEMORY);
        char fixed[8];
        ANSI_STRING given{0, sizeof fixed, fixed};
        EXPECT_EQ(RtlUnicodeStringToAnsiString(&given, &text, FALSE), STATUS_SUCCESS) << "nothing to allocate";
        EXPECT_EQ(all.Failed(), 7u);
    }

    // The walk: count the operation's allocating calls, then fail each in
    // turn; every failure is handled and nothing leaks.
    hk::ResetAllocationCalls();
    ASSERT_EQ(SetUpAndTearDown(g_lower), STATUS_SUCCESS);
    const uint64_t calls = hk::AllocationCalls(hk::Alloc::ExAllocatePoolWithTag) +
                           hk::AllocationCalls(hk::Alloc::IoAllocateIrp) + hk::AllocationCalls(hk::Alloc::IoAllocateMdl);
    EXPECT_EQ(calls, 3u);
    EXPECT_EQ(hk::AllocationCalls(hk::Alloc::IoBuildDeviceIoControlRequest), 0u);
    for (unsigned nth = 1; nth <= calls; ++nth) {
        hk::FailAllocations site({hk::Alloc::Any, 0, nth});
        EXPECT_EQ(SetUpAndTearDown(g_lower), STATUS_INSUFFICIENT_RESOURCES) << nth;
        EXPECT_EQ(site.Failed(), 1u) << nth;
        EXPECT_TRUE(hk::OutstandingPool().empty()) << nth;
    }
    EXPECT_EQ(hk::AllocationCalls(hk::Alloc::IoAllocateMdl), 2u) << "counted whether failed or not";
    ExpectFindings(recorder);
}

}  // namespace
