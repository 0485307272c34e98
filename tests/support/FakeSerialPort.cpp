#include "FakeSerialPort.h"

#include <cstring>
#include <ostream>

namespace tesmo::test {

namespace {

struct Named {
    ULONG code;
    const char* name;
};

constexpr Named kControls[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, "SET_BAUD_RATE"},     {IOCTL_SERIAL_GET_BAUD_RATE, "GET_BAUD_RATE"},
    {IOCTL_SERIAL_SET_LINE_CONTROL, "SET_LINE_CONTROL"}, {IOCTL_SERIAL_GET_LINE_CONTROL, "GET_LINE_CONTROL"},
    {IOCTL_SERIAL_SET_CHARS, "SET_CHARS"},             {IOCTL_SERIAL_GET_CHARS, "GET_CHARS"},
    {IOCTL_SERIAL_SET_HANDFLOW, "SET_HANDFLOW"},       {IOCTL_SERIAL_GET_HANDFLOW, "GET_HANDFLOW"},
    {IOCTL_SERIAL_SET_TIMEOUTS, "SET_TIMEOUTS"},       {IOCTL_SERIAL_GET_TIMEOUTS, "GET_TIMEOUTS"},
    {IOCTL_SERIAL_SET_QUEUE_SIZE, "SET_QUEUE_SIZE"},   {IOCTL_SERIAL_SET_WAIT_MASK, "SET_WAIT_MASK"},
    {IOCTL_SERIAL_GET_WAIT_MASK, "GET_WAIT_MASK"},     {IOCTL_SERIAL_WAIT_ON_MASK, "WAIT_ON_MASK"},
    {IOCTL_SERIAL_GET_COMMSTATUS, "GET_COMMSTATUS"},   {IOCTL_SERIAL_PURGE, "PURGE"},
    {IOCTL_SERIAL_SET_XOFF, "SET_XOFF"},               {IOCTL_SERIAL_SET_XON, "SET_XON"},
    {IOCTL_SERIAL_SET_RTS, "SET_RTS"},                 {IOCTL_SERIAL_CLR_RTS, "CLR_RTS"},
    {IOCTL_SERIAL_SET_DTR, "SET_DTR"},                 {IOCTL_SERIAL_CLR_DTR, "CLR_DTR"},
    {IOCTL_SERIAL_RESET_DEVICE, "RESET_DEVICE"},       {IOCTL_SERIAL_SET_BREAK_ON, "SET_BREAK_ON"},
    {IOCTL_SERIAL_SET_BREAK_OFF, "SET_BREAK_OFF"},     {IOCTL_SERIAL_IMMEDIATE_CHAR, "IMMEDIATE_CHAR"},
    {IOCTL_SERIAL_GET_PROPERTIES, "GET_PROPERTIES"},   {IOCTL_SERIAL_GET_MODEMSTATUS, "GET_MODEMSTATUS"},
};

// Stores the input into `setting` or hands `setting` out, with the length checks.
template <typename T>
NTSTATUS Store(PIRP irp, PIO_STACK_LOCATION sp, T* setting)
{
    if (sp->Parameters.DeviceIoControl.InputBufferLength < sizeof(T)) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(setting, irp->AssociatedIrp.SystemBuffer, sizeof(T));
    return STATUS_SUCCESS;
}

template <typename T>
NTSTATUS Return(PIRP irp, PIO_STACK_LOCATION sp, const T& setting)
{
    if (sp->Parameters.DeviceIoControl.OutputBufferLength < sizeof(T)) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(irp->AssociatedIrp.SystemBuffer, &setting, sizeof(T));
    irp->IoStatus.Information = sizeof(T);
    return STATUS_SUCCESS;
}

}  // namespace

std::string ControlName(ULONG code)
{
    for (const Named& named : kControls) {
        if (named.code == code) return named.name;
    }
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", code);
    return text;
}

void PrintTo(const ControlRequest& request, std::ostream* out)
{
    *out << ControlName(request.code) << " in " << request.inputLength << " out " << request.outputLength;
}

FakeSerialPort::FakeSerialPort(emu::System& system)
    : device_(system, FakeDeviceOptions{u"\\Device\\Serial3", u"\\DosDevices\\COM3"})
{
    settings_.properties.PacketLength = sizeof(SERIAL_COMMPROP);
    settings_.properties.PacketVersion = 2;
    settings_.properties.ServiceMask = SERIAL_SP_SERIALCOMM;
    settings_.properties.MaxBaud = SERIAL_BAUD_USER;
    device_.On(IRP_MJ_DEVICE_CONTROL, [this](PIRP irp, PIO_STACK_LOCATION sp) { return Serve(irp, sp); });
}

