// Driver and device objects: creation, device stacks, reference-counted
// deletion, the default dispatch routine, and loading driver images.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "Kernel.h"
#include "emu/Devices.h"
#include "emu/ExportEntry.h"
#include "emu/Threads.h"

namespace emu::detail {

namespace {
constexpr std::size_t kDeviceQuarantine = 256;
}  // namespace

DevicePrivate* PrivateOf(PDEVICE_OBJECT device)
{
    if (!device) BugCheck("a null device object was used");
    auto* p = static_cast<DevicePrivate*>(device->Reserved);
    if (!p || p->magic != kDeviceAlive) BugCheck("a device object was used after it was freed");
    return p;
}

DriverPrivate* PrivateOf(PDRIVER_OBJECT driver) { return static_cast<DriverPrivate*>(driver->DriverSection); }

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

IoManager::IoManager() = default;

IoManager::~IoManager()
{
    for (IrpPrivate* p : liveIrps) {
        std::free(p->block);
        delete p;
    }
    for (IrpPrivate* p : freedIrps) {
        std::free(p->block);
        delete p;
    }
    for (DevicePrivate* d : freedDevices) delete d;
}

PDEVICE_OBJECT IoManager::ReleaseDevice(DevicePrivate* device)
{
    device->magic = kDeviceFreed;
    auto first = reinterpret_cast<std::uintptr_t>(device->extension);
    removeLockTags.erase(removeLockTags.lower_bound(first), removeLockTags.lower_bound(first + device->extensionSize));
    K().races.ExtensionFreed(device->extension);
    std::free(device->extension);
    device->extension = nullptr;
    freedDevices.push_back(device);
    while (freedDevices.size() > kDeviceQuarantine) {
        delete freedDevices.front();
        freedDevices.pop_front();
    }
    return &device->object;
}

void IoManager::DereferenceDevice(DevicePrivate* device)
{
    if (device->references.fetch_sub(1) != 1) return;
    PDEVICE_OBJECT released;
    {
        std::lock_guard lock(mutex);
        if (!device->deletePending || device->references.load() != 0 || device->magic != kDeviceAlive) return;
        deleting.erase(device);
        released = ReleaseDevice(device);
    }
    // A device object made later may get the same address.
    K().powerState.ForgetDevice(released);
    NotifyStateChanged();
}

DriverPrivate* NewDriver(const std::u16string& serviceName)
{
    auto* d = new DriverPrivate;
    d->serviceName = serviceName;
    d->driverName = u"\\Driver\\" + serviceName;
    d->object.Type = 4;
    d->object.Size = sizeof(DRIVER_OBJECT);
    d->object.DriverExtension = &d->extension;
    d->object.DriverSection = d;
    d->extension.DriverObject = &d->object;
    d->object.DriverName.Buffer = d->driverName.data();
    d->object.DriverName.Length = static_cast<USHORT>(d->driverName.size() * sizeof(WCHAR));
    d->object.DriverName.MaximumLength = d->object.DriverName.Length;
    for (auto& slot : d->object.MajorFunction) slot = InvalidDeviceRequest;
    return d;
}

NTSTATUS RunDriverEntry(DriverPrivate* d, PDRIVER_INITIALIZE entry)
{
    std::u16string path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + d->serviceName;
    UNICODE_STRING registryPath{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2),
                                path.data()};
    d->object.DriverInit = entry;
    IrqlScope passive(PASSIVE_LEVEL);
    return entry(&d->object, &registryPath);
}

