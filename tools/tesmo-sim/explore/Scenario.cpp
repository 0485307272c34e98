#include "Scenario.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <random>
#include <thread>

#include "Oracles.h"
#include "emu/HexText.h"
#include "tesmo/control.h"
#include "tesmo/windows.h"

namespace tesmo::explore {

namespace {

constexpr char kIdentity[] = "EXPLORER,Model 7,SN 1,FW 1";
constexpr DWORD kImmediateChar = 0x1B0018;  // IOCTL_SERIAL_IMMEDIATE_CHAR
// How many of the driver's last trace lines a failure shows;
// TESMO_EXPLORE_TRACE_LINES asks for more.
std::size_t TraceLinesKept()
{
    const char* asked = std::getenv("TESMO_EXPLORE_TRACE_LINES");
    return asked ? std::strtoul(asked, nullptr, 10) : 120;
}
const std::size_t kTraceLines = TraceLinesKept();

// One step of an FNV-1a digest.
std::uint64_t Mix(std::uint64_t digest, std::uint64_t value)
{
    for (int i = 0; i < 8; ++i, value >>= 8) digest = (digest ^ (value & 0xFF)) * 1099511628211ULL;
    return digest;
}
constexpr std::uint64_t kDigestStart = 14695981039346656037ULL;

// The digest of a trace text with every pointer (sixteen hexadecimal digits
// in a row) left out: addresses vary with the heap, from process to process.
std::uint64_t DigestWithoutPointers(std::uint64_t digest, const char* text)
{
    constexpr std::size_t kPointerDigits = 16;
    for (const char* c = text; *c;) {
        std::size_t run = 0;
        while (std::isxdigit(static_cast<unsigned char>(c[run]))) ++run;
        if (run >= kPointerDigits) {
            digest = (digest ^ '*') * 1099511628211ULL;
        } else {
            for (std::size_t i = 0; i < std::max<std::size_t>(run, 1) && c[i]; ++i) {
                digest = (digest ^ std::uint8_t(c[i])) * 1099511628211ULL;
            }
        }
        c += std::max<std::size_t>(run, 1);
    }
    return digest;
}

// What one thread's calls returned, in its order.
class ResultDigest {
public:
    void Note(std::uint64_t value) { digest_ = Mix(digest_, value); }
    void NoteBytes(const std::uint8_t* bytes, std::size_t count)
    {
        for (std::size_t i = 0; i < count; ++i) digest_ = (digest_ ^ bytes[i]) * 1099511628211ULL;
    }
    std::uint64_t value() const { return digest_; }

private:
    std::uint64_t digest_ = kDigestStart;
};

// The steps the application and its companion thread share; what each call
// returned goes to the calling thread's digest.
void ChangeBaudRate(HANDLE handle, uint32_t which, ResultDigest& results)
{
    static const DWORD rates[] = {9600, 19200, 115200, 921600};
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    BOOL got = GetCommState(handle, &dcb);
    results.Note(got ? 0 : GetLastError());
    if (got) {
        dcb.BaudRate = rates[which % 4];
        results.Note(SetCommState(handle, &dcb) ? 0 : GetLastError());
    }
}

void QueryStatus(HANDLE handle, ResultDigest& results)
{
    DWORD errors = 0;
    COMSTAT status{};
    BOOL ok = ClearCommError(handle, &errors, &status);
    results.Note(ok ? 0 : GetLastError());
    results.Note(errors);
    results.Note(status.cbInQue);
}

// What the scenario's threads share: the complaints and the count of calls.
class Judge {
public:
    void Complain(const std::string& text)
    {
        std::lock_guard lock(mutex_);
        complaints_.push_back(text);
    }
    std::vector<std::string> complaints() const
    {
        std::lock_guard lock(mutex_);
        return complaints_;
    }
    std::atomic<std::uint64_t> requests{0};
    // An allocation of the driver may fail: requests may then fail and
    // answers go missing, but nothing may leak, hang or crash.
    std::atomic<bool> failureArmed{false};

private:
    mutable std::mutex mutex_;
    std::vector<std::string> complaints_;
};

// The last lines the driver traced, for the report of a failure; also
// written out when the process is stopped (the emulation aborts on a hang).
class TraceTail {
public:
    TraceTail() { active_ = this; }
    ~TraceTail() { active_ = nullptr; }
    // Best effort from a signal handler: the lines may be in mid-change.
    static void DumpOnAbort(int)
    {
        if (TraceTail* tail = active_) {
            const char header[] = "the driver's last trace lines:\n";
            (void)!write(STDERR_FILENO, header, sizeof header - 1);
            for (const std::string& line : tail->lines_) (void)!write(STDERR_FILENO, line.data(), line.size());
        }
        signal(SIGABRT, SIG_DFL);
        raise(SIGABRT);
    }
    static void Sink(void* context, uint32_t, uint32_t, const char* text)
    {
        auto* self = static_cast<TraceTail*>(context);
        std::lock_guard lock(self->mutex_);
        self->digest_ = DigestWithoutPointers(self->digest_, text);
        if (self->lines_.size() == kTraceLines) self->lines_.pop_front();
        self->lines_.emplace_back(text);
    }
    std::vector<std::string> lines() const
    {
        std::lock_guard lock(mutex_);
        return {lines_.begin(), lines_.end()};
    }

