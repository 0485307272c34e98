// The fixture of the Win32 tests: a fresh system with a fake serial port
// behind \\.\COM3, and the port opened through CreateFile when a test asks
// for it (closed again at teardown).
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "FakeSerialPort.h"
#include "SystemTest.h"
#include "tesmo/windows.h"

namespace tesmo::test {

class Win32Test : public SystemTest {
protected:
    void TearDown() override
    {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }

    FakeSerialPort& port() { return port_; }
    FakeDevice& device() { return port_.device(); }

    // The port, opened once per test (FILE_FLAG_OVERLAPPED when asked), with
    // the open's own requests forgotten.
    HANDLE Port(DWORD flags = 0)
    {
        if (handle_ == INVALID_HANDLE_VALUE) {
            handle_ = Open("\\\\.\\COM3", flags);
            EXPECT_NE(handle_, INVALID_HANDLE_VALUE) << "error " << GetLastError();
            port_.Clear();
        }
        return handle_;
    }
    static HANDLE Open(const char* name, DWORD flags = 0)
    {
        return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    }

private:
    FakeSerialPort port_{sys()};
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// gtest names for labelled cases.
inline std::string CaseName(const char* label)
{
    std::string name = label;
    for (char& ch : name) ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    return name;
}

}  // namespace tesmo::test
