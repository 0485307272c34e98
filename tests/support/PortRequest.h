// One request sent straight to the port's device object, built the way the
// I/O manager builds buffered I/O: one system buffer that carries the input
// in and the output out. Behind the caller's part the buffer holds sentinel
// bytes, so that a test sees both what the driver wrote and what it must not
// have written.
//
// A request is sent on the test's thread (Send) or, when the driver will
// block in it, on a thread of its own (Start) that the test joins through
// WaitCompleted. Every request must have completed before it is destroyed.
//
// Threads: built, sent and inspected from the test's thread at PASSIVE_LEVEL;
// no lock of its own (the driver owns the IRP until it completes it).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "TestDriver.h"

namespace tesmo::test {

using Bytes = std::vector<UCHAR>;

Bytes BytesOf(const std::string& text);
// The bytes of a value as it lies in memory (text goes to the overload above:
// a literal's terminating zero is not part of it).
template <typename T>
    requires(!std::is_array_v<T>)
Bytes BytesOf(const T& value)
{
    const auto* first = reinterpret_cast<const UCHAR*>(&value);
    return Bytes(first, first + sizeof value);
}

class PortRequest {
public:
    static constexpr UCHAR kSentinel = 0xA5;
    static constexpr std::size_t kGuard = 16;

    static std::unique_ptr<PortRequest> Read(PDEVICE_OBJECT device, ULONG length);
    static std::unique_ptr<PortRequest> Write(PDEVICE_OBJECT device, const Bytes& bytes);
    static std::unique_ptr<PortRequest> Control(PDEVICE_OBJECT device, ULONG code, const Bytes& input,
                                                ULONG outputLength);
    // IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE: no buffer.
    static std::unique_ptr<PortRequest> Plain(PDEVICE_OBJECT device, UCHAR major);

    PortRequest(PDEVICE_OBJECT device, UCHAR major, const Bytes& input, std::size_t room);
    ~PortRequest();
    PortRequest(const PortRequest&) = delete;
    PortRequest& operator=(const PortRequest&) = delete;

    // Calls the driver on this thread; returns what the dispatch routine returned.
    NTSTATUS Send();
    // Calls the driver on a thread of its own.
    void Start();
    void WaitCompleted();
    bool completed() const { return top_.completed(); }
    // What the dispatch routine returned (after Send, or Start and WaitCompleted).
    NTSTATUS returned() const { return returned_; }
    // The dispatch routine has returned (a pending request may still wait).
    bool dispatched() const { return dispatched_; }

    PIRP irp() const { return top_.irp(); }
    NTSTATUS status() const { return top_.irp()->IoStatus.Status; }
    ULONG_PTR information() const { return top_.irp()->IoStatus.Information; }
    // The first `count` bytes of the system buffer.
    Bytes Output(std::size_t count) const;
    // The delivered bytes (Information of them) as text.
    std::string Text() const;
    // Every byte from `offset` on is still what was there before the driver ran.
    bool UnchangedFrom(std::size_t offset) const;

private:
    TopLevelIrp top_;
    Bytes buffer_;
    Bytes before_;
    std::thread thread_;
    std::atomic<NTSTATUS> returned_{STATUS_PENDING};
    std::atomic<bool> dispatched_{false};
};

}  // namespace tesmo::test
