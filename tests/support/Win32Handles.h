// A mixin for fixtures whose tests open Win32 handles (the port, events for
// overlapped requests): what a test opened through it and did not close
// itself is closed when the fixture goes, newest first. Mixed in after the
// rungs (class X : public StartedPortTest, protected Win32Handles), it goes
// before them, so that no open file vetoes the port's removal.
//
// Threads: the test's thread; a handle may be used on any thread meanwhile.
#pragma once

#include <algorithm>
#include <vector>

#include "tesmo/windows.h"

namespace tesmo::test {

class Win32Handles {
protected:
    Win32Handles() = default;
    ~Win32Handles()
    {
        for (auto handle = open_.rbegin(); handle != open_.rend(); ++handle) CloseHandle(*handle);
    }
    Win32Handles(const Win32Handles&) = delete;
    Win32Handles& operator=(const Win32Handles&) = delete;

    // CreateFile for reading and writing; INVALID_HANDLE_VALUE (and the error
    // in GetLastError) when refused.
    HANDLE Open(const char* name, DWORD flags = 0)
    {
        return Keep(CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr));
    }
    HANDLE OpenPort(DWORD flags = 0) { return Open("\\\\.\\COM3", flags); }
    // A manual-reset event, not signalled.
    HANDLE NewEvent() { return Keep(CreateEventA(nullptr, TRUE, FALSE, nullptr)); }
    // An OVERLAPPED with an event of its own.
    OVERLAPPED NewOverlapped()
    {
        OVERLAPPED overlapped{};
        overlapped.hEvent = NewEvent();
        return overlapped;
    }
    // The test closes a handle itself (a close the test is about).
    BOOL Close(HANDLE handle)
    {
        std::erase(open_, handle);
        return CloseHandle(handle);
    }

private:
    HANDLE Keep(HANDLE handle)
    {
        if (handle && handle != INVALID_HANDLE_VALUE) open_.push_back(handle);
        return handle;
    }

    std::vector<HANDLE> open_;
};

}  // namespace tesmo::test
