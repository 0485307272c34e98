// The bus's reading of a device's configuration descriptor: which interfaces
// (with their alternate settings) and endpoints it declares. Private to the bus.
//
// Plain values; built once when a device is plugged, read-only afterwards.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "emu_usb.h"

namespace emu::usb::detail {

struct EndpointModel {
    std::uint8_t address = 0;
    std::uint8_t attributes = 0;
    std::uint16_t maxPacketSize = 0;  // bits 0..10 of wMaxPacketSize
    std::uint8_t interval = 0;

    bool in() const { return (address & USB_ENDPOINT_DIRECTION_MASK) != 0; }
    USBD_PIPE_TYPE type() const { return static_cast<USBD_PIPE_TYPE>(attributes & USB_ENDPOINT_TYPE_MASK); }
};

struct InterfaceModel {
    std::uint8_t number = 0;
    std::uint8_t alternateSetting = 0;
    std::uint8_t interfaceClass = 0;
    std::uint8_t interfaceSubClass = 0;
    std::uint8_t interfaceProtocol = 0;
    std::uint8_t declaredEndpoints = 0;  // bNumEndpoints
    std::vector<EndpointModel> endpoints;  // the endpoint descriptors that follow it
};

struct ConfigurationModel {
    std::uint8_t value = 0;  // bConfigurationValue
    std::uint8_t numInterfaces = 0;
    std::uint8_t attributes = 0;
    std::vector<InterfaceModel> interfaces;

    // Walks the descriptors by bLength within wTotalLength; stops at the
    // first one that is malformed (zero length, running past the end).
    static ConfigurationModel Parse(std::span<const std::uint8_t> bytes);

    const InterfaceModel* Find(std::uint8_t number, std::uint8_t alternateSetting) const;
    // The endpoints an instrument's bulk pipes are wired to: the first bulk
    // endpoint of each direction, in descriptor order (alternate setting 0).
    std::optional<EndpointModel> FirstBulk(bool in) const;
    bool remoteWakeup() const { return (attributes & 0x20) != 0; }
};

}  // namespace emu::usb::detail
