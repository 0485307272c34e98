// The instrument as an adversary: the input writes its descriptors (layout,
// packet sizes, raw bytes edited after the build), what its bus reports,
// the URBs the bus fails, and a script of IN packets (full, short, empty),
// stalls, silences and OUT answers, played while an application reads,
// writes and sets the port and the system sleeps, rebalances, disables and
// unplugs it. A start that fails cleanly is fine.
#include <fuzzer/FuzzedDataProvider.h>

#include <iterator>

#include <algorithm>

#include "FuzzPort.h"
#include "SerialCodes.h"
#include "TesmoIoctl.h"
#include "emu_ntddser.h"

namespace tesmo::fuzz {
namespace {

using emu::usb::DescriptorSet;
using emu::usb::EndpointSpec;
using emu::usb::InterfaceSpec;
using emu::usb::Speed;

constexpr std::size_t kMaxSteps = 40;

constexpr emu::Time Ms(int milliseconds) { return emu::Time(milliseconds) * 10000; }

constexpr std::uint16_t kPacketSizes[] = {0, 8, 16, 32, 64, 512, 1023, 1024};
constexpr std::uint8_t kAddresses[] = {0x01, 0x82, 0x81, 0x02, 0x83, 0x84, 0x00, 0x80};
constexpr std::int32_t kUsbdFailures[] = {USBD_STATUS_STALL_PID,       USBD_STATUS_DEV_NOT_RESPONDING,
                                          USBD_STATUS_DATA_OVERRUN,    USBD_STATUS_BABBLE_DETECTED,
                                          USBD_STATUS_ENDPOINT_HALTED, USBD_STATUS_ERROR_SHORT_TRANSFER,
                                          USBD_STATUS_BUFFER_OVERRUN,  USBD_STATUS_DATA_UNDERRUN};
constexpr USHORT kFailableUrbs[] = {URB_FUNCTION_SELECT_CONFIGURATION, URB_FUNCTION_ABORT_PIPE,
                                    URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
                                    URB_FUNCTION_RESET_PIPE};

template <typename T, std::size_t N>
T Pick(FuzzedDataProvider& input, const T (&values)[N])
{
    return values[input.ConsumeIntegralInRange<std::size_t>(0, N - 1)];
}

EndpointSpec ConsumeEndpoint(FuzzedDataProvider& input)
{
    EndpointSpec endpoint{};
    endpoint.address = input.ConsumeBool() ? Pick(input, kAddresses) : input.ConsumeIntegral<std::uint8_t>();
    endpoint.attributes = input.ConsumeBool() ? USB_ENDPOINT_TYPE_BULK : input.ConsumeIntegralInRange(0, 3);
    endpoint.maxPacketSize = input.ConsumeBool() ? Pick(input, kPacketSizes) : input.ConsumeIntegral<std::uint16_t>();
    endpoint.interval = input.ConsumeIntegral<std::uint8_t>();
    return endpoint;
}

DescriptorSet ConsumeDescriptors(FuzzedDataProvider& input)
{
    Speed speed = input.ConsumeBool() ? Speed::High : Speed::Full;
    DescriptorSet set;
    switch (input.ConsumeIntegralInRange(0, 7)) {
    case 0: set = emu::usb::descriptors::WithoutInterface1(speed); break;
    case 1: set = emu::usb::descriptors::Interface1WithThreePipes(speed); break;
    case 2: set = emu::usb::descriptors::InEndpointAt0x81(speed); break;
    case 3: set = emu::usb::descriptors::OutEndpointAt0x02(speed); break;
    case 4: set = emu::usb::descriptors::InterfaceNumberGap(speed); break;
    case 5: set = emu::usb::descriptors::StandardInstrument(speed); break;
    default: {
        emu::usb::DescriptorBuilder builder;
        builder.OnBus(speed).RemoteWakeup(input.ConsumeBool());
        for (int count = input.ConsumeIntegralInRange(0, 4); count > 0; --count) {
            InterfaceSpec interface;
            interface.number = input.ConsumeIntegralInRange<std::uint8_t>(0, 3);
            interface.alternateSetting = input.ConsumeIntegralInRange<std::uint8_t>(0, 1);
            for (int endpoints = input.ConsumeIntegralInRange(0, 4); endpoints > 0; --endpoints) {
                interface.endpoints.push_back(ConsumeEndpoint(input));
            }
            builder.Interface(std::move(interface));
        }
        set = builder.Build();
    }
    }
    // Bytes edited after the build: lengths, counts and types that do not
    // add up, a total length that lies, a configuration cut short.
    for (int edits = input.ConsumeIntegralInRange(0, 3); edits > 0 && !set.configuration.empty(); --edits) {
        std::size_t at = input.ConsumeIntegralInRange<std::size_t>(0, set.configuration.size() - 1);
        set.configuration[at] = input.ConsumeIntegral<std::uint8_t>();
    }
    if (input.ConsumeIntegralInRange(0, 7) == 0) {
        set.configuration.resize(input.ConsumeIntegralInRange<std::size_t>(0, set.configuration.size() + 16));
    }
    if (input.ConsumeIntegralInRange(0, 7) == 0) {
        set.device.bMaxPacketSize0 = input.ConsumeIntegral<std::uint8_t>();
        set.device.bNumConfigurations = input.ConsumeIntegralInRange<std::uint8_t>(0, 2);
        set.device.bLength = input.ConsumeIntegral<std::uint8_t>();
    }
    return set;
}

emu::usb::DeviceConfig ConsumeConfig(FuzzedDataProvider& input)
{
    emu::usb::DeviceConfig config;
    config.descriptors = ConsumeDescriptors(input);
    config.frameTiming = input.ConsumeBool();
    config.powerCompletionIrql = input.ConsumeBool() ? DISPATCH_LEVEL : PASSIVE_LEVEL;
    if (input.ConsumeIntegralInRange(0, 7) == 0) config.capabilities.failWith = STATUS_UNSUCCESSFUL;
    if (input.ConsumeBool()) config.capabilities.surpriseRemovalOk = input.ConsumeBool();
    if (input.ConsumeIntegralInRange(0, 3) == 0) {
        config.capabilities.deviceState[PowerSystemSleeping3] =
            static_cast<DEVICE_POWER_STATE>(input.ConsumeIntegralInRange(0, 4));
    }
    return config;
}

// Faults of the bus itself, armed before the start.
void ConsumeBusFaults(FuzzedDataProvider& input, emu::usb::UsbDevice& usb)
{
    for (int faults = input.ConsumeIntegralInRange(0, 2); faults > 0; --faults) {
        emu::usb::UrbFailure failure;
        failure.function = Pick(input, kFailableUrbs);
        failure.usbdStatus = Pick(input, kUsbdFailures);
        failure.status = input.ConsumeBool() ? STATUS_UNSUCCESSFUL : STATUS_DEVICE_NOT_CONNECTED;
        failure.occurrence = input.ConsumeIntegralInRange(0u, 3u);
        usb.FailUrb(failure);
    }
    if (input.ConsumeIntegralInRange(0, 7) == 0) {
        // A device whose configuration answers differently the second time.
        usb.AnswerConfigurationWith(ConsumeDescriptors(input).configuration);
    }
    if (input.ConsumeIntegralInRange(0, 7) == 0) usb.SetPortStatus(input.ConsumeIntegralInRange(0u, 3u));
}

// One of the driver's allocations from now on fails (a pool block, an IRP,
// a work item).
void FailAllocation(FuzzPort& port, FuzzedDataProvider& input)
{
    auto site = static_cast<emu::FaultSite>(input.ConsumeIntegralInRange(0, 2));
    port.FailNth(site, input.ConsumeIntegralInRange(1, 60));
}

enum class Step {
    Packet,
    FailIn,
    Silence,
    Release,
    ExpectOut,
    Delay,
    Read,
    Write,
    Timeouts,
    Control,
    Advance,
    Sleep,
    Rebalance,
    Reenable,
    Settle,
    Unplug,
    FailAllocation,
    kMaxValue = FailAllocation
};

// An IN packet from full to empty; none on a device without a bulk IN pipe
// to carry it (the bus would refuse the instrument's misuse).
void Packet(FuzzPort& port, FuzzedDataProvider& input)
{
    std::size_t most = port.stack().usb().InPacketSize();
    if (most == 0) return;
    port.instrument().Packet(input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, most)));
}