void IoManager::UnloadDriver(DriverPrivate* d)
{
    // A deleted device still referenced by running code (a work item, a
    // request in the driver's dispatch routine) keeps the image loaded, as on
    // the platform: the unload waits for it. References of handles a test
    // left open would never go; those are reported as leaks instead.
    WaitUntil(
        [&] {
            std::lock_guard lock(mutex);
            for (DevicePrivate* device : deleting) {
                if (device->object.DriverObject == &d->object && device->references.load() > device->openHandles) {
                    return false;
                }
            }
            return true;
        },
        "the driver's deleted devices to be released before its unload");
    if (d->object.DeviceObject) {
        Violation(Rule::HandleLeak, nullptr,
                  "driver " + Narrow(d->serviceName) + " unloaded while it still has device objects");
    }
    if (d->object.DriverUnload) {
        IrqlScope passive(PASSIVE_LEVEL);
        d->object.DriverUnload(&d->object);
    }
    {
        std::lock_guard lock(mutex);
        drivers.remove(d);
    }
    // Device objects the driver left behind are released with it.
    for (PDEVICE_OBJECT dev = d->object.DeviceObject; dev;) {
        PDEVICE_OBJECT next = dev->NextDevice;
        K().names.RemoveDevice(dev);
        {
            std::lock_guard lock(mutex);
            ReleaseDevice(static_cast<DevicePrivate*>(dev->Reserved));
        }
        K().powerState.ForgetDevice(dev);
        dev = next;
    }
    if (d->image) {
        K().races.ImageUnloaded(d->image);
        dlclose(d->image);
    }
    delete d;
}

void IoManager::UnloadAllDrivers()
{
    while (true) {
        DriverPrivate* d;
        {
            std::lock_guard lock(mutex);
            if (drivers.empty()) return;
            d = drivers.back();
        }
        UnloadDriver(d);
    }
}

}  // namespace emu::detail

namespace emu {

using namespace detail;

// A kernel image built for the platform (PE32+), mapped by the emulation's
// own loader; its INIT section goes once DriverEntry returned.
static _DRIVER_OBJECT* LoadPlatformImage(const std::string& path, const std::vector<std::uint8_t>& bytes,
                                         const std::u16string& serviceName)
{
    std::string error;
    std::unique_ptr<PeImage> image = PeImage::Map(bytes, error);
    if (!image) {
        std::fprintf(stderr, "emulation: cannot load driver image '%s': %s\n", path.c_str(), error.c_str());
        return nullptr;
    }
    DriverPrivate* d = NewDriver(serviceName);
    NTSTATUS status = RunDriverEntry(d, image->Entry());
    if (!NT_SUCCESS(status)) {
        delete d;
        return nullptr;
    }
    image->DiscardInit();
    d->pe = std::move(image);
    std::lock_guard lock(K().io.mutex);
    K().io.drivers.push_back(d);
    return &d->object;
}

_DRIVER_OBJECT* System::LoadDriverImage(const std::string& path, const std::u16string& serviceName)
{
    // Only a PE image is read whole here; a shared object (every scenario
    // of the explorer loads one) goes to dlopen after two bytes.
    if (!path.empty()) {
        std::ifstream file(path, std::ios::binary);
        char magic[2] = {};
        if (file.read(magic, sizeof magic) && magic[0] == 'M' && magic[1] == 'Z') {
            file.seekg(0);
            std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
            return LoadPlatformImage(path, bytes, serviceName);
        }
    }
    // dlopen takes an empty name for the program itself, which is no image.
    void* image = path.empty() ? nullptr : dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!image) {
        std::fprintf(stderr, "emulation: cannot load driver image '%s': %s\n", path.c_str(),
                     path.empty() ? "no name" : dlerror());
        return nullptr;
    }
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(image, "DriverEntry"));
    if (!entry) {
        std::fprintf(stderr, "emulation: %s exports no DriverEntry\n", path.c_str());
        dlclose(image);
        return nullptr;
    }
    // An instrumented image told the race detector of itself as it loaded:
    // its globals are the driver's memory too.
    if (kernel_->races.instrumented()) kernel_->races.ImageLoaded(image);
    DriverPrivate* d = NewDriver(serviceName);
    d->image = image;
    NTSTATUS status = RunDriverEntry(d, entry);
    if (NT_SUCCESS(status)) kernel_->races.ImageStarted(image);
    if (!NT_SUCCESS(status)) {
        kernel_->races.ImageUnloaded(image);
        dlclose(image);
        delete d;
        return nullptr;
    }
    std::lock_guard lock(kernel_->io.mutex);
    kernel_->io.drivers.push_back(d);
    return &d->object;
}

