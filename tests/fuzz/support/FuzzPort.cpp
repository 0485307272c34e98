#include "FuzzPort.h"

#include <algorithm>
#include <string>

#include "emu/Threads.h"

namespace tesmo::fuzz {

FuzzPort::FuzzPort(FuzzSystem& system, emu::usb::DeviceConfig config) : system_(system)
{
    stack_.emplace(system.system(), system.driver(), instrument_, std::move(config));
}

FuzzPort::~FuzzPort()
{
    Settle();
    CloseHandle();
    sent_.clear();
    stack_.reset();
}

NTSTATUS FuzzPort::Plug() { return stack_->Plug(); }

test::PortRequest* FuzzPort::Dispatch(Sent sent)
{
    test::PortRequest* request = sent.request.get();
    // An application's thread: it holds the clock while it runs, and lets it
    // move on while the driver makes it wait.
    sent.thread = std::thread([request] {
        emu::SetThreadName("requester");
        emu::ApiScope inside;
        request->Send();
        emu::DetachThread();
        emu::NotifyStateChanged();
    });
    emu::WaitUntil([request] { return request->dispatched(); }, "a dispatch routine to return");
    sent_.push_back(std::move(sent));
    return request;
}

void FuzzPort::FailNth(emu::FaultSite site, std::uint64_t n)
{
    system_.system().faults().FailNth(site, n);
    if (site == emu::FaultSite::IrpBuild) irpFailAt_ = n;
}

// The plan counts every IRP built through the kernel's routines; the one the
// target builds for itself is taken out of the count, so that the failure
// still falls on the driver's call it was meant for.
std::unique_ptr<test::PortRequest> FuzzPort::Build(const std::function<std::unique_ptr<test::PortRequest>()>& build)
{
    emu::FaultPlan& plan = system_.system().faults();
    if (irpFailAt_ == 0 || plan.Hit(emu::FaultSite::IrpBuild)) return build();
    std::uint64_t calls = plan.Calls(emu::FaultSite::IrpBuild);
    std::uint64_t left = irpFailAt_ > calls ? irpFailAt_ - calls : 1;
    plan.FailNth(emu::FaultSite::IrpBuild, 0);
    auto request = build();
    FailNth(emu::FaultSite::IrpBuild, left);
    return request;
}

test::PortRequest* FuzzPort::Control(ULONG code, const Bytes& input, ULONG outputLength)
{
    PDEVICE_OBJECT device = fdo();
    if (!device) return nullptr;
    return Dispatch({Build([&] { return test::PortRequest::Control(device, code, input, outputLength); }),
                     std::max<std::size_t>(input.size(), outputLength), outputLength});
}

test::PortRequest* FuzzPort::Read(ULONG length)
{
    PDEVICE_OBJECT device = fdo();
    if (!device) return nullptr;
    return Dispatch({Build([&] { return test::PortRequest::Read(device, length); }), length, length});
}

test::PortRequest* FuzzPort::Write(const Bytes& bytes)
{
    PDEVICE_OBJECT device = fdo();
    if (!device) return nullptr;
    return Dispatch({Build([&] { return test::PortRequest::Write(device, bytes); }), bytes.size(), bytes.size()});
}

void FuzzPort::Settle()
{
    emu::WaitUntil(
        [this] {
            return std::all_of(sent_.begin(), sent_.end(), [](const Sent& sent) { return sent.request->completed(); });
        },
        "every request to complete");
    for (Sent& sent : sent_) {
        sent.thread.join();
        if (sent.request->information() > sent.informationMax) Finding("information larger than the output buffer");
        if (!sent.request->UnchangedFrom(sent.room)) Finding("bytes written past the request's buffer");
    }
    sent_.clear();
}

bool FuzzPort::OpenHandle()
{
    if (handle_ != INVALID_HANDLE_VALUE) return true;
    std::u16string port = stack_->portName();
    std::string name = "\\\\.\\" + std::string(port.begin(), port.end());
    handle_ = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    return handle_ != INVALID_HANDLE_VALUE;
}

bool FuzzPort::DeviceControl(ULONG code, const Bytes& input, ULONG outputLength)
{
    if (!OpenHandle()) return false;
    Bytes in = input;
    Bytes out(outputLength);
    DWORD returned = 0;
    // The buffers are exactly the caller's: the sanitizer sees a copy past them.
    BOOL done = DeviceIoControl(handle_, code, in.empty() ? nullptr : in.data(), static_cast<DWORD>(in.size()),
                                out.empty() ? nullptr : out.data(), outputLength, &returned, nullptr);
    if (done && returned > outputLength) Finding("a control returned more bytes than its output buffer holds");
    return done != FALSE;
}

void FuzzPort::CloseHandle()
{
    if (handle_ == INVALID_HANDLE_VALUE) return;
    ::CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
}

}  // namespace tesmo::fuzz
