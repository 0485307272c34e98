// The descriptor builder and the instrument's named layouts.
#include "usb/Descriptors.h"

#include <cstring>
#include <set>

namespace emu::usb {

namespace {

// bInterval: frames at full speed; 2^(n-1) microframes at high speed.
constexpr std::uint8_t kInterruptIntervalFull = 10;
constexpr std::uint8_t kInterruptIntervalHigh = 7;

template <typename T>
void Append(std::vector<std::uint8_t>& bytes, const T& descriptor)
{
    const auto* raw = reinterpret_cast<const std::uint8_t*>(&descriptor);
    bytes.insert(bytes.end(), raw, raw + sizeof descriptor);
}

InterfaceSpec ControlInterface(Speed speed)
{
    return InterfaceSpec{0, 0, 0xFF, 0, 0, {EndpointSpec::InterruptIn(0x83, speed)}};
}

InterfaceSpec DataInterface(std::uint8_t number, std::vector<EndpointSpec> endpoints)
{
    return InterfaceSpec{number, 0, 0xFF, 0, 0, std::move(endpoints)};
}

}  // namespace

EndpointSpec EndpointSpec::BulkOut(std::uint8_t address, Speed speed)
{
    return EndpointSpec{address, USB_ENDPOINT_TYPE_BULK, BulkPacketSize(speed), 0};
}

EndpointSpec EndpointSpec::BulkIn(std::uint8_t address, Speed speed)
{
    return EndpointSpec{static_cast<std::uint8_t>(address | USB_ENDPOINT_DIRECTION_MASK), USB_ENDPOINT_TYPE_BULK,
                        BulkPacketSize(speed), 0};
}

EndpointSpec EndpointSpec::InterruptIn(std::uint8_t address, Speed speed)
{
    return EndpointSpec{static_cast<std::uint8_t>(address | USB_ENDPOINT_DIRECTION_MASK),
                        USB_ENDPOINT_TYPE_INTERRUPT, 8,
                        speed == Speed::High ? kInterruptIntervalHigh : kInterruptIntervalFull};
}

std::span<const std::uint8_t> DescriptorSet::DeviceBytes() const
{
    return {reinterpret_cast<const std::uint8_t*>(&device), sizeof device};
}

const USB_CONFIGURATION_DESCRIPTOR& DescriptorSet::ConfigurationHeader() const
{
    return *reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(configuration.data());
}

PUSB_CONFIGURATION_DESCRIPTOR DescriptorSet::ConfigurationPointer() const
{
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(const_cast<std::uint8_t*>(configuration.data()));
}

DescriptorBuilder& DescriptorBuilder::Ids(std::uint16_t vendor, std::uint16_t product, std::uint16_t release)
{
    vendor_ = vendor;
    product_ = product;
    release_ = release;
    return *this;
}

DescriptorBuilder& DescriptorBuilder::OnBus(Speed speed)
{
    speed_ = speed;
    return *this;
}

DescriptorBuilder& DescriptorBuilder::RemoteWakeup(bool supported)
{
    remoteWakeup_ = supported;
    return *this;
}

DescriptorBuilder& DescriptorBuilder::DeviceClass(std::uint8_t cls, std::uint8_t subClass, std::uint8_t protocol)
{
    class_ = cls;
    subClass_ = subClass;
    protocol_ = protocol;
    return *this;
}

DescriptorBuilder& DescriptorBuilder::Interface(InterfaceSpec spec)
{
    interfaces_.push_back(std::move(spec));
    return *this;
}

DescriptorSet DescriptorBuilder::Build() const
{
    DescriptorSet set;
    set.speed = speed_;
    USB_DEVICE_DESCRIPTOR& d = set.device;
    d.bLength = sizeof(USB_DEVICE_DESCRIPTOR);
    d.bDescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    d.bcdUSB = 0x0200;
    d.bDeviceClass = class_;
    d.bDeviceSubClass = subClass_;
    d.bDeviceProtocol = protocol_;
    d.bMaxPacketSize0 = 64;
    d.idVendor = vendor_;
    d.idProduct = product_;
    d.bcdDevice = release_;
    d.bNumConfigurations = 1;

    std::set<std::uint8_t> numbers;
    for (const InterfaceSpec& spec : interfaces_) numbers.insert(spec.number);

    USB_CONFIGURATION_DESCRIPTOR header{};
    header.bLength = sizeof header;
    header.bDescriptorType = USB_CONFIGURATION_DESCRIPTOR_TYPE;
    header.bNumInterfaces = static_cast<UCHAR>(numbers.size());
    header.bConfigurationValue = 1;
    header.bmAttributes = static_cast<UCHAR>(0x80 | (remoteWakeup_ ? 0x20 : 0));
    header.MaxPower = 50;  // 100 mA
    Append(set.configuration, header);
    for (const InterfaceSpec& spec : interfaces_) {
        USB_INTERFACE_DESCRIPTOR i{};
        i.bLength = sizeof i;
        i.bDescriptorType = USB_INTERFACE_DESCRIPTOR_TYPE;
        i.bInterfaceNumber = spec.number;
        i.bAlternateSetting = spec.alternateSetting;
        i.bNumEndpoints = static_cast<UCHAR>(spec.endpoints.size());
        i.bInterfaceClass = spec.interfaceClass;
        i.bInterfaceSubClass = spec.interfaceSubClass;
        i.bInterfaceProtocol = spec.interfaceProtocol;
        Append(set.configuration, i);
        for (const EndpointSpec& e : spec.endpoints) {
            USB_ENDPOINT_DESCRIPTOR ed{};
            ed.bLength = sizeof ed;
            ed.bDescriptorType = USB_ENDPOINT_DESCRIPTOR_TYPE;
            ed.bEndpointAddress = e.address;
            ed.bmAttributes = e.attributes;
            ed.wMaxPacketSize = e.maxPacketSize;
            ed.bInterval = e.interval;
            Append(set.configuration, ed);
        }
    }
    auto total = static_cast<USHORT>(set.configuration.size());
    std::memcpy(set.configuration.data() + offsetof(USB_CONFIGURATION_DESCRIPTOR, wTotalLength), &total,
                sizeof total);
    return set;
}

namespace descriptors {

DescriptorSet StandardInstrument(Speed speed)
{
    return DescriptorBuilder()
        .OnBus(speed)
        .Interface(ControlInterface(speed))
        .Interface(DataInterface(1, {EndpointSpec::BulkOut(0x01, speed), EndpointSpec::BulkIn(0x02, speed)}))
        .Build();
}

DescriptorSet WithoutInterface1(Speed speed)
{
    return DescriptorBuilder().OnBus(speed).Interface(ControlInterface(speed)).Build();
}

DescriptorSet Interface1WithThreePipes(Speed speed)
{
    return DescriptorBuilder()
        .OnBus(speed)
        .Interface(ControlInterface(speed))
        .Interface(DataInterface(1, {EndpointSpec::BulkOut(0x01, speed), EndpointSpec::BulkIn(0x02, speed),
                                     EndpointSpec::InterruptIn(0x04, speed)}))
        .Build();
}

DescriptorSet InEndpointAt0x81(Speed speed)
{
    return DescriptorBuilder()
        .OnBus(speed)
        .Interface(ControlInterface(speed))
        .Interface(DataInterface(1, {EndpointSpec::BulkOut(0x01, speed), EndpointSpec::BulkIn(0x01, speed)}))
        .Build();
}

DescriptorSet OutEndpointAt0x02(Speed speed)
{
    return DescriptorBuilder()
        .OnBus(speed)
        .Interface(ControlInterface(speed))
        .Interface(DataInterface(1, {EndpointSpec::BulkOut(0x02, speed), EndpointSpec::BulkIn(0x02, speed)}))
        .Build();
}

DescriptorSet InterfaceNumberGap(Speed speed)
{
    return DescriptorBuilder()
        .OnBus(speed)
        .Interface(ControlInterface(speed))
        .Interface(DataInterface(2, {EndpointSpec::BulkOut(0x01, speed), EndpointSpec::BulkIn(0x02, speed)}))
        .Build();
}

}  // namespace descriptors

}  // namespace emu::usb