constexpr const char* kStepNames[] = {"packet",    "fail in",  "silence",  "release", "expect out",     "delay",
                                      "read",      "write",    "timeouts", "control", "advance",        "sleep",
                                      "rebalance", "reenable", "settle",   "unplug",  "fail allocation"};
static_assert(std::size(kStepNames) == static_cast<std::size_t>(Step::kMaxValue) + 1);

// What the steps leave for the next ones.
struct SystemState {
    bool asleep = false;
};

void Wake(FuzzPort& port, SystemState& system)
{
    if (!system.asleep) return;
    port.stack().pnp().SystemWake();
    system.asleep = false;
}

// Plays one step; false once the device is gone for good.
bool Play(FuzzPort& port, SystemState& system, Step step, FuzzedDataProvider& input)
{
    Say("step: %s", kStepNames[static_cast<int>(step)]);
    auto& device = port.instrument();
    auto& pnp = port.stack().pnp();
    emu::NodeId node = port.stack().node();
    switch (step) {
    case Step::Packet: Packet(port, input); break;
    case Step::FailIn: device.FailIn(Pick(input, kUsbdFailures)); break;
    case Step::Silence: device.Silence(); break;
    case Step::Release: device.Release(); break;
    case Step::ExpectOut:
        device.ExpectOut(std::nullopt, input.ConsumeBool() ? USBD_STATUS_SUCCESS : Pick(input, kUsbdFailures));
        break;
    case Step::Delay: device.Delay(Ms(input.ConsumeIntegralInRange(0, 2000))); break;
    case Step::Read: port.Read(input.ConsumeIntegralInRange<ULONG>(0, 1100)); break;
    case Step::Write: port.Write(input.ConsumeBytes<UCHAR>(input.ConsumeIntegralInRange<std::size_t>(0, 1100))); break;
    case Step::Timeouts: port.Control(IOCTL_SERIAL_SET_TIMEOUTS, ConsumeTimeouts(input), 0); break;
    case Step::Control: {
        ControlRequest request = ConsumeControl(input);
        port.Control(request.code, request.input, request.outputLength);
        break;
    }
    case Step::Advance: port.clock().AdvanceBy(Ms(input.ConsumeIntegralInRange(0, 3000))); break;
    case Step::Sleep:
        // The system sleeps until the next sleep step, or until something
        // needs it awake: requests meanwhile are held.
        if (system.asleep) {
            Wake(port, system);
            break;
        }
        pnp.SystemSleep(input.ConsumeIntegralInRange<int>(PowerSystemSleeping1, PowerSystemHibernate));
        system.asleep = true;
        if (input.ConsumeBool()) port.stack().usb().SignalWake();
        break;
    case Step::Rebalance:
        Wake(port, system);
        pnp.Rebalance(node);
        break;
    case Step::Reenable:
        Wake(port, system);
        port.Settle();
        pnp.Disable(node);
        pnp.Enable(node);
        break;
    case Step::Settle:
        Wake(port, system);
        device.Release();
        port.Settle();
        break;
    case Step::Unplug:
        if (input.ConsumeBool()) port.OpenHandle();
        port.stack().Unplug();
        return false;
    case Step::FailAllocation: FailAllocation(port, input); break;
    }
    return true;
}

}  // namespace
}  // namespace tesmo::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace tesmo::fuzz;
    FuzzedDataProvider input(data, size);
    FuzzSystem system;
    FuzzPort port(system, ConsumeConfig(input));
    ConsumeBusFaults(input, port.stack().usb());
    if (input.ConsumeIntegralInRange(0, 3) == 0) FailAllocation(port, input);
    // Steps scripted before the start play while it runs.
    for (int early = input.ConsumeIntegralInRange(0, 3); early > 0; --early) Packet(port, input);
    NTSTATUS started = port.Plug();
    Say("start: 0x%lX", static_cast<unsigned long>(started));
    if (started != STATUS_SUCCESS) return 0;
    SystemState state;
    for (std::size_t played = 0; played < kMaxSteps && input.remaining_bytes() != 0; ++played) {
        if (!Play(port, state, input.ConsumeEnum<Step>(), input)) break;
    }
    Wake(port, state);
    // Nothing the device holds back stops the requests from ending.
    while (port.instrument().Release()) {}
    port.Settle();
    return 0;
}
