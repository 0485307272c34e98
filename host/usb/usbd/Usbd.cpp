// The USB driver interface library: finding interface descriptors in a
// configuration descriptor, and building the select-configuration request
// for a list of interfaces. Exported under the platform's names.
//
// IRQL: both routines up to DISPATCH_LEVEL (the request comes from
// non-paged pool). No locks; they touch only the caller's memory and the pool.
#include <cstring>

#include "emu/ExportEntry.h"
#include "emu/Pool.h"
#include "emu_ntddk.h"

namespace {

constexpr ULONG kUsbdTag = emu::TagFromText("USBD");

bool Matches(LONG wanted, UCHAR actual) { return wanted == -1 || wanted == actual; }

}  // namespace

extern "C" {

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol)
{
    EMU_ENTRY(USBD_ParseConfigurationDescriptorEx);
    auto* base = reinterpret_cast<PUCHAR>(ConfigurationDescriptor);
    auto* start = static_cast<PUCHAR>(StartPosition);
    PUCHAR end = base + ConfigurationDescriptor->wTotalLength;
    if (start < base || start >= end) return nullptr;
    for (PUCHAR at = start; at + sizeof(USB_COMMON_DESCRIPTOR) <= end;) {
        auto* common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(at);
        // A descriptor of length zero or one running past the end: the rest
        // cannot be walked.
        if (common->bLength == 0 || at + common->bLength > end) return nullptr;
        if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE &&
            common->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            auto* candidate = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(at);
            if (Matches(InterfaceNumber, candidate->bInterfaceNumber) &&
                Matches(AlternateSetting, candidate->bAlternateSetting) &&
                Matches(InterfaceClass, candidate->bInterfaceClass) &&
                Matches(InterfaceSubClass, candidate->bInterfaceSubClass) &&
                Matches(InterfaceProtocol, candidate->bInterfaceProtocol)) {
                return candidate;
            }
        }
        at += common->bLength;
    }
    return nullptr;
}

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList)
{
    EMU_ENTRY(USBD_CreateConfigurationRequestEx);
    std::size_t interfaces = 0;
    std::size_t pipes = 0;
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor; ++entry) {
        ++interfaces;
        pipes += entry->InterfaceDescriptor->bNumEndpoints;
    }
    if (interfaces == 0) return nullptr;
    const std::size_t size = GET_SELECT_CONFIGURATION_REQUEST_SIZE(interfaces, pipes);
    if (size > MAXUSHORT) return nullptr;
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kUsbdTag));
    if (!urb) return nullptr;
    std::memset(urb, 0, size);

    auto* info = &urb->UrbSelectConfiguration.Interface;
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor; ++entry) {
        PUSB_INTERFACE_DESCRIPTOR descriptor = entry->InterfaceDescriptor;
        entry->Interface = info;
        info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(descriptor->bNumEndpoints));
        info->InterfaceNumber = descriptor->bInterfaceNumber;
        info->AlternateSetting = descriptor->bAlternateSetting;
        info->NumberOfPipes = descriptor->bNumEndpoints;
        PUSBD_PIPE_INFORMATION records = info->Pipes;
        for (ULONG p = 0; p < info->NumberOfPipes; ++p) {
            records[p].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            records[p].PipeFlags = 0;
        }
        info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(info) + info->Length);
    }
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
    return urb;
}

}  // extern "C"
