#include "BenchSystem.h"

#include <cstdio>
#include <stdexcept>
#include <vector>

#include "emu_ntddk.h"
#include "emu_usb.h"

namespace tesmo::bench {

namespace {

emu::SystemOptions Options()
{
    emu::SystemOptions options;
    // Violations print; the benchmark still fails loudly at the end if any occurred.
    options.violationHandler = [](const emu::Violation& v) { std::fprintf(stderr, "%s\n", emu::Describe(v).c_str()); };
    return options;
}

// An internal device-control request to the PDO, built and waited for the
// way a driver does it.
NTSTATUS SubmitUrb(PDEVICE_OBJECT pdo, PURB urb)
{
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp =
        IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr, 0, TRUE, &done, &iosb);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    if (IoCallDriver(pdo, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return iosb.Status;
}

}  // namespace

BenchSystem::BenchSystem() : system_(std::make_unique<emu::System>(Options()))
{
    bus_ = std::make_unique<emu::usb::Bus>(*system_);
    driver_ = system_->LoadDriverImage(TESMO_DRIVER_PATH, u"Tesmo");
    if (!driver_) throw std::runtime_error("the driver image did not load");
}

BenchSystem::~BenchSystem()
{
    if (port_ != INVALID_HANDLE_VALUE) CloseHandle(port_);
    if (node_) system_->pnp().Disable(node_);
    bus_->ReapRemovedDevices();
    bus_.reset();
    system_->UnloadDriver(driver_);
    system_->Shutdown();
    if (!system_->verifier().Violations().empty()) std::fprintf(stderr, "bench: the verifier found violations\n");
}

HANDLE BenchSystem::StartPort(emu::usb::Instrument& instrument, emu::usb::DeviceConfig config)
{
    emu::usb::UsbDevice& device = bus_->Plug(instrument, std::move(config));
    if (!NT_SUCCESS(system_->pnp().Plug(device.pdo(), driver_, &node_))) throw std::runtime_error("start failed");
    port_ = CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port_ == INVALID_HANDLE_VALUE) throw std::runtime_error("COM3 did not open");
    return port_;
}

RawUsbDevice::RawUsbDevice(emu::usb::Bus& bus, emu::usb::Instrument& instrument, emu::usb::DeviceConfig config)
{
    emu::usb::UsbDevice& device = bus.Plug(instrument, std::move(config));
    pdo_ = device.pdo();
    auto descriptor = device.config().descriptors.ConfigurationPointer();
    std::vector<USBD_INTERFACE_LIST_ENTRY> list(descriptor->bNumInterfaces + 1);
    for (UCHAR i = 0; i < descriptor->bNumInterfaces; ++i) {
        list[i].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, i, 0, -1, -1, -1);
    }
    PURB select = USBD_CreateConfigurationRequestEx(descriptor, list.data());
    if (!select || !NT_SUCCESS(SubmitUrb(pdo_, select))) throw std::runtime_error("select configuration failed");
    for (const auto& entry : list) {
        if (!entry.InterfaceDescriptor) break;
        for (ULONG p = 0; p < entry.Interface->NumberOfPipes; ++p) {
            const USBD_PIPE_INFORMATION& pipe = entry.Interface->Pipes[p];
            if (pipe.PipeType != UsbdPipeTypeBulk) continue;
            (pipe.EndpointAddress & 0x80 ? inPipe_ : outPipe_) = pipe.PipeHandle;
        }
    }
    ExFreePool(select);
}

std::uint32_t RawUsbDevice::Bulk(void* pipe, std::uint32_t flags, void* buffer, std::uint32_t length)
{
    URB urb{};
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, buffer, nullptr,
                                           length, flags, nullptr);
    if (!NT_SUCCESS(SubmitUrb(pdo_, &urb))) throw std::runtime_error("bulk transfer failed");
    return urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
}

std::uint32_t RawUsbDevice::BulkOut(const void* data, std::uint32_t length)
{
    return Bulk(outPipe_, 0, const_cast<void*>(data), length);
}

std::uint32_t RawUsbDevice::BulkIn(void* buffer, std::uint32_t length)
{
    return Bulk(inPipe_, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer, length);
}

}  // namespace tesmo::bench
