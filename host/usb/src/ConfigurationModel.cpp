#include "ConfigurationModel.h"

namespace emu::usb::detail {

ConfigurationModel ConfigurationModel::Parse(std::span<const std::uint8_t> bytes)
{
    ConfigurationModel model;
    if (bytes.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return model;
    const auto* header = reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(bytes.data());
    model.value = header->bConfigurationValue;
    model.numInterfaces = header->bNumInterfaces;
    model.attributes = header->bmAttributes;
    std::size_t end = std::min<std::size_t>(bytes.size(), header->wTotalLength);
    std::size_t offset = header->bLength;
    InterfaceModel* current = nullptr;
    while (offset + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
        const auto* common = reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(bytes.data() + offset);
        if (common->bLength == 0 || offset + common->bLength > end) break;
        if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE &&
            common->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            const auto* d = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(common);
            model.interfaces.push_back(InterfaceModel{d->bInterfaceNumber, d->bAlternateSetting, d->bInterfaceClass,
                                                      d->bInterfaceSubClass, d->bInterfaceProtocol,
                                                      d->bNumEndpoints, {}});
            current = &model.interfaces.back();
        } else if (common->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE &&
                   common->bLength >= sizeof(USB_ENDPOINT_DESCRIPTOR) && current) {
            const auto* d = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(common);
            // Bits 11-12 ask for up to two more transactions per microframe;
            // the bus reports what one (micro)frame can then carry, whatever
            // the endpoint type, as a host controller driver does.
            const unsigned transactions = 1 + ((d->wMaxPacketSize >> 11) & 3);
            current->endpoints.push_back(
                EndpointModel{d->bEndpointAddress, d->bmAttributes,
                              static_cast<std::uint16_t>((d->wMaxPacketSize & 0x7FF) * transactions), d->bInterval});
        }
        offset += common->bLength;
    }
    return model;
}

const InterfaceModel* ConfigurationModel::Find(std::uint8_t number, std::uint8_t alternateSetting) const
{
    for (const InterfaceModel& i : interfaces) {
        if (i.number == number && i.alternateSetting == alternateSetting) return &i;
    }
    return nullptr;
}

std::optional<EndpointModel> ConfigurationModel::FirstBulk(bool in) const
{
    for (const InterfaceModel& i : interfaces) {
        if (i.alternateSetting != 0) continue;
        for (const EndpointModel& e : i.endpoints) {
            if (e.type() == UsbdPipeTypeBulk && e.in() == in) return e;
        }
    }
    return std::nullopt;
}

}  // namespace emu::usb::detail
