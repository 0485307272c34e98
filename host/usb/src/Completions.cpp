// Finishing requests: the URB status, the completion at DISPATCH_LEVEL and
// the NTSTATUS that goes with a USBD status.
#include "DeviceInternals.h"

#include "emu/System.h"
#include "emu/Threads.h"
#include "usb/UsbDevice.h"

namespace emu::usb::detail {

Completions::~Completions()
{
    for (const Entry& e : entries_) {
        if (e.urb) {
            e.urb->UrbHeader.Status = e.usbdStatus;
            if (e.setLength) e.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = e.length;
        }
        CompleteAtDispatch(e.irp, e.status);
    }
}

void Completions::Add(PIRP irp, PURB urb, USBD_STATUS usbdStatus, NTSTATUS status)
{
    entries_.push_back(Entry{irp, urb, usbdStatus, status, false, 0});
}

void Completions::Add(const Transfer& transfer)
{
    entries_.push_back(Entry{transfer.irp, reinterpret_cast<PURB>(transfer.urb), transfer.usbdStatus, transfer.status,
                             true, transfer.moved});
}

void CompleteAtDispatch(PIRP irp, NTSTATUS status)
{
    // A URB's completion goes to the capture while the stack location is
    // still the PDO's.
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL && sp->DeviceObject &&
        sp->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        if (UsbDevice* device = static_cast<PdoExtension*>(sp->DeviceObject->DeviceExtension)->device) {
            device->CaptureCompletion(irp, static_cast<PURB>(sp->Parameters.Others.Argument1));
        }
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    KIRQL previous;
    KeRaiseIrql(DISPATCH_LEVEL, &previous);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    KeLowerIrql(previous);
    emu::NotifyStateChanged();
}

NTSTATUS StatusForUsbd(USBD_STATUS usbdStatus)
{
    if (USBD_SUCCESS(usbdStatus)) return STATUS_SUCCESS;
    switch (usbdStatus) {
    case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE: return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INVALID_URB_FUNCTION: return STATUS_INVALID_PARAMETER;
    default: return STATUS_UNSUCCESSFUL;
    }
}

bool ClaimFromCancel(PIRP irp) { return IoSetCancelRoutine(irp, nullptr) != nullptr; }

void ReportNotModelled(PIRP irp, const std::string& what)
{
    emu::System::Current().verifier().Report(emu::Rule::NotModelled, irp, "USB bus: " + what);
}

}  // namespace emu::usb::detail
