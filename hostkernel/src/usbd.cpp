// The USB driver library: interface version, configuration descriptor
// parsing and select-configuration requests.
#include "internal.h"

#include <atomic>

namespace hk {
namespace {
std::atomic<ULONG> g_usbdiVersion{0x600};
}
void SetUsbdiVersion(ULONG version) { g_usbdiVersion = version; }
}  // namespace hk

extern "C" VOID USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION info) {
    if (!info) return;
    info->USBDI_Version = hk::g_usbdiVersion;
    info->Supported_USB_Version = 0x200;
}

extern "C" PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR config,
                                                                         PVOID start, LONG number, LONG alternate,
                                                                         LONG cls, LONG subclass, LONG protocol) {
    auto* base = reinterpret_cast<UCHAR*>(config);
    UCHAR* end = base + config->wTotalLength;
    for (UCHAR* p = static_cast<UCHAR*>(start); p + 2 <= end;) {
        auto* d = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(p);
        if (d->bLength < 2 || p + d->bLength > end) break;
        if (d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE && d->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            auto* i = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(p);
            if ((number == -1 || i->bInterfaceNumber == number) &&
                (alternate == -1 || i->bAlternateSetting == alternate) &&
                (cls == -1 || i->bInterfaceClass == cls) && (subclass == -1 || i->bInterfaceSubClass == subclass) &&
                (protocol == -1 || i->bInterfaceProtocol == protocol))
                return i;
        }
        p += d->bLength;
    }
    return nullptr;
}

namespace {
// Size of an interface information record for n pipes (at least one record's room).
ULONG InterfaceSize(ULONG pipes) {
    return static_cast<ULONG>(sizeof(USBD_INTERFACE_INFORMATION) +
                              (pipes > 0 ? pipes - 1 : 0) * sizeof(USBD_PIPE_INFORMATION));
}
}  // namespace

extern "C" PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR config,
                                                  PUSBD_INTERFACE_LIST_ENTRY list) {
    ULONG size = sizeof(_URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
    ULONG count = 0;
    for (auto* e = list; e->InterfaceDescriptor; ++e, ++count) size += InterfaceSize(e->InterfaceDescriptor->bNumEndpoints);
    if (count == 0 || !config) return nullptr;
    if (hk::detail::ShouldFail(hk::Alloc::USBD_CreateConfigurationRequestEx)) return nullptr;
    auto* urb = static_cast<PURB>(hk::detail::KernelAlloc(size, hk::detail::kTagUsbd));
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = config;
    auto* info = &urb->UrbSelectConfiguration.Interface;
    for (auto* e = list; e->InterfaceDescriptor; ++e) {
        ULONG pipes = e->InterfaceDescriptor->bNumEndpoints;
        info->Length = static_cast<USHORT>(InterfaceSize(pipes));
        info->InterfaceNumber = e->InterfaceDescriptor->bInterfaceNumber;
        info->AlternateSetting = e->InterfaceDescriptor->bAlternateSetting;
        info->NumberOfPipes = pipes;
        for (ULONG p = 0; p < pipes; ++p) info->Pipes[p].MaximumTransferSize = 4096;
        e->Interface = info;
        info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR*>(info) + info->Length);
    }
    return urb;
}
