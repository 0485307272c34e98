/*
 * The control API of the emulated system: what a program (C, or Python
 * through ctypes) uses to boot the emulated system with the Tesmo driver
 * loaded, plug simulated instruments into its USB bus, move them through
 * Plug and Play and power transitions, watch the driver's trace and event
 * log, move the emulated clock, and shut everything down with the verifier's
 * report. The COM port itself is driven with the Win32 API of
 * <tesmo/windows.h>, exported by the same library (libtesmo_win32.so).
 *
 * Conventions
 *  - Plain C types only. Every function returns a tesmo_result: TESMO_OK (0)
 *    or a negative TESMO_E_* code (tesmo_result_text names it); results come
 *    back through pointer arguments, which may be NULL where a comment says so.
 *  - A caller's mistake is answered with a TESMO_E_* code and never stops
 *    the process. Each call lists the codes it gives for bad input or a
 *    device in the wrong state ("Errors:"); every call that needs a session
 *    gives TESMO_E_NOT_BOOTED without one. The process is stopped only for
 *    the system's own faults: by the verifier, in TESMO_VERIFIER_ABORT mode,
 *    for a violation of the driver's; and, in every mode, when the emulated
 *    system is hung (a wait inside it outlasts the watchdog with nothing the
 *    application does holding it up: the machine cannot go on, as a real
 *    one would stop). What the application did wrong (a handle left open at
 *    shutdown, a thread that held the self-advancing clock) is recorded and
 *    printed, never fatal.
 *  - Functions that pass a request to the emulated system (plug, rebalance,
 *    disable, enable, sleep, wake) return TESMO_E_REFUSED when the system's
 *    request failed, and store its NTSTATUS in *ntstatus (NULL: not wanted).
 *  - Text comes back NUL-terminated into the caller's buffer; when it does
 *    not fit, TESMO_E_BUFFER_TOO_SMALL and *length holds the length it needs
 *    (without the terminator).
 *  - Times are emulated time in the platform's 100-nanosecond units.
 *  - A session is one boot to one shutdown; a process may run any number of
 *    sessions, one after the other. Each boot loads a fresh driver image
 *    (fresh globals: the first device is \Device\Tesmo1 and COM3 again).
 *
 * Threads
 *  - Control calls may come from any thread, several at once. A control
 *    call blocks while the system carries the request out (a plug-in
 *    returns when the device has started or failed to), and holds no lock
 *    meanwhile: a thread may sleep the system, rebalance or unplug while
 *    others read and write the port, move the clock or ask for a device's
 *    state. Requests of the PnP and power managers still run one at a time,
 *    in the order they came. tesmo_boot and tesmo_shutdown run alone:
 *    calls that come during a shutdown get TESMO_E_NOT_BOOTED, and the
 *    shutdown waits for the calls already running to return.
 *  - Win32 calls may come from any thread while a session runs. Outside a
 *    session they fail as on a handle that is no longer valid (see
 *    <tesmo/windows.h>); tesmo_shutdown cancels the requests of Win32 calls
 *    in progress on other threads and waits until those calls have returned.
 *  - A process that exits with a session running (exit(), a return from
 *    main, an uncaught Python exception) has the session shut down by the
 *    library on its way out, as tesmo_shutdown would, with the verifier's
 *    findings printed to stderr.
 *  - The trace callback runs on the emulated thread that traced, possibly
 *    at raised IRQL and while driver locks are held: it must return quickly
 *    and must not call this library.
 *
 * Time
 *  Every time limit in the system (a read's wait for the instrument, a
 *  WaitForSingleObject time-out, the instruments' and the bus's timing) runs
 *  on the emulated clock, which moves in one of three ways
 *  (tesmo_boot_options.auto_advance_clock):
 *  - TESMO_CLOCK_WALL: with the wall clock. A limit of N ms ends after N ms
 *    of real time, whatever the application's threads do meanwhile. The
 *    clock for scripts and programs whose threads run code of their own
 *    between calls (a worker thread, a thread that sleeps or joins).
 *  - TESMO_CLOCK_SELF_ADVANCING (the default): the clock jumps to the next
 *    deadline the moment every thread of the system waits, so that a
 *    two-minute limit passes in microseconds. An application thread counts
 *    as running from its first call until it ends or calls
 *    tesmo_thread_detach, except while it waits inside a call: between two
 *    calls it runs its own code, and the clock does not jump under it. So a
 *    thread that is busy, sleeps or joins outside the library holds the
 *    clock for every thread. A wait that has outlasted the watchdog for that
 *    reason alone is not a hang: the clock moves on to the next deadline
 *    (the waiting call then ends as its time-out says, e.g. WAIT_TIMEOUT),
 *    and the application's mistake is recorded once per holding thread as a
 *    ClockHeldByApplication violation, never fatal.
 *  - TESMO_CLOCK_MANUAL: time moves only with tesmo_clock_advance*; a
 *    test moves it step by step.
 *  tesmo_clock_advance* move the clock ahead in every mode (a wall clock
 *  goes on from where it was moved to).
 */