_DRIVER_OBJECT* System::CreateDriver(const std::u16string& serviceName, DriverInitialize initialize)
{
    DriverPrivate* d = NewDriver(serviceName);
    NTSTATUS status = RunDriverEntry(d, initialize);
    if (!NT_SUCCESS(status)) {
        delete d;
        return nullptr;
    }
    std::lock_guard lock(kernel_->io.mutex);
    kernel_->io.drivers.push_back(d);
    return &d->object;
}

void System::UnloadDriver(_DRIVER_OBJECT* driver) { kernel_->io.UnloadDriver(PrivateOf(driver)); }

void* System::DriverImage(_DRIVER_OBJECT* driver) { return PrivateOf(driver)->image; }

void SetDeviceInstancePath(_DEVICE_OBJECT* pdo, const std::u16string& instancePath)
{
    std::lock_guard lock(K().io.mutex);
    PrivateOf(pdo)->instancePath = instancePath;
}

_DEVICE_OBJECT* PhysicalDeviceOf(_DEVICE_OBJECT* device)
{
    std::lock_guard lock(K().io.mutex);
    while (PrivateOf(device)->attachedTo) device = PrivateOf(device)->attachedTo;
    return device;
}

_DEVICE_OBJECT* TopOfStack(_DEVICE_OBJECT* device)
{
    std::lock_guard lock(K().io.mutex);
    while (device->AttachedDevice) device = device->AttachedDevice;
    return device;
}

std::u16string DeviceInstancePath(_DEVICE_OBJECT* device)
{
    _DEVICE_OBJECT* pdo = PhysicalDeviceOf(device);
    std::lock_guard lock(K().io.mutex);
    return PrivateOf(pdo)->instancePath;
}

std::u16string DeviceName(_DEVICE_OBJECT* device)
{
    std::lock_guard lock(K().io.mutex);
    return PrivateOf(device)->name;
}

}  // namespace emu

using namespace emu::detail;

