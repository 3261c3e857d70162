// The driver's one platform header: the kernel and USB driver interfaces,
// the pool tag, the log macro, and compile-time checks that every structure
// whose size the driver relies on has its x64 Windows layout.
#pragma once

#include <ntddk.h>
#include <usbdi.h>
extern "C" {
#include <usbdlib.h>
}

// The type check of direct registry queries; mingw-w64's DDK headers lack it.
#ifndef RTL_QUERY_REGISTRY_TYPECHECK
#define RTL_QUERY_REGISTRY_TYPECHECK 0x00000100
#define RTL_QUERY_REGISTRY_TYPECHECK_SHIFT 24
#endif

// Every block the driver allocates carries this tag.
#define VELNOR_POOL_TAG 'VLNR'

// Log threshold, driver-wide; a line of level N is printed when DebugLevel >= N.
extern LONG DebugLevel;

// Driver-wide flags and settings are written on one side and read on
// another without a lock: a request thread and a completion routine. Each
// access is one untorn load or store that the compiler may neither cache nor
// drop, ordered with the accesses around it (acquire, release); on x86 and
// x64 that is a plain move.
template <typename T>
inline T ReadShared(const volatile T& value) {
    return __atomic_load_n(&value, __ATOMIC_ACQUIRE);
}
template <typename T, typename U>
inline void WriteShared(volatile T& target, U value) {
    __atomic_store_n(&target, static_cast<T>(value), __ATOMIC_RELEASE);
}

#define VELNOR_LOG(level, ...)                                         \
    do {                                                               \
        if (ReadShared(DebugLevel) >= (level)) DbgPrint(__VA_ARGS__);  \
    } while (0)

// Entry and exit tracing (level 5). A routine reads the level once, on
// entry, into a local flag that gates its START and EXIT lines (and its
// other level-5 lines), so it prints both trace lines or neither even if
// the level changes meanwhile; below level 5 a call costs one load and a
// branch that is expected not to be taken.
#define VELNOR_TRACING() (ReadShared(DebugLevel) >= 5)
#define VELNOR_TRACE(tracing, ...)                                       \
    do {                                                                 \
        if (__builtin_expect((tracing) != 0, 0)) DbgPrint(__VA_ARGS__);  \
    } while (0)

static_assert(sizeof(void*) == 8, "the driver is built for 64-bit kernels");
static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4 && sizeof(USHORT) == 2, "Windows integer sizes");
static_assert(sizeof(WCHAR) == 2, "wide characters are UTF-16 code units");

static_assert(sizeof(struct _URB_HEADER) == 24, "URB header");
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 136, "descriptor request");
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 136, "vendor or class request");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 128, "bulk or interrupt transfer");
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 40, "pipe request");
static_assert(offsetof(struct _URB_PIPE_REQUEST, Reserved) + sizeof(ULONG) == 36, "pipe request on an OSR2.1 stack");
static_assert(sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER) == 32, "frame number request");
static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == 88, "select configuration with one interface");
static_assert(sizeof(struct _URB_SELECT_INTERFACE) == 80, "select interface with one pipe");
static_assert(sizeof(struct _URB_ISOCH_TRANSFER) == 152, "isochronous transfer with one packet");
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket) == 140, "isochronous packet table");
static_assert(sizeof(USBD_ISO_PACKET_DESCRIPTOR) == 12, "isochronous packet descriptor");
static_assert(sizeof(USBD_PIPE_INFORMATION) == 24, "pipe information");
static_assert(offsetof(USBD_PIPE_INFORMATION, PipeHandle) == 8, "pipe handle");
static_assert(offsetof(USBD_PIPE_INFORMATION, MaximumTransferSize) == 16, "maximum transfer size");
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 48, "interface information with one pipe");
static_assert(offsetof(USBD_INTERFACE_INFORMATION, InterfaceHandle) == 8, "interface handle");
static_assert(offsetof(USBD_INTERFACE_INFORMATION, NumberOfPipes) == 16, "number of pipes");
static_assert(offsetof(USBD_INTERFACE_INFORMATION, Pipes) == 24, "pipe table");
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "device descriptor");
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9, "configuration descriptor");
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9, "interface descriptor");
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7, "endpoint descriptor");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Request) == 129, "vendor request code");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, DescriptorType) == 131, "descriptor type");
static_assert(sizeof(DEVICE_CAPABILITIES) == 64, "device capabilities record");
static_assert(offsetof(DEVICE_CAPABILITIES, Address) == 8, "capability bits");