#ifndef TESMO_CONTROL_H
#define TESMO_CONTROL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t tesmo_result;

#define TESMO_OK 0
#define TESMO_E_INVALID_ARGUMENT (-1) /* a pointer, size or value the call cannot take */
#define TESMO_E_NOT_BOOTED (-2)       /* the call needs a running session */
#define TESMO_E_ALREADY_BOOTED (-3)   /* tesmo_boot while a session runs */
#define TESMO_E_DRIVER_LOAD (-4)      /* the driver image did not load or its DriverEntry failed */
#define TESMO_E_NO_SUCH_DEVICE (-5)   /* no device of this id in this session */
#define TESMO_E_DEVICE_GONE (-6)      /* the device's record is gone (removed): no event log */
#define TESMO_E_BUFFER_TOO_SMALL (-7) /* see *length / *size for what is needed */
#define TESMO_E_REFUSED (-8)          /* the system's request failed: see *ntstatus */
#define TESMO_E_OUT_OF_RANGE (-9)     /* an index past the end of a list */
#define TESMO_E_INVALID_STATE (-10)   /* the device is not in a state the call needs */
#define TESMO_E_TIMEOUT (-11)         /* a wait ran past the watchdog (see the call) */

/* A short name for a result ("TESMO_OK", "TESMO_E_REFUSED", ...); never NULL. */
const char* tesmo_result_text(tesmo_result result);

/* ---- sessions ---- */

#define TESMO_VERIFIER_ABORT 0        /* a violation prints and aborts, as a kernel would stop */
#define TESMO_VERIFIER_RECORD 1       /* a violation prints to stderr and is recorded */
#define TESMO_VERIFIER_RECORD_QUIET 2 /* a violation is recorded only */

/* The clocks of tesmo_boot_options.auto_advance_clock. */
#define TESMO_CLOCK_MANUAL 0         /* time moves only with tesmo_clock_advance* */
#define TESMO_CLOCK_SELF_ADVANCING 1 /* jumps to the next deadline whenever every thread waits */
#define TESMO_CLOCK_WALL 2           /* follows the wall clock */

/* The limits tesmo_boot takes (each field's range is given with it).
 * A wait inside the emulated kernel that outlasts the watchdog stops the
 * process whatever the verifier mode: below a second, a read that waits
 * while its application takes a moment before it moves the clock would.
 * An hour is longer than anybody waits for a hang to be reported. */
#define TESMO_MIN_WATCHDOG_MS 1000u
#define TESMO_MAX_WATCHDOG_MS 3600000u
/* Each change point makes any one interleaving rarer, so that deep
 * schedules find nothing that shallower ones miss (the explorer goes up to
 * 20); the change points are drawn at boot, and the bound keeps a mistaken
 * depth from taking time and memory without end. */
#define TESMO_MAX_SCHEDULE_DEPTH 64u

