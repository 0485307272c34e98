// I/O manager state of the emulation: the bookkeeping kept beside IRPs, device
// objects and driver objects. Drivers see only the platform structures; this
// private state sits in front of each of them in the same allocation.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "PeImage.h"
#include "emu_ntddk.h"

namespace emu::detail {

constexpr std::uint64_t kIrpAlive = 0x4952504C49564531ull;  // "IRPLIVE1"
constexpr std::uint64_t kIrpFreed = 0x4952504652454544ull;  // "IRPFREED"

enum class IrpOrigin {
    Allocated,  // IoAllocateIrp: the creator frees it
    Threaded,   // IoBuildDeviceIoControlRequest: released by the I/O manager at completion
    IoManager,  // a request the I/O manager made for an application call
};

struct StackShadow {
    bool markedPending = false;      // IoMarkIrpPending at this location by a driver
    bool completionReached = false;  // completion walked through this location
    NTSTATUS statusAtCompletion = 0;
    std::uint64_t flowId = 0;  // the timeline's flow from IoCallDriver to this location's completion routine
};

struct DispatchFrame {
    int location;
    bool nestedPending = false;  // a call it made down the stack returned STATUS_PENDING
    const void* thread;
};

struct IrpPrivate {
    std::uint64_t magic = kIrpAlive;
    IrpOrigin origin = IrpOrigin::Allocated;
    int references = 0;               // dispatch frames in progress, plus one for the owner until finished
    bool finished = false;            // the I/O manager's final completion has run
    std::vector<StackShadow> shadow;  // index = location (1..StackCount)
    std::vector<DispatchFrame> frames;
    // METHOD_BUFFERED requests the I/O manager built: where the output goes.
    void* userOutput = nullptr;
    ULONG outputLength = 0;
    bool hasOutputLimit = false;
    ULONG_PTR outputLimit = 0;
    std::unique_ptr<UCHAR[]> systemBuffer;  // of a request IoBuildDeviceIoControlRequest built
    // Called once at final completion for IRPs of the I/O manager.
    std::function<void(PIRP)> onFinished;
    // Power: whether PoStartNextPowerIrp was called for it.
    bool startNextCalled = false;
    std::uint64_t timelineId = 0;  // its life on the timeline, from the first IoCallDriver; 0: not begun
    std::string timelineName;      // and that life's name
    char* block = nullptr;         // [this pointer][IRP][stack locations]
    std::size_t blockSize = 0;
    PIRP irp = nullptr;
    PIRP irp_ptr();
};

// An IRP with its private record, released by the I/O manager according to origin.
PIRP AllocateIrp(CCHAR stackSize, IrpOrigin origin);

constexpr UCHAR kUninitialisedByte = 0xCD;  // what a system buffer holds where nothing was written

// The system buffer of a buffered request, as the I/O manager builds it:
// `size` bytes, the caller's `inputLength` bytes of input at its start and
// kUninitialisedByte after them, attached to `irp` with IRP_BUFFERED_IO and
// IRP_DEALLOCATE_BUFFER (and IRP_INPUT_OPERATION when `copiesOut`: the
// output is copied back at completion). The caller keeps the buffer until
// then. A size of 0 attaches nothing and gives null.
std::unique_ptr<UCHAR[]> AttachSystemBuffer(PIRP irp, const void* input, ULONG inputLength, ULONG size, bool copiesOut);

IrpPrivate* PrivateOf(PIRP irp, const char* caller);  // verifies the IRP is alive

// Keeps an IRP's memory from being released (not its completion) while the
// I/O manager still needs to touch it, e.g. to cancel it. IoManager::mutex
// must not be held.
void ReferenceIrp(PIRP irp);
void DereferenceIrp(PIRP irp);

constexpr std::uint64_t kDeviceAlive = 0x4445564943454F4Bull;

constexpr std::uint64_t kDeviceFreed = 0x4445564943454644ull;

// The device object points back at this record through its Reserved member.
struct DevicePrivate {
    std::uint64_t magic = kDeviceAlive;
    std::u16string name;
    bool exclusive = false;
    std::atomic<int> references{0};  // dispatches in progress, open handles, object references
    int openHandles = 0;             // file objects open on it (UserIo); mirrored in object.ReferenceCount
    bool deletePending = false;
    bool removalPending = false;             // the PnP manager is removing the stack: opens are refused
    PDEVICE_OBJECT attachedTo = nullptr;     // the device this one sits on
    std::u16string instancePath;             // set by the bus for its PDOs
    bool surpriseRemovalInProgress = false;  // the PnP manager sends IRP_MN_SURPRISE_REMOVAL down this stack
    bool surpriseRemoved = false;
    void* extension = nullptr;
    std::size_t extensionSize = 0;
    DEVICE_OBJECT object{};
};

DevicePrivate* PrivateOf(PDEVICE_OBJECT device);

// The driver object points back at this record through DriverSection.
struct DriverPrivate {
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::u16string serviceName;
    std::u16string driverName;
    void* image = nullptr;        // dlopen handle for loaded images
    std::unique_ptr<PeImage> pe;  // or the mapped image of a PE32+ kernel image
};

DriverPrivate* PrivateOf(PDRIVER_OBJECT driver);

class IoManager {
public:
    IoManager();
    ~IoManager();

    std::mutex mutex;  // IRP bookkeeping, object lists
    KSPIN_LOCK cancelLock = 0;

    std::list<DriverPrivate*> drivers;
    // Quarantines: the newest released IRPs and device objects are kept
    // readable (and poisoned, or marked freed) so that a late touch is
    // caught; older ones are given back.
    std::deque<IrpPrivate*> freedIrps;
    std::deque<DevicePrivate*> freedDevices;
    std::unordered_set<DevicePrivate*> deleting;  // deleted, still referenced
    // The tag each remove lock was initialised with, by the lock's address:
    // the platform's structure has no room for it. A device's entries go
    // with its extension.
    std::map<std::uintptr_t, ULONG> removeLockTags;

    // Releases an IRP's memory once nobody references it (mutex held).
    void ReleaseIrp(IrpPrivate* irp);
    // Drops a reference; frees a deleted device when the last one goes.
    void DereferenceDevice(DevicePrivate* device);
    // Unloads every driver at shutdown, reporting devices still present.
    void UnloadAllDrivers();
    void UnloadDriver(DriverPrivate* driver);
    std::size_t LiveIrps() const { return liveIrps.size(); }
    std::unordered_set<IrpPrivate*> liveIrps;  // freed at shutdown if a driver leaked them

private:
    // The device object's memory is released: it is marked freed, its
    // extension goes, and the record waits in the quarantine (mutex held).
    // Returns the object, for forgetting what others keep about it once
    // the mutex is released.
    PDEVICE_OBJECT ReleaseDevice(DevicePrivate* device);
};

// The I/O manager's default dispatch routine for majors a driver does not handle.
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp);

}  // namespace emu::detail