void FakeSerialPort::Answer(ULONG code, NTSTATUS status)
{
    std::lock_guard lock(mutex_);
    answers_[code] = status;
}

void FakeSerialPort::Hold(ULONG code)
{
    std::lock_guard lock(mutex_);
    held_.insert(code);
}

NTSTATUS FakeSerialPort::Serve(PIRP irp, PIO_STACK_LOCATION sp)
{
    ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
    NTSTATUS status = STATUS_SUCCESS;
    bool hold;
    {
        std::lock_guard lock(mutex_);
        hold = held_.count(code) > 0;
        if (hold) {
            // held below, outside the lock
        } else if (auto answer = answers_.find(code); answer != answers_.end()) {
            status = answer->second;
        } else {
            SerialSettings& s = settings_;
            switch (code) {
            case IOCTL_SERIAL_SET_BAUD_RATE: status = Store(irp, sp, &s.baud); break;
            case IOCTL_SERIAL_GET_BAUD_RATE: status = Return(irp, sp, s.baud); break;
            case IOCTL_SERIAL_SET_LINE_CONTROL: status = Store(irp, sp, &s.line); break;
            case IOCTL_SERIAL_GET_LINE_CONTROL: status = Return(irp, sp, s.line); break;
            case IOCTL_SERIAL_SET_CHARS: status = Store(irp, sp, &s.chars); break;
            case IOCTL_SERIAL_GET_CHARS: status = Return(irp, sp, s.chars); break;
            case IOCTL_SERIAL_SET_HANDFLOW: status = Store(irp, sp, &s.handflow); break;
            case IOCTL_SERIAL_GET_HANDFLOW: status = Return(irp, sp, s.handflow); break;
            case IOCTL_SERIAL_SET_TIMEOUTS: status = Store(irp, sp, &s.timeouts); break;
            case IOCTL_SERIAL_GET_TIMEOUTS: status = Return(irp, sp, s.timeouts); break;
            case IOCTL_SERIAL_SET_QUEUE_SIZE: status = Store(irp, sp, &s.queue); break;
            case IOCTL_SERIAL_SET_WAIT_MASK: status = Store(irp, sp, &s.waitMask); break;
            case IOCTL_SERIAL_GET_WAIT_MASK: status = Return(irp, sp, s.waitMask); break;
            case IOCTL_SERIAL_GET_MODEMSTATUS: status = Return(irp, sp, s.modemStatus); break;
            case IOCTL_SERIAL_GET_COMMSTATUS: status = Return(irp, sp, s.status); break;
            case IOCTL_SERIAL_GET_PROPERTIES: status = Return(irp, sp, s.properties); break;
            case IOCTL_SERIAL_PURGE:
            case IOCTL_SERIAL_IMMEDIATE_CHAR: break;
            case IOCTL_SERIAL_SET_RTS:
            case IOCTL_SERIAL_CLR_RTS:
            case IOCTL_SERIAL_SET_DTR:
            case IOCTL_SERIAL_CLR_DTR:
            case IOCTL_SERIAL_SET_XON:
            case IOCTL_SERIAL_SET_XOFF:
            case IOCTL_SERIAL_RESET_DEVICE:
            case IOCTL_SERIAL_SET_BREAK_ON:
            case IOCTL_SERIAL_SET_BREAK_OFF:
            case IOCTL_SERIAL_WAIT_ON_MASK: status = STATUS_NOT_IMPLEMENTED; break;
            default: status = STATUS_INVALID_PARAMETER; break;
            }
        }
    }
    if (hold) return device_.Hold(irp);
    if (!NT_SUCCESS(status)) irp->IoStatus.Information = 0;
    return CompleteIrp(irp, status, irp->IoStatus.Information);
}

std::vector<RecordedRequest> FakeSerialPort::ControlRequests() const
{
    std::vector<RecordedRequest> controls;
    for (const RecordedRequest& request : device_.Requests()) {
        if (request.major == IRP_MJ_DEVICE_CONTROL) controls.push_back(request);
    }
    return controls;
}

std::vector<ControlRequest> FakeSerialPort::Controls() const
{
    std::vector<ControlRequest> controls;
    for (const RecordedRequest& request : ControlRequests()) {
        controls.push_back(ControlRequest{request.controlCode, request.inputLength, request.outputLength});
    }
    return controls;
}

}  // namespace tesmo::test