typedef struct tesmo_boot_options {
    /* sizeof(tesmo_boot_options); or, from callers built before the schedule
     * fields, the size up to and including driver_image (the schedule fields
     * are then neither read nor checked: no controlled schedule). */
    uint32_t struct_size;
    /* How the emulated clock moves (see "Time" above): TESMO_CLOCK_MANUAL,
     * TESMO_CLOCK_SELF_ADVANCING or TESMO_CLOCK_WALL; any other value is
     * taken as TESMO_CLOCK_SELF_ADVANCING, as every non-zero value always
     * was. TESMO_CLOCK_WALL with a controlled schedule is refused. */
    int32_t auto_advance_clock;
    int32_t verifier_mode; /* TESMO_VERIFIER_* */
    /* Wall-clock milliseconds after which a blocked wait is reported as a
     * hang (a WaitWatchdog violation): TESMO_MIN_WATCHDOG_MS ..
     * TESMO_MAX_WATCHDOG_MS; 0: 60000. */
    uint32_t watchdog_ms;
    /* The driver image to load; NULL: $TESMO_DRIVER_IMAGE, else the image
     * this library was built with. Any path: one that does not load gives
     * TESMO_E_DRIVER_LOAD. */
    const char* driver_image;
    /* Any value. Non-zero: a controlled schedule. The emulated threads run
     * one at a time and may switch at each kernel call boundary, by a choice
     * drawn from schedule_seed (random priorities with schedule_depth - 1
     * change points), so that the same seed and the same calls give the same
     * interleaving. Every thread the application starts calls
     * tesmo_thread_attach first and tesmo_thread_detach after its last call;
     * the starter waits with tesmo_wait_attached_threads before it goes on.
     * The schedule ends when tesmo_shutdown begins. */
    int32_t controlled_schedule;
    /* 1..TESMO_MAX_SCHEDULE_DEPTH; 0: 3. Checked also when
     * controlled_schedule is zero. */
    uint32_t schedule_depth;
    uint64_t schedule_seed; /* any value */
} tesmo_boot_options;

/* Fills the defaults: the self-advancing clock, TESMO_VERIFIER_ABORT, 60 s
 * watchdog, the built driver image.
 * Errors: TESMO_E_INVALID_ARGUMENT for NULL. */
tesmo_result tesmo_boot_options_init(tesmo_boot_options* options);

/* Boots the emulated system (kernel, PnP and power managers, USB bus) and
 * loads the driver image. `options` may be NULL for the defaults.
 * Errors: TESMO_E_INVALID_ARGUMENT, before anything is booted, for a
 * struct_size other than the two above or a field outside its range above
 * (an unknown verifier_mode, a watchdog_ms or schedule_depth out of range);
 * TESMO_E_ALREADY_BOOTED while a session runs; TESMO_E_DRIVER_LOAD. */
tesmo_result tesmo_boot(const tesmo_boot_options* options);

/* Shuts the session down: closes handles the application left open (each is
 * reported as a HandleLeak violation), removes every device, unplugs the
 * instruments, unloads the driver and the bus, and stops the system, which
 * reports pool blocks, IRPs, registry keys and links left behind.
 * *violation_count (may be NULL) receives the number of violations of the
 * whole session; their texts stay readable with tesmo_violation_* until the
 * next boot. Win32 calls in progress on other threads are dealt with as a
 * process exit deals with them: their requests are cancelled and shutdown
 * waits until they have returned (see <tesmo/windows.h>: a held request
 * fails with ERROR_OPERATION_ABORTED, a read waiting for the instrument
 * ends as its time limit runs out, the clock running by itself meanwhile);
 * from its start on, new Win32 calls fail.
 * Errors: TESMO_E_NOT_BOOTED. */
tesmo_result tesmo_shutdown(uint32_t* violation_count);

/* Non-zero in *booted while a session runs.
 * Errors: TESMO_E_INVALID_ARGUMENT for NULL. */
tesmo_result tesmo_is_booted(int32_t* booted);

/* ---- instruments ---- */

#define TESMO_INSTRUMENT_COMMAND 1 /* answers command lines (*IDN?, MEAS?, ...) with text lines */
/* Sends a counter: each aligned group of four bytes holds its group number
 * (position / 4) as a 32-bit little-endian value. */
#define TESMO_INSTRUMENT_STREAM 2
/* A looped-back port (TX joined to RX): what is written comes back to be
 * read, in order, at the bus's pace, in packets of the configured size; each
 * write ends with a short packet. No field of its own. */
#define TESMO_INSTRUMENT_LOOPBACK 3

/* The instrument's USB layout: the standard one has interface 1 with bulk
 * OUT 0x01 and bulk IN 0x82; the others differ from it in one way each. */
#define TESMO_LAYOUT_STANDARD 0
#define TESMO_LAYOUT_WITHOUT_INTERFACE1 1
#define TESMO_LAYOUT_INTERFACE1_THREE_PIPES 2
#define TESMO_LAYOUT_IN_ENDPOINT_0X81 3
#define TESMO_LAYOUT_OUT_ENDPOINT_0X02 4
#define TESMO_LAYOUT_INTERFACE_NUMBER_GAP 5