extern "C" {

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        ULONG DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive, PDEVICE_OBJECT* DeviceObject)
{
    EMU_ENTRY(IoCreateDevice);
    *DeviceObject = nullptr;
    auto& io = K().io;
    std::u16string name = ToU16(DeviceName);
    if (DeviceCharacteristics & FILE_AUTOGENERATED_DEVICE_NAME) name = K().names.AutogeneratedDeviceName();
    auto* p = new DevicePrivate;
    p->name = name;
    p->exclusive = Exclusive != FALSE;
    p->extension = DeviceExtensionSize ? std::calloc(1, DeviceExtensionSize) : nullptr;
    p->extensionSize = DeviceExtensionSize;
    PDEVICE_OBJECT dev = &p->object;
    dev->Type = 3;
    dev->Size = sizeof(DEVICE_OBJECT) + DeviceExtensionSize;
    dev->DriverObject = DriverObject;
    dev->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) | (name.empty() ? 0 : DO_DEVICE_HAS_NAME);
    dev->Characteristics = DeviceCharacteristics;
    dev->DeviceExtension = p->extension;
    dev->DeviceType = DeviceType;
    dev->StackSize = 1;
    dev->Reserved = p;
    if (!name.empty()) {
        NTSTATUS status = K().names.InsertDevice(name, dev);
        if (!NT_SUCCESS(status)) {
            std::free(p->extension);
            delete p;
            return status;
        }
    }
    K().races.ExtensionAllocated(p->extension, DeviceExtensionSize);
    {
        std::lock_guard lock(io.mutex);
        dev->NextDevice = DriverObject->DeviceObject;
        DriverObject->DeviceObject = dev;
    }
    *DeviceObject = dev;
    return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    EMU_ENTRY(IoDeleteDevice);
    DevicePrivate* p = PrivateOf(DeviceObject);
    auto& io = K().io;
    // A bus deletes its PDO during removal while the function driver above
    // is still attached (it detaches once the removal has passed down); a
    // device that never detached from the device below it is a fault.
    if (p->attachedTo) {
        Violation(emu::Rule::DeviceDeletedWhileAttached, nullptr,
                  "IoDeleteDevice on a device still attached to the device below it");
    }
    if (p->surpriseRemovalInProgress) {
        Violation(emu::Rule::DetachOrDeleteDuringSurpriseRemoval, nullptr,
                  "IoDeleteDevice while the stack handles IRP_MN_SURPRISE_REMOVAL (wait for IRP_MN_REMOVE_DEVICE)");
    }
    {
        std::lock_guard lock(io.mutex);
        PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
        while (*link && *link != DeviceObject) link = &(*link)->NextDevice;
        if (*link) *link = DeviceObject->NextDevice;
        p->deletePending = true;
        io.deleting.insert(p);
        p->name.clear();
    }
    // The name goes at once; the object stays while it is referenced.
    K().names.RemoveDevice(DeviceObject);
    // The memory goes when the last reference does (an IRP in progress, a handle).
    p->references.fetch_add(1);
    io.DereferenceDevice(p);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice)
{
    EMU_ENTRY(IoAttachDeviceToDeviceStack);
    auto& io = K().io;
    std::lock_guard lock(io.mutex);
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice) top = top->AttachedDevice;
    if (static_cast<DevicePrivate*>(top->Reserved)->deletePending) return nullptr;
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    static_cast<DevicePrivate*>(SourceDevice->Reserved)->attachedTo = top;
    return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    EMU_ENTRY(IoDetachDevice);
    auto& io = K().io;
    std::lock_guard lock(io.mutex);
    PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
    if (PrivateOf(TargetDevice)->surpriseRemovalInProgress) {
        Violation(emu::Rule::DetachOrDeleteDuringSurpriseRemoval, nullptr,
                  "IoDetachDevice while the stack handles IRP_MN_SURPRISE_REMOVAL (wait for IRP_MN_REMOVE_DEVICE)");
    }
    if (!above) {
        Violation(emu::Rule::NotModelled, nullptr, "IoDetachDevice on a device that has nothing attached");
        return;
    }
    TargetDevice->AttachedDevice = nullptr;
    static_cast<DevicePrivate*>(above->Reserved)->attachedTo = nullptr;
    // What was above has left the stack: the end of a surprise removal no
    // longer reaches it, so its mark goes now (it would otherwise stay and
    // report the device's later, proper deletion too).
    for (PDEVICE_OBJECT gone = above; gone; gone = gone->AttachedDevice) {
        PrivateOf(gone)->surpriseRemovalInProgress = false;
    }
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject)
{
    EMU_ENTRY(IoGetAttachedDeviceReference);
    auto& io = K().io;
    std::lock_guard lock(io.mutex);
    PDEVICE_OBJECT top = DeviceObject;
    while (top->AttachedDevice) top = top->AttachedDevice;
    static_cast<DevicePrivate*>(top->Reserved)->references.fetch_add(1);
    return top;
}

VOID ObReferenceObject(PVOID Object)
{
    EMU_ENTRY(ObReferenceObject);
    PrivateOf(static_cast<PDEVICE_OBJECT>(Object))->references.fetch_add(1);
}

VOID ObDereferenceObject(PVOID Object)
{
    EMU_ENTRY(ObDereferenceObject);
    K().io.DereferenceDevice(PrivateOf(static_cast<PDEVICE_OBJECT>(Object)));
}

}  // extern "C"
