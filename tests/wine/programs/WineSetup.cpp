// tesmo-wine-setup: installs the test bus and the product INF in a Wine
// prefix and drives the bus's control device. Test-only.
//
//   tesmo-wine-setup stage-inf PATH          make the product INF findable
//   tesmo-wine-setup install-bus PATH        create the root bus device, install it
//   tesmo-wine-setup plug [--refuse-configuration] [--wine-registry-access]
//   tesmo-wine-setup unplug                  (both return once the PnP manager is done)
//   tesmo-wine-setup counters                print what the instrument's device saw
//   tesmo-wine-setup port NAME present|absent  whether \\.\NAME exists
//   tesmo-wine-setup serialcomm NAME present|absent
//                                            whether a SERIALCOMM value names NAME
//
// Exits 0 on success; on failure prints why and exits 1.
#include <windows.h>
#include <setupapi.h>
#include <newdev.h>
#include <initguid.h>
#include <devguid.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "TestBusControl.h"

namespace {

const char kBusHardwareId[] = "root\\tesmobus";

int Fail(const char* what)
{
    std::fprintf(stderr, "tesmo-wine-setup: %s failed (error %lu)\n", what, GetLastError());
    return 1;
}

int StageInf(const char* path)
{
    char installed[MAX_PATH];
    if (!SetupCopyOEMInfA(path, nullptr, SPOST_PATH, 0, installed, sizeof installed, nullptr, nullptr)) {
        return Fail("SetupCopyOEMInf");
    }
    std::printf("tesmo-wine-setup: staged %s as %s\n", path, installed);
    return 0;
}

int InstallBus(const char* infPath)
{
    char fullInf[MAX_PATH];
    if (!GetFullPathNameA(infPath, sizeof fullInf, fullInf, nullptr)) {
        return Fail("GetFullPathName");
    }
    HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_SYSTEM, nullptr);
    if (set == INVALID_HANDLE_VALUE) {
        return Fail("SetupDiCreateDeviceInfoList");
    }
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    // The list value ends with two zeros.
    static const char hardwareIds[] = "root\\tesmobus\0";
    bool created = SetupDiCreateDeviceInfoA(set, "TESMOBUS", &GUID_DEVCLASS_SYSTEM, nullptr, nullptr,
                                            DICD_GENERATE_ID, &device) &&
                   SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID,
                                                     reinterpret_cast<const BYTE*>(hardwareIds),
                                                     sizeof hardwareIds) &&
                   SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device);
    DWORD error = GetLastError();
    SetupDiDestroyDeviceInfoList(set);
    if (!created) {
        SetLastError(error);
        return Fail("creating the root bus device");
    }
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesA(nullptr, kBusHardwareId, fullInf, INSTALLFLAG_FORCE, &reboot)) {
        return Fail("UpdateDriverForPlugAndPlayDevices");
    }
    std::printf("tesmo-wine-setup: bus installed from %s\n", fullInf);
    return 0;
}

// The control device exists once the bus has started, shortly after its
// installation: tries for up to five seconds.
HANDLE OpenControl()
{
    for (int attempt = 0; attempt < 250; attempt++) {
        HANDLE control = CreateFileA(TESTBUS_CONTROL_WIN32_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     OPEN_EXISTING, 0, nullptr);
        if (control != INVALID_HANDLE_VALUE) {
            return control;
        }
        Sleep(20);
    }
    return INVALID_HANDLE_VALUE;
}

int Control(DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength, const char* what)
{
    HANDLE control = OpenControl();
    if (control == INVALID_HANDLE_VALUE) {
        return Fail("opening the test bus's control device");
    }
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(control, code, const_cast<void*>(in), inLength, out, outLength, &returned, nullptr);
    DWORD error = GetLastError();
    CloseHandle(control);
    if (!ok) {
        SetLastError(error);
        return Fail(what);
    }
    return 0;
}

bool ReadCounters(TESTBUS_COUNTERS& counters)
{
    return Control(IOCTL_TESTBUS_COUNTERS, nullptr, 0, &counters, sizeof counters, "reading the counters") == 0;
}

// Waits until the PnP manager has started a bus-relations query after the
// first `seen` ones. It has no event a program could wait on, so this polls
// the bus's count; the limit only keeps a broken run from hanging.
bool WaitForQueryAfter(unsigned int seen)
{
    for (int attempt = 0; attempt < 3000; attempt++) {
        TESTBUS_COUNTERS counters = {};
        if (!ReadCounters(counters)) {
            return false;
        }
        if (counters.RelationQueries > seen) {
            return true;
        }
        Sleep(10);
    }
    std::fprintf(stderr, "tesmo-wine-setup: the PnP manager did not enumerate the bus within 30 s\n");
    return false;
}

// A change of the bus's children (made after `before` queries) is handled
// on the PnP manager's one enumeration thread: the query it causes starts,
// then the start or removal of the instrument runs. A further enumeration
// requested after that query started begins only once all of it is done.
bool WaitUntilPnpSettles(unsigned int before)
{
    unsigned int seen = 0;
    if (!WaitForQueryAfter(before) ||
        Control(IOCTL_TESTBUS_ENUMERATE, nullptr, 0, &seen, sizeof seen, "asking for an enumeration") != 0) {
        return false;
    }
    return WaitForQueryAfter(seen);
}