/* The largest values tesmo_plug takes (each field's range is given with it). */
#define TESMO_MAX_IDENTITY_LENGTH 255u        /* characters, without the terminator */
#define TESMO_MAX_LATENCY 36000000000LL       /* one hour, in 100-ns units */
#define TESMO_MAX_BYTES_PER_SECOND 100000000u /* more than a high-speed bus carries */
#define TESMO_MAX_BURST_PACKETS 1024u
#define TESMO_MAX_SERIAL_NUMBER_LENGTH 126u /* characters, without the terminator */
#define TESMO_MAX_ANSWERS_LENGTH 65536u     /* characters, without the terminator */

/* How the command instrument ends its answers. */
#define TESMO_LINE_END_LF 0 /* "\n", the default */
#define TESMO_LINE_END_CRLF 1
#define TESMO_LINE_END_CR 2

typedef struct tesmo_instrument {
    uint32_t struct_size; /* sizeof(tesmo_instrument) */
    int32_t kind;         /* TESMO_INSTRUMENT_* */
    int32_t layout;       /* TESMO_LAYOUT_* */
    uint32_t packet_size; /* bulk packet size: 64 (full speed) or 512 (high speed) */
    /* Non-zero: bulk transfers complete at the next (micro)frame boundary
     * of the emulated clock instead of at once. */
    int32_t frame_timing;

    /* Command instrument. */
    /* Answer to *IDN? without its line end, at most TESMO_MAX_IDENTITY_LENGTH
     * characters; NULL: the default. */
    const char* identity;
    int64_t latency; /* from the end of a command to its answer, 100-ns units: 0..TESMO_MAX_LATENCY */

    /* Streaming source. */
    uint64_t bytes_per_second; /* 0: as fast as the host asks; else up to TESMO_MAX_BYTES_PER_SECOND */
    uint32_t burst_packets;    /* as fast as asked: packets per request, up to TESMO_MAX_BURST_PACKETS; 0: 4 */
    int32_t running;           /* non-zero: streams from plug-in; zero: waits for a START line */

    /* The instrument's USB serial number: 1..TESMO_MAX_SERIAL_NUMBER_LENGTH
     * printable ASCII characters, no blank, comma or backslash; NULL: none.
     * With one, the device's instance is its hardware ID and serial number
     * wherever it is plugged in, and the port installer gives the same
     * instance the same COM name every time (a different instrument gets a
     * name of its own); without one, the instance is the bus port, as the
     * platform names a device that has no serial number. Callers built
     * before this field pass the size up to and including `running` (and
     * so get no serial number, the LF line end and no answers of their
     * own). */
    const char* serial_number;

    /* Command instrument: how its answers end, TESMO_LINE_END_*. */
    int32_t line_end;
    /* Command instrument: answers of the user's own, one per line
     * "HEADER=ANSWER" (the header as the command begins, e.g. "VOLT?"; the
     * answer without its line end), at most TESMO_MAX_ANSWERS_LENGTH
     * characters in all; a header the instrument knows takes the new answer.
     * NULL: none. */
    const char* answers;
} tesmo_instrument;

/* Fills the defaults for `kind`: standard layout, 64-byte packets, no frame
 * timing; the command instrument answers at once with its default identity;
 * the streaming source runs from plug-in, as fast as asked.
 * Errors: TESMO_E_INVALID_ARGUMENT for NULL or an unknown kind. */
tesmo_result tesmo_instrument_init(tesmo_instrument* instrument, int32_t kind);

/* ---- devices ---- */

/* Plugs an instrument into the bus and lets the PnP manager install and
 * start the driver on it (AddDevice, the port installer's PortName, START).
 * *device receives the device's id (1, 2, ... in each session) also when the
 * start fails (TESMO_E_REFUSED); such a device is already removed again.
 * Errors: TESMO_E_INVALID_ARGUMENT (and *device untouched) for a NULL
 * instrument or device, a struct_size other than sizeof(tesmo_instrument)
 * or the older size without serial_number and what follows it,
 * an unknown kind or layout, a packet size other than 64 or 512, or a field
 * outside its range above. */
tesmo_result tesmo_plug(const tesmo_instrument* instrument, int32_t* device, int32_t* ntstatus);

/* The instrument is pulled out: transfers in flight fail, the driver gets
 * SURPRISE_REMOVAL now and REMOVE once the last handle on the port is
 * closed.
 * Errors: TESMO_E_NO_SUCH_DEVICE for an id this session did not give;
 * TESMO_E_INVALID_STATE for a device unplugged already. */