    // Of every line in order: equal digests, the same interleaving.
    std::uint64_t digest() const
    {
        std::lock_guard lock(mutex_);
        return digest_;
    }

private:
    static inline TraceTail* active_ = nullptr;
    std::uint64_t digest_ = kDigestStart;
    mutable std::mutex mutex_;
    std::deque<std::string> lines_;
};

// One latch the applications wait on before their final drain, so that the
// drain does not meet a sleep or a rebalance of the control thread. A Win32
// event: a thread waiting on it is waiting inside the emulated system, and
// does not hold the self-advancing clock back as a thread running its own
// code would.
class Latch {
public:
    Latch() : event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~Latch() { CloseHandle(event_); }
    Latch(const Latch&) = delete;
    Latch& operator=(const Latch&) = delete;
    void Open() { SetEvent(event_); }
    void Wait() { WaitForSingleObject(event_, INFINITE); }

private:
    HANDLE event_;
};

struct PortState {
    int32_t device = 0;
    std::string name;                      // \\.\COMn
    std::atomic<bool> goneForGood{false};  // unplugged: answers may be lost
    // Disables done: each removed the device under the application's
    // handle, with whatever the driver and the instrument held for it.
    std::atomic<unsigned> disables{0};
};

// One application on one port: overlapped I/O on an exclusive handle, every
// outcome checked by its oracle.
class Application {
public:
    Application(const DeviceSpec& spec, PortState& port, Judge& judge, bool controlled)
        : spec_(spec),
          port_(port),
          judge_(judge),
          controlled_(controlled),
          loopback_(spec.packetSize),
          answers_(std::string(kIdentity))
    {
        event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    ~Application()
    {
        Close();
        CloseHandle(event_);
    }

    void Run(const std::vector<AppStep>& steps, Latch& controlDone, Latch& finished)
    {
        tesmo_thread_attach();
        Open();
        for (const AppStep& step : steps) {
            Perform(step);
            NoteDisables();
        }
        controlDone.Wait();
        NoteDisables();
        Drain();
        Close();
        finished.Open();
        tesmo_thread_detach();
    }

    // The companion: a second thread on this application's handle, with an
    // event of its own. It queries the status, changes the settings and sends
    // held requests it cancels, while the application reads and writes.
    void RunCompanion(const std::vector<AppStep>& steps, Latch& finished)
    {
        tesmo_thread_attach();
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        for (const AppStep& step : steps) {
            HANDLE handle = handle_.load();
            ++judge_.requests;
            if (step.op == AppOp::ClearError) {
                QueryStatus(handle, companionResults_);
            } else if (step.op == AppOp::SetState) {
                ChangeBaudRate(handle, step.a, companionResults_);
            } else {
                CancelledControl(handle, event, companionResults_);
            }
        }
        CloseHandle(event);
        finished.Open();
        tesmo_thread_detach();
    }

    // What this application's and its companion's calls returned; read once
    // both have finished.
    std::uint64_t Results() const { return Mix(results_.value(), companionResults_.value()); }

private:
    bool IsStream() const { return spec_.kind == TESMO_INSTRUMENT_STREAM; }
    bool IsLoopback() const { return spec_.kind == TESMO_INSTRUMENT_LOOPBACK; }
    bool ReadsACounter() const { return IsStream() || IsLoopback(); }

    void Open()
    {
        ++judge_.requests;
        handle_ = CreateFileA(port_.name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
        results_.Note(handle_ == INVALID_HANDLE_VALUE ? GetLastError() : 0);
        // A new handle may start anywhere later in what the instrument sent;
        // the first one has nothing before it.
        stream_.Skipped();
        if (opened_) {
            answers_.Skipped();
            purged_ = true;
        }
        opened_ = true;
    }
    void Close()
    {
        if (handle_ == INVALID_HANDLE_VALUE) return;
        ++judge_.requests;
        CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }

    // Issues one overlapped call and waits for it; returns its outcome.
    template <typename Call>
    BOOL Io(Call call, DWORD* transferred)
    {
        ++judge_.requests;
        OVERLAPPED overlapped{};
        overlapped.hEvent = event_;
        ResetEvent(event_);
        BOOL ok = call(&overlapped);
        if (!ok && GetLastError() == ERROR_IO_PENDING)
            ok = GetOverlappedResult(handle_, &overlapped, transferred, TRUE);
        results_.Note(ok ? 0 : GetLastError());
        results_.Note(*transferred);
        return ok;
    }

    // Bytes a read delivered, to the oracle of the port's instrument.
    void Delivered(const std::uint8_t* bytes, DWORD count)
    {
        results_.NoteBytes(bytes, count);
        std::string complaint = IsLoopback() ? loopback_.Delivered(bytes, count)
                                : IsStream() ? stream_.Delivered(bytes, count)
                                             : answers_.Delivered(bytes, count);
        if (!complaint.empty()) judge_.Complain(complaint);
    }

    void Read(DWORD length)
    {
        std::vector<std::uint8_t> buffer(length + 16, 0xA5);
        DWORD got = 0;
        BOOL ok = Io([&](LPOVERLAPPED o) { return ReadFile(handle_, buffer.data(), length, &got, o); }, &got);
        if (!ok) {
            if (got != 0) judge_.Complain("a failed read reported " + std::to_string(got) + " bytes");
            return;
        }
        if (got > length) judge_.Complain("a read of " + std::to_string(length) + " delivered " + std::to_string(got));
        for (std::size_t i = length; i < buffer.size(); ++i) {
            if (buffer[i] != 0xA5) {
                judge_.Complain("a read wrote past the bytes it was asked for");
                break;
            }
        }
        Delivered(buffer.data(), got);
    }

    // `asks` commands are in the bytes; each has one answer line coming.
    // True when every byte went.
    bool Write(const std::string& bytes, unsigned asks)
    {
        DWORD sent = 0;
        BOOL ok =
            Io([&](LPOVERLAPPED o) { return WriteFile(handle_, bytes.data(), DWORD(bytes.size()), &sent, o); }, &sent);
        bool whole = ok && sent == bytes.size();
        for (unsigned i = 0; i < asks; ++i) {
            if (whole) answers_.Asked();
            else answers_.MaybeAsked();
        }
        return whole;
    }

    // The counter's next byte for a looped-back port (its oracle learns
    // of the write when it is done).
    std::uint8_t NextCounterByte() const { return CounterByte(loopback_.written()); }

    // The next `count` bytes of the counter to a looped-back port.
    void WriteCounter(std::uint32_t count)
    {
        std::string bytes(count, '\0');
        for (std::uint32_t i = 0; i < count; ++i) bytes[i] = static_cast<char>(CounterByte(loopback_.written() + i));
        loopback_.Wrote(count, Write(bytes, 0));
    }

    // The application's own work, outside any call. Detached, the other
    // threads run meanwhile; under a controlled schedule the thread keeps
    // its turn instead, since its return would otherwise depend on the wall
    // clock and the interleaving on it.
    void Pause(const AppStep& step)
    {
        bool detach = step.b != 0 && !controlled_;
        if (detach) tesmo_thread_detach();
        std::this_thread::sleep_for(std::chrono::microseconds(controlled_ ? step.a % 100 : step.a));
        if (detach) tesmo_thread_attach();
    }

    void Control(DWORD code, std::vector<std::uint8_t> input, DWORD outputLength)
    {
        // An immediate character to a looped-back port comes back among the
        // written bytes: it is the counter's next byte.
        const bool counterByte = IsLoopback() && code == kImmediateChar && input.size() == 1;
        if (counterByte) input[0] = NextCounterByte();
        std::vector<std::uint8_t> output(outputLength + 16, 0x5A);
        DWORD got = 0;
        BOOL ok = Io(
            [&](LPOVERLAPPED o) {
                return DeviceIoControl(handle_, code, input.empty() ? nullptr : input.data(), DWORD(input.size()),
                                       outputLength ? output.data() : nullptr, outputLength, &got, o);
            },
            &got);
        if (ok && got > outputLength) judge_.Complain("a control request returned more than its output buffer");
        for (std::size_t i = outputLength; i < output.size(); ++i) {
            if (output[i] != 0x5A) {
                judge_.Complain("control code " + emu::HexNumber(code) + " wrote past its output buffer");
                break;
            }
        }
        // IOCTL_SERIAL_IMMEDIATE_CHAR with a fuzzed byte: the instrument may
        // take it for the start of a command.
        if (ok && code == kImmediateChar) answers_.ForeignBytesSent();
        if (counterByte) loopback_.Wrote(1, ok);
        // A purge of the receive side drops waiting bytes by design.
        if (ok && code == 0x1B004C && input.size() >= 4 && (input[0] & PURGE_RXCLEAR)) Skip();
    }

    static void CancelledControl(HANDLE handle, HANDLE event, ResultDigest& results)
    {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event;
        ResetEvent(event);
        DWORD baud = 0;
        DWORD got = 0;
        // IOCTL_SERIAL_GET_BAUD_RATE: held while the port is stopped or asleep.
        BOOL ok = DeviceIoControl(handle, 0x1B0050, nullptr, 0, &baud, sizeof baud, &got, &overlapped);
        if (!ok && GetLastError() == ERROR_IO_PENDING) {
            CancelIo(handle);
            ok = GetOverlappedResult(handle, &overlapped, &got, TRUE);
        }
        results.Note(ok ? 0 : GetLastError());
        results.Note(got);
    }

    void Skip()
    {
        stream_.Skipped();
        answers_.Skipped();
        loopback_.Purged();
        purged_ = true;
    }

    // A disable removes the device under the handle: what was written to a
    // looped-back port before the removal ended may be gone with it, as a
    // purge would drop it. Looked at after each step, so a step that ran
    // while the removal was under way is covered.
    void NoteDisables()
    {
        unsigned disables = port_.disables.load();
        if (disables == disablesSeen_) return;
        disablesSeen_ = disables;
        loopback_.Purged();
    }

    void Perform(const AppStep& step)
    {
        switch (step.op) {
        case AppOp::Read: Read(step.a); break;
        case AppOp::Ask:
            if (IsLoopback()) {
                WriteCounter(6);
            } else {
                Write("*IDN?\n", IsStream() ? 0 : 1);
            }
            break;
        case AppOp::Write:
            // Anything but whole commands would make the command instrument
            // answer with an error line: it gets several commands at once.
            if (IsLoopback()) {
                WriteCounter(step.a);
            } else if (IsStream()) {
                Write(std::string(step.a, 'w'), 0);
            } else {
                std::string commands;
                for (uint32_t i = 0; i < 1 + step.a % 3; ++i) commands += "*IDN?\n";
                Write(commands, 1 + step.a % 3);
            }
            break;
        case AppOp::SetState:
            judge_.requests += 2;
            ChangeBaudRate(handle_, step.a, results_);
            break;
        case AppOp::SetTimeouts: {
            COMMTIMEOUTS timeouts{0, step.a, step.b, 0, 0};
            ++judge_.requests;
            results_.Note(SetCommTimeouts(handle_, &timeouts));
            break;
        }
        case AppOp::ClearError:
            ++judge_.requests;
            QueryStatus(handle_, results_);
            break;
        case AppOp::Purge:
            ++judge_.requests;
            if (BOOL purged = PurgeComm(handle_, step.a); results_.Note(purged), purged && (step.a & PURGE_RXCLEAR)) {
                Skip();
            }
            break;
        case AppOp::TransmitChar:
            ++judge_.requests;
            if (IsLoopback()) {
                BOOL sent = TransmitCommChar(handle_, static_cast<char>(NextCounterByte()));
                loopback_.Wrote(1, sent);
                results_.Note(sent);
            } else {
                results_.Note(TransmitCommChar(handle_, '\n'));
            }
            break;
        case AppOp::FuzzControl: {
            std::mt19937 random(step.seed);
            std::vector<std::uint8_t> input(step.b & 0xFFFF);
            for (auto& byte : input) byte = static_cast<std::uint8_t>(random());
            Control(step.a, std::move(input), step.b >> 16);
            break;
        }
        case AppOp::CancelledControl:
            ++judge_.requests;
            CancelledControl(handle_, event_, results_);
            break;
        case AppOp::Reopen:
            Close();
            Open();
            break;
        case AppOp::Pause: Pause(step); break;
        }
    }

    // Reads what is still on its way, with short limits; then every command
    // the instrument took must have had its answer, unless bytes were dropped
    // on purpose or the instrument went away.
    void Drain()
    {
        if (handle_ == INVALID_HANDLE_VALUE) return;
        COMMTIMEOUTS quick{0, 0, 20, 0, 0};
        ++judge_.requests;
        results_.Note(SetCommTimeouts(handle_, &quick));
        for (int empty = 0, reads = 0; empty < 3 && reads < 200; ++reads) {
            std::uint8_t buffer[600];
            DWORD got = 0;
            BOOL ok = Io([&](LPOVERLAPPED o) { return ReadFile(handle_, buffer, sizeof buffer, &got, o); }, &got);
            if (!ok || got == 0) {
                ++empty;
                continue;
            }
            empty = 0;
            Delivered(buffer, got);
        }
        if (IsLoopback() && spec_.layout == TESMO_LAYOUT_STANDARD && !port_.goneForGood && !judge_.failureArmed &&
            loopback_.Owed() != 0) {
            judge_.Complain(std::to_string(loopback_.Owed()) +
                            " looped-back bytes written never came back: bytes lost");
        }
        // A port whose layout the driver cannot read from (it started, with
        // no IN pipe of its own) answers nothing.
        if (!ReadsACounter() && spec_.layout == TESMO_LAYOUT_STANDARD && !purged_ && !port_.goneForGood &&
            port_.disables == 0 && !judge_.failureArmed && answers_.outstanding() != 0) {
            judge_.Complain(std::to_string(answers_.outstanding()) + " answers never arrived: bytes lost");
        }
    }

    const DeviceSpec& spec_;
    PortState& port_;
    Judge& judge_;
    const bool controlled_;
    LoopbackOracle loopback_;
    unsigned disablesSeen_ = 0;
    // Read by the companion thread too; replaced only by this thread.
    std::atomic<HANDLE> handle_{INVALID_HANDLE_VALUE};
    HANDLE event_;
    StreamOracle stream_;
    AnswerOracle answers_;
    bool purged_ = false;
    bool opened_ = false;
    ResultDigest results_;           // the application thread's calls
    ResultDigest companionResults_;  // the companion's
};

void RunControl(const Program& program, std::vector<std::unique_ptr<PortState>>& ports, Judge& judge,
                ResultDigest& results)
{
    for (const ControlStep& step : program.control) {
        auto index = static_cast<std::size_t>(step.device);
        PortState* port = step.op != ControlOp::FailAllocation && index < ports.size() ? ports[index].get() : nullptr;
        int32_t status = 0;
        tesmo_result result = TESMO_OK;
        ++judge.requests;
        switch (step.op) {
        case ControlOp::Rebalance:
            if (port) result = tesmo_rebalance(port->device, &status);
            break;
        case ControlOp::SleepWake:
            result = tesmo_system_sleep(3, &status);
            results.Note(std::uint32_t(result) | std::uint64_t(std::uint32_t(status)) << 32);
            result = tesmo_system_wake(&status);
            break;
        case ControlOp::DisableEnable:
            if (port && (result = tesmo_disable(port->device, &status)) == TESMO_OK) {
                ++port->disables;
                result = tesmo_enable(port->device, &status);
            }
            break;
        case ControlOp::Unplug:
            if (port) {
                port->goneForGood = true;
                result = tesmo_unplug(port->device);
            }
            break;
        case ControlOp::Advance: result = tesmo_clock_advance(step.amount); break;
        case ControlOp::FailAllocation:
            result = tesmo_fail_nth(step.device, uint64_t(step.amount));
            judge.failureArmed = true;
            break;
        }
        results.Note(std::uint32_t(result) | std::uint64_t(std::uint32_t(status)) << 32);
    }
}

// What the race detector saw, when the image is instrumented.
void RecordRaceFigures(Outcome& outcome)
{
    tesmo_race_figures figures{};
    if (tesmo_race_figures_get(&figures) != TESMO_OK || !figures.instrumented_image) return;
    outcome.raceDetector = true;
    outcome.raceChecked = figures.checked;
    outcome.raceWatched = figures.watched;
    for (uint32_t i = 0; i < figures.marked_places; ++i) {
        std::string text(512, '\0');
        uint32_t length = 0;
        uint64_t reads = 0;
        if (tesmo_race_marked_place(i, text.data(), uint32_t(text.size()), &length, &reads) != TESMO_OK) continue;
        text.resize(length);
        outcome.markedPlaces.emplace_back(std::move(text), reads);
    }
}

}  // namespace

Outcome RunScenario(const Program& program, const Schedule& schedule, const std::string& capturePath)
{
    Outcome outcome;
    Judge judge;
    TraceTail trace;
    tesmo_set_trace_sink(&TraceTail::Sink, &trace);
    signal(SIGABRT, &TraceTail::DumpOnAbort);
    tesmo_boot_options options;
    tesmo_boot_options_init(&options);
    options.verifier_mode = TESMO_VERIFIER_RECORD_QUIET;
    options.watchdog_ms = 20000;
    if (schedule.controlled) {
        options.controlled_schedule = 1;
        options.schedule_seed = program.seed;
        options.schedule_depth = schedule.depth;
    }
    if (tesmo_result booted = tesmo_boot(&options); booted != TESMO_OK) {
        outcome.failed = true;
        outcome.complaints.push_back(std::string("boot failed: ") + tesmo_result_text(booted));
        return outcome;
    }
    if (!capturePath.empty() && tesmo_usb_capture(capturePath.c_str()) != TESMO_OK) {
        outcome.complaints.push_back("cannot write the USB capture " + capturePath);
    }
    // TESMO_EXPLORE_TRACE_LEVEL raises the driver's filter (5: data dumps).
    const char* level = std::getenv("TESMO_EXPLORE_TRACE_LEVEL");
    tesmo_set_debug_level(level ? static_cast<uint32_t>(std::strtoul(level, nullptr, 10)) : 4);
    tesmo_thread_attach();
    ResultDigest controlResults;

    std::vector<std::unique_ptr<PortState>> ports(program.devices.size());
    for (std::size_t d = 0; d < program.devices.size(); ++d) {
        const DeviceSpec& spec = program.devices[d];
        tesmo_instrument instrument;
        tesmo_instrument_init(&instrument, spec.kind);
        instrument.packet_size = spec.packetSize;
        instrument.frame_timing = spec.frameTiming ? 1 : 0;
        instrument.layout = spec.layout;
        instrument.identity = kIdentity;
        int32_t device = 0;
        int32_t status = 0;
        tesmo_result plugged = tesmo_plug(&instrument, &device, &status);
        controlResults.Note(std::uint32_t(plugged) | std::uint64_t(std::uint32_t(status)) << 32);
        ++judge.requests;
        if (plugged != TESMO_OK) {
            if (spec.layout == TESMO_LAYOUT_STANDARD) {
                judge.Complain(std::string("the standard instrument did not start: ") + tesmo_result_text(plugged));
            }
            continue;
        }
        auto port = std::make_unique<PortState>();
        port->device = device;
        char name[32] = {};
        uint32_t length = 0;
        tesmo_port_name(device, name, sizeof name, &length);
        port->name = std::string("\\\\.\\") + name;
        ports[d] = std::move(port);
    }

    {
        // The latches are Win32 events: closed before shutdown, which reports
        // any handle the application left open.
        Latch controlDone;
        std::vector<std::thread> applications;
        std::vector<std::unique_ptr<Application>> apps;
        std::vector<std::unique_ptr<Latch>> finished;
        for (std::size_t d = 0; d < program.devices.size(); ++d) {
            if (!ports[d]) continue;
            apps.push_back(std::make_unique<Application>(program.devices[d], *ports[d], judge, schedule.controlled));
            finished.push_back(std::make_unique<Latch>());
            Application* app = apps.back().get();
            Latch* done = finished.back().get();
            const auto& steps = program.apps[d];
            applications.emplace_back([app, &steps, &controlDone, done] { app->Run(steps, controlDone, *done); });
            // One at a time: the threads join a controlled schedule in the
            // same order every run.
            tesmo_wait_attached_threads(uint32_t(1 + applications.size()));
            if (d < program.companions.size() && !program.companions[d].empty()) {
                finished.push_back(std::make_unique<Latch>());
                Latch* companionDone = finished.back().get();
                const auto& companionSteps = program.companions[d];
                applications.emplace_back(
                    [app, &companionSteps, companionDone] { app->RunCompanion(companionSteps, *companionDone); });
                tesmo_wait_attached_threads(uint32_t(1 + applications.size()));
            }
        }
        RunControl(program, ports, judge, controlResults);
        controlDone.Open();
        // Waited for inside the emulated system first: the applications' last
        // reads need the clock, which a thread blocked in a join would hold.
        for (auto& done : finished) done->Wait();
        // The applications make their last calls after the latch; joined from
        // outside the system, so that they may still take turns.
        uint64_t points = 0;
        tesmo_schedule_points(&points);
        outcome.schedulePoints = points;
        tesmo_thread_detach();
        for (auto& thread : applications) thread.join();
        outcome.resultDigest = controlResults.value();
        for (const auto& app : apps) outcome.resultDigest = Mix(outcome.resultDigest, app->Results());
        apps.clear();
    }

    RecordRaceFigures(outcome);
    uint32_t violations = 0;
    tesmo_shutdown(&violations);
    for (uint32_t i = 0; i < violations && i < 3; ++i) {
        std::string text(1 << 16, '\0');
        uint32_t length = 0;
        if (tesmo_violation_text(i, text.data(), uint32_t(text.size()), &length) != TESMO_OK) {
            tesmo_violation_rule(i, text.data(), uint32_t(text.size()), &length);
        }
        text.resize(std::min<std::size_t>(length, 600));
        judge.Complain("verifier: " + text);
    }
    tesmo_set_trace_sink(nullptr, nullptr);
    outcome.complaints = judge.complaints();
    outcome.failed = !outcome.complaints.empty();
    outcome.requests = judge.requests;
    outcome.traceTail = trace.lines();
    outcome.traceDigest = trace.digest();
    return outcome;
}

}  // namespace tesmo::explore