int Plug(bool refuseConfiguration, bool wineRegistryAccess)
{
    TESTBUS_COUNTERS before = {};
    TESTBUS_PLUG_OPTIONS options = {};
    options.RefuseConfiguration = refuseConfiguration ? 1 : 0;
    options.WineRegistryAccess = wineRegistryAccess ? 1 : 0;
    if (!ReadCounters(before) ||
        Control(IOCTL_TESTBUS_PLUG, &options, sizeof options, nullptr, 0, "plugging the instrument in") != 0 ||
        !WaitUntilPnpSettles(before.RelationQueries)) {
        return 1;
    }
    std::printf("tesmo-wine-setup: instrument plugged in%s%s; the PnP manager is done with it\n",
                refuseConfiguration ? ", refusing its configuration" : "",
                wineRegistryAccess ? ", its driver under Wine's registry access checks" : "");
    return 0;
}

int Unplug()
{
    TESTBUS_COUNTERS before = {};
    if (!ReadCounters(before) ||
        Control(IOCTL_TESTBUS_UNPLUG, nullptr, 0, nullptr, 0, "unplugging the instrument") != 0 ||
        !WaitUntilPnpSettles(before.RelationQueries)) {
        return 1;
    }
    std::printf("tesmo-wine-setup: instrument unplugged; the PnP manager is done with it\n");
    return 0;
}

int Counters()
{
    TESTBUS_COUNTERS counters = {};
    if (!ReadCounters(counters)) {
        return 1;
    }
    std::printf("plugged=%u\nstarted=%u\nconfigurations=%u\nbulk_out_bytes=%u\nbulk_in_bytes=%u\n"
                "cancelled_transfers=%u\nport_status_queries=%u\nport_resets=%u\n",
                counters.Plugged, counters.Started, counters.Configurations, counters.BulkOutBytes,
                counters.BulkInBytes, counters.CancelledTransfers, counters.PortStatusQueries, counters.PortResets);
    return 0;
}

// Whether the DOS name exists in the object namespace (\??\NAME).
int Port(const char* name, bool present)
{
    char target[1024];
    bool exists = QueryDosDeviceA(name, target, sizeof target) != 0;
    if (exists != present) {
        std::fprintf(stderr, "tesmo-wine-setup: %s is %s\n", name, exists ? "still there" : "missing");
        return 1;
    }
    std::printf("tesmo-wine-setup: %s is %s\n", name, exists ? "present" : "gone");
    return 0;
}

// Whether some value under HKLM\HARDWARE\DEVICEMAP\SERIALCOMM has the data NAME.
int SerialComm(const char* name, bool present)
{
    HKEY key;
    bool found = false;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) == ERROR_SUCCESS) {
        for (DWORD index = 0;; index++) {
            char valueName[256], data[256];
            DWORD nameLength = sizeof valueName, dataLength = sizeof data - 1, type = 0;
            if (RegEnumValueA(key, index, valueName, &nameLength, nullptr, &type, reinterpret_cast<BYTE*>(data),
                              &dataLength) != ERROR_SUCCESS) {
                break;
            }
            data[dataLength] = 0;
            if (type == REG_SZ && _stricmp(data, name) == 0) {
                std::printf("tesmo-wine-setup: SERIALCOMM %s = %s\n", valueName, data);
                found = true;
            }
        }
        RegCloseKey(key);
    }
    if (found != present) {
        std::fprintf(stderr, "tesmo-wine-setup: SERIALCOMM %s %s\n", found ? "still names" : "does not name", name);
        return 1;
    }
    return 0;
}

int Usage()
{
    std::fprintf(stderr,
                 "usage: tesmo-wine-setup stage-inf PATH | install-bus PATH |"
                 " plug [--refuse-configuration] [--wine-registry-access] |"
                 " unplug | counters | port NAME present|absent | serialcomm NAME present|absent\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        return Usage();
    }
    std::string command = argv[1];
    if (command == "stage-inf" && argc == 3) {
        return StageInf(argv[2]);
    }
    if (command == "install-bus" && argc == 3) {
        return InstallBus(argv[2]);
    }
    if (command == "plug") {
        bool refuse = false, wineAccess = false;
        for (int index = 2; index < argc; index++) {
            if (std::strcmp(argv[index], "--refuse-configuration") == 0) {
                refuse = true;
            } else if (std::strcmp(argv[index], "--wine-registry-access") == 0) {
                wineAccess = true;
            } else {
                return Usage();
            }
        }
        return Plug(refuse, wineAccess);
    }
    if (command == "unplug" && argc == 2) {
        return Unplug();
    }
    if (command == "counters" && argc == 2) {
        return Counters();
    }
    if (command == "port" && argc == 4 &&
        (std::strcmp(argv[3], "present") == 0 || std::strcmp(argv[3], "absent") == 0)) {
        return Port(argv[2], std::strcmp(argv[3], "present") == 0);
    }
    if (command == "serialcomm" && argc == 4 &&
        (std::strcmp(argv[3], "present") == 0 || std::strcmp(argv[3], "absent") == 0)) {
        return SerialComm(argv[2], std::strcmp(argv[3], "present") == 0);
    }
    return Usage();
}