tesmo_result tesmo_unplug(int32_t device);

/* Waits until the REMOVE of an unplugged device has been sent and finished
 * (the port's last handle must be closed for it to come).
 * Errors: TESMO_E_NO_SUCH_DEVICE for an unknown id; TESMO_E_INVALID_STATE
 * for a device that was not unplugged; TESMO_E_TIMEOUT when the removal has
 * not come within the watchdog (a handle still open holds it back). */
tesmo_result tesmo_wait_removed(int32_t device);

/* The PnP sequences below go only to a device in a state that takes them,
 * as the system's PnP manager sends them; for any other the call changes
 * nothing and gives TESMO_E_INVALID_STATE (a device unplugged but still
 * held by an open handle, a disabled device for rebalance and disable, a
 * started one for enable), or TESMO_E_NO_SUCH_DEVICE for an unknown id and
 * for an unplugged device whose removal has finished (it has left the
 * system). TESMO_E_REFUSED: the driver failed the sequence, see *ntstatus. */

/* QUERY_STOP, STOP and START again (CANCEL_STOP when the query is refused),
 * on a started device. */
tesmo_result tesmo_rebalance(int32_t device, int32_t* ntstatus);
/* QUERY_REMOVE and REMOVE, on a started device; refused (TESMO_E_REFUSED,
 * STATUS_DEVICE_BUSY) while a handle is open. */
tesmo_result tesmo_disable(int32_t device, int32_t* ntstatus);
/* AddDevice and START again on a disabled device. */
tesmo_result tesmo_enable(int32_t device, int32_t* ntstatus);

/* Sleeps the system: query and set S<sleep_state> on every device with a
 * driver on it (1..4: S1, S2, S3, S4 = hibernate; 5 = S5, shut down): the
 * started ones, and the unplugged ones whose removal an open handle still
 * holds back. Sleep and wake return when every power request they caused,
 * the devices' own D-state requests included, has finished.
 * Errors: TESMO_E_INVALID_ARGUMENT for a sleep_state outside 1..5. */
tesmo_result tesmo_system_sleep(int32_t sleep_state, int32_t* ntstatus);
/* Wakes the system: set S0 on the same devices. */
tesmo_result tesmo_system_wake(int32_t* ntstatus);

#define TESMO_DEVICE_STARTED 0x1   /* started and not removed since */
#define TESMO_DEVICE_UNPLUGGED 0x2 /* pulled out (surprise-removed) */
#define TESMO_DEVICE_REMOVED 0x4   /* the driver's device is gone (disabled, failed start, or removed after unplug) */

/* TESMO_DEVICE_* bits describing where the device is.
 * Errors: TESMO_E_INVALID_ARGUMENT for NULL; TESMO_E_NO_SUCH_DEVICE. */
tesmo_result tesmo_device_state(int32_t device, uint32_t* state);

/* The COM name the port installer gave the device ("COM3").
 * Errors: TESMO_E_NO_SUCH_DEVICE; TESMO_E_INVALID_STATE for a device that
 * never got one; TESMO_E_BUFFER_TOO_SMALL (buffer may be NULL). */
tesmo_result tesmo_port_name(int32_t device, char* buffer, uint32_t size, uint32_t* length);

/* ---- the USB capture ---- */

/* Writes every URB the bus sees from now on, each submission and each
 * completion, to the file at `path` in the USBPcap format (pcap link type
 * 249), which Wireshark and tshark read: bulk transfers with their bytes,
 * descriptor requests and the configuration's selection as the control
 * transfers the host controller makes of them, pipe aborts and resets;
 * every record is stamped with the emulated time. A file already there is
 * replaced; records are written as they come, so the file can be read while
 * the session runs. NULL stops the capture; so does the shutdown, after
 * the devices' last requests.
 * Errors: TESMO_E_INVALID_ARGUMENT when the file cannot be written. */
tesmo_result tesmo_usb_capture(const char* path);

/* ---- the timeline ---- */

