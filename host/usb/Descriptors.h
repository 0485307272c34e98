// The descriptors a simulated USB device reports: a small builder for the
// device descriptor and the configuration descriptor (with its interface and
// endpoint descriptors), and the named variants of the instrument that tests
// plug in.
//
// Plain values; no locking, any thread, no IRQL concerns (host code only).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "emu_usb.h"

namespace emu::usb {

enum class Speed { Full, High };

// The bulk packet size the bus allows at each speed.
constexpr std::uint16_t BulkPacketSize(Speed speed) { return speed == Speed::High ? 512 : 64; }

constexpr std::uint16_t kInstrumentVendorId = 0x7E5D;
constexpr std::uint16_t kInstrumentProductId = 0x0007;
constexpr std::uint16_t kInstrumentRelease = 0x0150;

struct EndpointSpec {
    std::uint8_t address;        // bit 7 set: IN
    std::uint8_t attributes;     // USB_ENDPOINT_TYPE_*
    std::uint16_t maxPacketSize;
    std::uint8_t interval;

    static EndpointSpec BulkOut(std::uint8_t address, Speed speed);
    static EndpointSpec BulkIn(std::uint8_t address, Speed speed);
    static EndpointSpec InterruptIn(std::uint8_t address, Speed speed);
};

struct InterfaceSpec {
    std::uint8_t number = 0;
    std::uint8_t alternateSetting = 0;
    std::uint8_t interfaceClass = 0xFF;  // vendor specific
    std::uint8_t interfaceSubClass = 0;
    std::uint8_t interfaceProtocol = 0;
    std::vector<EndpointSpec> endpoints;
};

// What the device answers to descriptor requests. The bytes are the truth:
// a test may edit them to present a malformed device.
struct DescriptorSet {
    USB_DEVICE_DESCRIPTOR device{};
    std::vector<std::uint8_t> configuration;  // wTotalLength bytes
    Speed speed = Speed::Full;

    std::span<const std::uint8_t> DeviceBytes() const;
    const USB_CONFIGURATION_DESCRIPTOR& ConfigurationHeader() const;
    // A pointer the USB driver interface library accepts (the bytes are
    // not modified through it).
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationPointer() const;
};

class DescriptorBuilder {
public:
    DescriptorBuilder& Ids(std::uint16_t vendor, std::uint16_t product, std::uint16_t release);
    DescriptorBuilder& OnBus(Speed speed);
    DescriptorBuilder& RemoteWakeup(bool supported);
    DescriptorBuilder& DeviceClass(std::uint8_t cls, std::uint8_t subClass, std::uint8_t protocol);
    // Interfaces appear in the order given; bNumInterfaces counts distinct
    // interface numbers (alternate settings share one).
    DescriptorBuilder& Interface(InterfaceSpec spec);
    DescriptorSet Build() const;

private:
    std::uint16_t vendor_ = kInstrumentVendorId;
    std::uint16_t product_ = kInstrumentProductId;
    std::uint16_t release_ = kInstrumentRelease;
    std::uint8_t class_ = 0, subClass_ = 0, protocol_ = 0;
    Speed speed_ = Speed::Full;
    bool remoteWakeup_ = false;
    std::vector<InterfaceSpec> interfaces_;
};

// Named layouts of the instrument. The standard one has interface 0 with one
// interrupt IN endpoint (0x83) and interface 1 with bulk OUT 0x01 and bulk
// IN 0x82; the others differ from it in one way each.
namespace descriptors {
DescriptorSet StandardInstrument(Speed speed = Speed::Full);
DescriptorSet WithoutInterface1(Speed speed = Speed::Full);
DescriptorSet Interface1WithThreePipes(Speed speed = Speed::Full);  // plus interrupt IN 0x84
DescriptorSet InEndpointAt0x81(Speed speed = Speed::Full);
DescriptorSet OutEndpointAt0x02(Speed speed = Speed::Full);
DescriptorSet InterfaceNumberGap(Speed speed = Speed::Full);  // interfaces 0 and 2, bNumInterfaces 2
}  // namespace descriptors

}  // namespace emu::usb
