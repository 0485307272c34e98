// tesmo-client: an application of the COM port, as serial-port software
// uses it. Test-only.
//
//   tesmo-client COMn [--identity TEXT] [--second-open refused|admitted]
//
// Opens the port, sets 9600 8N1 and the time-outs, asks the instrument for
// its identification (expected: TEXT, by default the test instrument's),
// reads the answer in small pieces, checks the serial status and purge, an
// immediate character, the descriptors and the parent-port check through the
// private I/O controls (the latter once with the port enabled and once
// after disabling it through the test bus's control device, so it runs
// against the test bus only), and what a second open gets while the port is
// open: refused, as the platform's I/O manager does for an exclusive device
// (the default), or admitted, for a kernel that does not enforce exclusive
// devices. Prints each step; exits 1 on the first mismatch, 0 when
// everything matched.

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "TestBusControl.h"  // INSTRUMENT_IDENTITY
#include "TesmoIoctl.h"

namespace {

[[noreturn]] void Fail(const std::string& what)
{
    std::printf("client: FAIL: %s (error %lu)\n", what.c_str(), GetLastError());
    std::fflush(stdout);
    std::exit(1);
}

void Check(bool condition, const std::string& what)
{
    if (!condition) {
        Fail(what);
    }
    std::printf("client: ok: %s\n", what.c_str());
}

HANDLE Open(const std::string& path)
{
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

void Write(HANDLE port, const std::string& text)
{
    DWORD written = 0;
    if (!WriteFile(port, text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
        Fail("WriteFile");
    }
    Check(written == text.size(), "wrote " + std::to_string(text.size()) + " bytes");
}

// Reads in pieces of `piece` bytes until a line end; a read that brings
// nothing ends it too.
std::string ReadLine(HANDLE port, DWORD piece)
{
    std::string line;
    char buffer[256];
    while (line.empty() || line.back() != '\n') {
        DWORD got = 0;
        std::memset(buffer, 0xA5, sizeof buffer);  // bytes the driver never wrote stand out
        if (!ReadFile(port, buffer, piece, &got, nullptr)) {
            Fail("ReadFile");
        }
        if (got == 0 || got > piece || line.size() > 200) {
            std::printf("client: read %lu bytes after \"%s\"\n", got, line.c_str());
            break;
        }
        line.append(buffer, got);
    }
    return line;
}

void SetUpPort(HANDLE port)
{
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) {
        Fail("GetCommState");
    }
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    if (!SetCommState(port, &dcb)) {
        Fail("SetCommState");
    }
    DCB readBack = {};
    readBack.DCBlength = sizeof readBack;
    if (!GetCommState(port, &readBack)) {
        Fail("GetCommState after SetCommState");
    }
    Check(readBack.BaudRate == CBR_9600 && readBack.ByteSize == 8 && readBack.Parity == NOPARITY &&
              readBack.StopBits == ONESTOPBIT,
          "the port reads back 9600 8N1");

    // The instrument answers at once; a read that asks for more than the
    // answer waits this long for a further packet before it returns short.
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadTotalTimeoutConstant = 300;
    timeouts.WriteTotalTimeoutConstant = 300;
    if (!SetCommTimeouts(port, &timeouts)) {
        Fail("SetCommTimeouts");
    }
    COMMTIMEOUTS timeoutsBack = {};
    if (!GetCommTimeouts(port, &timeoutsBack)) {
        Fail("GetCommTimeouts");
    }
    Check(timeoutsBack.ReadTotalTimeoutConstant == 300, "the port reads back its read time-out");
}

DWORD WaitingBytes(HANDLE port)
{
    DWORD errors = 0;
    COMSTAT status = {};
    if (!ClearCommError(port, &errors, &status)) {
        Fail("ClearCommError");
    }
    Check(errors == 0, "ClearCommError reports no line errors");
    return status.cbInQue;
}

void CheckDescriptors(HANDLE port)
{
    unsigned char device[64];
    DWORD got = 0;
    std::memset(device, 0xA5, sizeof device);
    if (!DeviceIoControl(port, IOCTL_READ_DEVICE_DESCRIPTOR, nullptr, 0, device, sizeof device, &got, nullptr)) {
        Fail("reading the device descriptor");
    }
    Check(got == 18 && device[0] == 18 && device[1] == 1, "the device descriptor has 18 bytes");
    Check(device[8] == 0x5D && device[9] == 0x7E && device[10] == 0x07 && device[11] == 0x00,
          "the device descriptor names vendor 7E5D, product 0007");
    Check(device[18] == 0xA5, "nothing written past the device descriptor");

    unsigned char configuration[256];
    std::memset(configuration, 0xA5, sizeof configuration);
    got = 0;
    if (!DeviceIoControl(port, IOCTL_READ_CONFIG_DESCRIPTOR, nullptr, 0, configuration, sizeof configuration, &got,
                         nullptr)) {
        Fail("reading the configuration descriptor");
    }
    unsigned total = configuration[2] | (configuration[3] << 8);
    Check(got == total && configuration[1] == 2, "the configuration descriptor comes whole (" +
                                                       std::to_string(got) + " bytes)");
    bool out = false, in = false;
    for (unsigned at = 0; at + 7 <= got && configuration[at] != 0; at += configuration[at]) {
        if (configuration[at + 1] == 5 && (configuration[at + 3] & 3) == 2 && configuration[at + 4] == 64) {
            out = out || configuration[at + 2] == 0x01;
            in = in || configuration[at + 2] == 0x82;
        }
    }
    Check(out && in, "the configuration has bulk OUT 0x01 and bulk IN 0x82 of 64 bytes");
}

bool ParentPortCheck(HANDLE port)
{
    DWORD returned = 0;
    return DeviceIoControl(port, IOCTL_RESET_PARENT_PORT, nullptr, 0, nullptr, 0, &returned, nullptr) != FALSE;
}

// The driver resets the instrument's hub port only when it is connected but
// not enabled. The test bus's control device disables the port in between
// (the bus counts the status queries and resets it sees).
void CheckParentPort(HANDLE port)
{
    Check(ParentPortCheck(port), "the parent-port check of an enabled port succeeds");
    HANDLE bus = CreateFileA(TESTBUS_CONTROL_WIN32_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                             nullptr);
    if (bus == INVALID_HANDLE_VALUE) {
        Fail("opening the test bus's control device");
    }
    DWORD returned = 0;
    BOOL disabled = DeviceIoControl(bus, IOCTL_TESTBUS_DISABLE_PORT, nullptr, 0, nullptr, 0, &returned, nullptr);
    CloseHandle(bus);
    if (!disabled) {
        Fail("disabling the instrument's port");
    }
    Check(ParentPortCheck(port), "the parent-port check of a disabled port succeeds (it resets the port)");
}

}  // namespace

int main(int argc, char** argv)
{
    std::string identity = std::string(INSTRUMENT_IDENTITY) + "\n";
    bool secondOpenRefused = true;
    for (int index = 2; index + 1 < argc; index += 2) {
        if (std::strcmp(argv[index], "--identity") == 0) {
            identity = std::string(argv[index + 1]) + "\n";
        } else if (std::strcmp(argv[index], "--second-open") == 0 && std::strcmp(argv[index + 1], "admitted") == 0) {
            secondOpenRefused = false;
        } else if (std::strcmp(argv[index], "--second-open") != 0 || std::strcmp(argv[index + 1], "refused") != 0) {
            argc = 0;  // not an option this program knows
        }
    }
    if (argc < 2 || argc % 2 != 0) {
        std::fprintf(stderr, "usage: tesmo-client COMn [--identity TEXT] [--second-open refused|admitted]\n");
        return 2;
    }
    std::string path = std::string("\\\\.\\") + argv[1];

    HANDLE port = Open(path);
    if (port == INVALID_HANDLE_VALUE) {
        Fail("opening " + path);
    }
    std::printf("client: opened %s\n", path.c_str());

    HANDLE second = Open(path);
    if (second != INVALID_HANDLE_VALUE) {
        CloseHandle(second);
    }
    if (secondOpenRefused) {
        Check(second == INVALID_HANDLE_VALUE, "a second open of the port is refused");
    } else {
        Check(second != INVALID_HANDLE_VALUE, "a second open of the port is admitted (exclusivity not enforced)");
    }

    SetUpPort(port);

    // The answer is one packet; reading it in pieces of 8 leaves the rest in
    // the driver's reassembly buffer between reads. The last piece finds 7
    // bytes waiting and waits out the read time-out for one more packet.
    Write(port, "*IDN?\n");
    std::string answer = ReadLine(port, 8);
    std::printf("client: the instrument answered \"%.*s\"\n", static_cast<int>(answer.size()) - 1, answer.c_str());
    Check(answer == identity, "the identification is the expected one");

    char first[8];
    DWORD got = 0;
    Write(port, "*IDN?\n");
    if (!ReadFile(port, first, sizeof first, &got, nullptr)) {
        Fail("ReadFile of the first 8 bytes");
    }
    Check(got == 8, "a read of 8 bytes brings 8");
    DWORD waiting = WaitingBytes(port);
    Check(waiting == identity.size() - 8, "ClearCommError counts the " + std::to_string(identity.size() - 8) +
                                              " bytes still waiting (" + std::to_string(waiting) + ")");
    if (!PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR)) {
        Fail("PurgeComm");
    }
    // Nothing waits now: the status query's read-ahead finds the instrument
    // silent and gives up its transfer.
    Check(WaitingBytes(port) == 0, "after PurgeComm nothing is waiting");

    // The immediate character goes out ahead of the rest of the command.
    if (!TransmitCommChar(port, '*')) {
        Fail("TransmitCommChar");
    }
    Write(port, "IDN?\n");
    Check(ReadLine(port, 64) == identity, "an immediate character and a write make one command");

    CheckDescriptors(port);

    CheckParentPort(port);

    if (!CloseHandle(port)) {
        Fail("CloseHandle");
    }
    HANDLE again = Open(path);
    Check(again != INVALID_HANDLE_VALUE, "the port opens again after it was closed");
    CloseHandle(again);
    std::printf("client: all checks passed\n");
    return 0;
}