/* Writes a timeline of what the system does from now on to the file at
 * `path`, in the trace-event JSON that Perfetto's UI and chrome://tracing
 * open: a track per thread; each IoCallDriver as a slice from the call to
 * the dispatch routine's return, each completion routine as a slice, with
 * a flow from the call that set it; each request's life as an asynchronous
 * slice; PnP and power sequences with the device's state after them; each
 * request a driver holds in its cancel-safe queue (the queue gate) as an
 * asynchronous slice until it is taken out or cancelled, with a counter of
 * the requests held; the verifier's findings as instant events. Times are
 * the wall clock's, in microseconds from the start; the emulated time is
 * among each call's arguments. A timeline started before ends there; the
 * file is complete once the session has shut down.
 * Errors: TESMO_E_INVALID_ARGUMENT for NULL or a file that cannot be written. */
tesmo_result tesmo_timeline(const char* path);

/* ---- the event log ---- */

#define TESMO_EVENT_LOG_ENTRY_SIZE 32

/* One entry as the driver stores it (little-endian, no padding): */
typedef struct tesmo_event_log_entry {
    char tag[4];       /* four characters in reading order, e.g. "Rd> " */
    uint32_t reserved; /* never written: 0 */
    uint64_t value1;
    uint64_t value2;
    uint64_t value3; /* mostly the device state word */
} tesmo_event_log_entry;

/* Copies the device's event log while the driver's device exists: the raw
 * storage as the driver keeps it (*size bytes, TESMO_EVENT_LOG_ENTRY_SIZE per
 * entry) and its current LogIndex. The newest entry is at index
 * (LogIndex & (entries - 1)); reading upward from there, wrapping at the end,
 * goes from newer to older. Pass buffer NULL and capacity 0 to learn *size.
 * The copy is taken while the driver may be writing: the entry being
 * written at that moment may be incomplete, as for a debugger reading memory.
 * Errors: TESMO_E_INVALID_ARGUMENT for a NULL size, or a NULL buffer with a
 * capacity; TESMO_E_NO_SUCH_DEVICE; TESMO_E_DEVICE_GONE;
 * TESMO_E_BUFFER_TOO_SMALL. */
tesmo_result tesmo_event_log(int32_t device, void* buffer, uint32_t capacity, uint32_t* size, int32_t* log_index);

/* ---- tracing ---- */

/* level 2 (failures) to 6 (fine detail); component one DBG_* bit of the
 * driver (0x001 driver ... 0x400 USB); text as the driver formatted it,
 * usually ending in "\n" (hex dumps come in pieces). */
typedef void (*tesmo_trace_callback)(void* context, uint32_t level, uint32_t component, const char* text);

/* Attaches the trace sink (NULL: detaches it). May be set before boot; it
 * stays across sessions until changed. With no sink the driver formats
 * nothing. Never fails. */
tesmo_result tesmo_set_trace_sink(tesmo_trace_callback callback, void* context);

/* The driver's filter for levels 5 and above (levels 2-4 always pass):
 * DebugLevel (the highest level that passes; 5 at load) and DebugMask
 * (component bits that pass; all at load). Globals of the loaded image, so
 * they start afresh at every boot. Any value is taken.
 * Errors: TESMO_E_INVALID_ARGUMENT for a NULL level; TESMO_E_DRIVER_LOAD for
 * an image that does not export them. */
tesmo_result tesmo_set_debug_level(uint32_t level);
tesmo_result tesmo_get_debug_level(uint32_t* level);
tesmo_result tesmo_set_debug_mask(uint32_t mask);

/* ---- the verifier ---- */

/* Violations of the running session, or of the last one after shutdown.
 * Errors: TESMO_E_INVALID_ARGUMENT for NULL. */
tesmo_result tesmo_violation_count(uint32_t* count);
/* The violation's rule name ("PoolLeak", ...).
 * Errors: TESMO_E_OUT_OF_RANGE; TESMO_E_BUFFER_TOO_SMALL (buffer may be NULL). */
tesmo_result tesmo_violation_rule(uint32_t index, char* buffer, uint32_t size, uint32_t* length);
/* Its full text: rule, IRP, what happened and the stack of the call (an
 * application's mistake says so after the rule). Errors as for the rule. */
tesmo_result tesmo_violation_text(uint32_t index, char* buffer, uint32_t size, uint32_t* length);

/* ---- the emulated clock ---- */

/* Errors: TESMO_E_INVALID_ARGUMENT for NULL. */
tesmo_result tesmo_clock_now(int64_t* now);
/* Moves time forward, firing timers and ending timed waits in order.
 * Errors: TESMO_E_INVALID_ARGUMENT for a negative delta, or one that would
 * carry the clock past INT64_MAX. */
