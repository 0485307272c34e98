// How the communications API talks to the port: each serial control is a
// device control on the port's handle, waited for on an event of the call's
// own when the driver pends it, so that it works on synchronous and
// overlapped handles alike. One channel serves one Win32 call; the event is
// closed when the channel goes.
#pragma once

#include "Win32Internal.h"

namespace tesmo::win32 {

class CommChannel {
public:
    explicit CommChannel(HANDLE port);
    ~CommChannel();
    CommChannel(const CommChannel&) = delete;
    CommChannel& operator=(const CommChannel&) = delete;

    // Sends one serial control and returns its final status.
    NTSTATUS Control(ULONG code, const void* input, ULONG inputLength, void* output, ULONG outputLength);
    // A control without buffers.
    NTSTATUS Control(ULONG code) { return Control(code, nullptr, 0, nullptr, 0); }
    template <typename In>
    NTSTATUS Set(ULONG code, const In& input)
    {
        return Control(code, &input, sizeof(In), nullptr, 0);
    }
    template <typename Out>
    NTSTATUS Get(ULONG code, Out* output)
    {
        return Control(code, nullptr, 0, output, sizeof(Out));
    }

private:
    HANDLE port_;
    emu::io::Handle event_ = 0;
};

// The common shape of a communications call that only succeeds or fails.
inline BOOL Outcome(NTSTATUS status) { return NT_SUCCESS(status) ? TRUE : FailWithStatus(status); }

}  // namespace tesmo::win32