tesmo_result tesmo_clock_advance(int64_t delta);
/* Moves time to the earliest pending deadline; *advanced (may be NULL)
 * is 0 when there was none. */
tesmo_result tesmo_clock_advance_to_next_deadline(int32_t* advanced);
/* Blocks until at least `count` threads wait with a deadline (for example a
 * read waiting for the instrument under its time limit): a test that runs
 * the read on another thread waits for this before it moves time, or acts
 * on the waiting read. The self-advancing clock does not jump while this
 * waits (the caller counts as running), so the waits it sees are still
 * there when it returns.
 * Errors: TESMO_E_TIMEOUT when that many have not come within the watchdog. */
tesmo_result tesmo_clock_wait_for_timed_waiters(uint32_t count);

/* ---- fault injection ---- */

/* Where a failure can be injected into the driver's calls. */
#define TESMO_FAULT_POOL 0      /* a pool allocation returns NULL */
#define TESMO_FAULT_IRP 1       /* building an IRP returns NULL */
#define TESMO_FAULT_WORK_ITEM 2 /* allocating a work item returns NULL */

/* The `nth` call at `site` from now on fails (1: the next one; 0 disarms the
 * site). One armed failure per site at a time.
 * Errors: TESMO_E_INVALID_ARGUMENT for an unknown site. */
tesmo_result tesmo_fail_nth(int32_t site, uint64_t nth);
/* Whether the failure armed at `site` has been injected. */
tesmo_result tesmo_failure_injected(int32_t site, int32_t* injected);

/* ---- threads and the controlled schedule ---- */

/* The calling thread takes part in the running system from now on (its
 * first Win32 call would do the same); under a controlled schedule it
 * returns when the thread's turn comes. Errors: TESMO_E_NOT_BOOTED. */
tesmo_result tesmo_thread_attach(void);
/* The calling thread makes no more calls: it stops taking part, so that it
 * may end or be joined while the others run. */
tesmo_result tesmo_thread_detach(void);
/* Blocks until `count` threads (the caller included, once it made a call)
 * have attached since boot, those detached again included; a thread that
 * starts others waits for each in turn, so that they join a controlled
 * schedule in the same order every run.
 * Errors: TESMO_E_TIMEOUT after the watchdog. */
tesmo_result tesmo_wait_attached_threads(uint32_t count);
/* The scheduling points the controlled schedule has passed (0 without one). */
tesmo_result tesmo_schedule_points(uint64_t* points);

/* ---- the race detector ----
 * A driver image built with the race detector's instrumentation
 * (tesmo_driver_race.so, chosen by driver_image or TESMO_DRIVER_IMAGE)
 * reports a missing guard on its own memory as the verifier rule
 * UnguardedAccess, and, under a controlled schedule, a conflicting access
 * to an access it watched as DataRace. TESMO_RACE_WATCH=every,points in the
 * environment sets how often it watches (one access in `every`, default 64)
 * and for how many scheduling points (default 3); every = 0 turns watching
 * off. */
typedef struct tesmo_race_figures {
    int32_t instrumented_image; /* the running driver image is instrumented */
    uint64_t accesses;          /* plain accesses the instrumentation reported */
    uint64_t checked;           /* of them, to the driver's own memory */
    uint64_t atomics;           /* interlocked operations */
    uint64_t watched;           /* accesses watched under a controlled schedule */
    uint64_t findings;          /* UnguardedAccess and DataRace reports */
    uint32_t marked_places;     /* places of deliberately unguarded reads reached */
} tesmo_race_figures;

/* The running system's figures. Errors: TESMO_E_NOT_BOOTED. */
tesmo_result tesmo_race_figures_get(tesmo_race_figures* figures);
/* The `index`th place (0 .. marked_places - 1) where the driver reads a
 * location without its guard on purpose: "file:line: why" into `buffer`,
 * terminated; its length in `length`, its reads in `reads` (both optional).
 * Errors: TESMO_E_NOT_BOOTED, TESMO_E_OUT_OF_RANGE, TESMO_E_BUFFER_TOO_SMALL
 * (`length` says what it takes). */
tesmo_result tesmo_race_marked_place(uint32_t index, char* buffer, uint32_t size, uint32_t* length, uint64_t* reads);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TESMO_CONTROL_H */
