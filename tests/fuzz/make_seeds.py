#!/usr/bin/env python3
"""Writes the hand-made seed inputs of the fuzz targets into corpus/<target>/.

FuzzedDataProvider takes byte strings from the front of an input and
numbers from its back, each number in as few bytes as its range needs (the
first byte taken is the most significant). Seed records both in the order
the target consumes them, so that each seed below reads as what the target
does with it. Run again after a target changes how it reads its input.
"""
import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent


class Seed:
    def __init__(self):
        self.front = bytearray()
        self.back = bytearray()

    def number(self, value, lowest=0, highest=255):
        value -= lowest
        span = highest - lowest
        size = max(1, (span.bit_length() + 7) // 8)
        self.back += value.to_bytes(size, "big")
        return self

    def flag(self, value):
        return self.number(1 if value else 0)

    def text(self, data):
        self.front += data.encode() if isinstance(data, str) else bytes(data)
        return self

    def bytes(self):
        return bytes(self.front) + bytes(reversed(self.back))


# ---- fuzz_ioctl: a state, then I/O controls ----
SERIAL = {
    "SET_BAUD_RATE": 1, "SET_LINE_CONTROL": 3, "SET_TIMEOUTS": 7, "GET_TIMEOUTS": 8, "GET_WAIT_MASK": 16,
    "SET_WAIT_MASK": 17, "PURGE": 19, "GET_BAUD_RATE": 20, "GET_HANDFLOW": 24, "SET_HANDFLOW": 25,
    "GET_MODEMSTATUS": 26, "GET_COMMSTATUS": 27, "GET_PROPERTIES": 29, "SET_CHARS": 23,
}
OWN = {"READ_DEVICE_DESCRIPTOR": 0, "READ_CONFIG_DESCRIPTOR": 1, "RESET_PARENT_PORT": 2, "RESET_PIPE": 3}
STATES = ["idle", "bytes-waiting", "asleep", "stop-pending", "remove-pending", "surprise-removed-open", "reenabled"]


def length(seed, count):
    if count <= 72:
        seed.number(1, 0, 15).number(count, 0, 72)
    else:
        seed.number(0, 0, 15).number(count, 0, 4096)


def control(seed, name, data=b"", out=0):
    if name in SERIAL:
        seed.number(2, 0, 15).number(SERIAL[name], 1, 41)
    elif name in OWN:
        seed.number(1, 0, 15).number(OWN[name], 0, 3)
    else:
        seed.number(0, 0, 15)
        seed.back += struct.pack(">I", name)
    length(seed, len(data))
    length(seed, out)
    seed.text(data)


HOLDING = ("asleep", "stop-pending", "remove-pending")


def ioctl_seed(state, *controls, packet=b"", sleep=4, handle=False):
    """handle: the controls go through a handle (not in a state that holds requests)."""
    seed = Seed().number(STATES.index(state), 0, 6)
    if state == "bytes-waiting":
        seed.number(len(packet), 1, 64).text(packet)
    if state == "asleep":
        seed.number(sleep, 2, 5)
    for args in controls:
        control(seed, *args)
        if state not in HOLDING:
            seed.number(0 if handle else 1, 0, 3)
    return seed.bytes()


u32 = lambda *values: struct.pack("<" + "I" * len(values), *values)

IOCTL_SEEDS = {
    "idle-timeouts-and-properties": ioctl_seed(
        "idle", ("SET_TIMEOUTS", u32(10, 1, 100, 0, 0)), ("GET_TIMEOUTS", b"", 20), ("GET_PROPERTIES", b"", 64)),
    "bytes-waiting-status-purge": ioctl_seed(
        "bytes-waiting", ("GET_COMMSTATUS", b"", 20), ("PURGE", u32(0x0F)), ("GET_COMMSTATUS", b"", 20),
        packet=b"+1.2500E+01\n"),
    "asleep-baud-rate": ioctl_seed("asleep", ("SET_BAUD_RATE", u32(115200)), ("GET_BAUD_RATE", b"", 4)),
    "stop-pending-wait-mask": ioctl_seed("stop-pending", ("SET_WAIT_MASK", u32(0x1FF)), ("GET_WAIT_MASK", b"", 4)),
    "remove-pending-descriptors": ioctl_seed(
        "remove-pending", ("READ_DEVICE_DESCRIPTOR", b"", 18), ("READ_CONFIG_DESCRIPTOR", b"", 64)),
    "surprise-removed-modem-and-port": ioctl_seed(
        "surprise-removed-open", ("GET_MODEMSTATUS", b"", 4), ("RESET_PARENT_PORT",), ("RESET_PIPE",)),
    "reenabled-handflow": ioctl_seed(
        "reenabled", ("SET_HANDFLOW", u32(1, 0x40, 8, 8)), ("GET_HANDFLOW", b"", 16), ("SET_CHARS", bytes(6))),
    "idle-through-the-handle": ioctl_seed(
        "idle", ("RESET_PIPE",), ("GET_PROPERTIES", b"", 64), ("READ_CONFIG_DESCRIPTOR", b"", 40), handle=True),
    "idle-unknown-code-large-buffers": ioctl_seed("idle", (0x002D0C10, bytes(100), 300), ("GET_PROPERTIES", b"", 4000)),
}

# ---- fuzz_device: descriptors and bus faults, then steps ----
STEPS = ["packet", "fail-in", "silence", "release", "expect-out", "delay", "read", "write", "timeouts", "control",
         "advance", "sleep", "rebalance", "reenable", "settle", "unplug", "fail-allocation"]
LAYOUTS = ["without-interface-1", "three-pipes", "in-at-0x81", "out-at-0x02", "interface-gap", "standard"]
STALL = 0


ADDRESSES = [0x01, 0x82, 0x81, 0x02, 0x83, 0x84, 0x00, 0x80]
PACKET_SIZES = [0, 8, 16, 32, 64, 512, 1023, 1024]
BULK, INTERRUPT = 2, 3


def device(layout="standard", high_speed=False, frames=False, faults=(), failing=None):
    """layout: a named one, or interfaces [(number, alternate, [(address, type, packet size)])]."""
    seed = Seed().flag(high_speed)
    if isinstance(layout, str):
        seed.number(LAYOUTS.index(layout), 0, 7)
    else:
        seed.number(6, 0, 7).flag(False).number(len(layout), 0, 4)
        for number, alternate, endpoints in layout:
            seed.number(number, 0, 3).number(alternate, 0, 1).number(len(endpoints), 0, 4)
            for address, kind, size in endpoints:
                seed.flag(True).number(ADDRESSES.index(address), 0, 7)
                if kind == BULK:
                    seed.flag(True)
                else:
                    seed.flag(False).number(kind, 0, 3)
                seed.flag(True).number(PACKET_SIZES.index(size), 0, 7).number(0)
    seed.number(0, 0, 3).number(1, 0, 7).number(1, 0, 7)  # no edits, no cut, device descriptor as built
    seed.flag(frames).flag(True).number(1, 0, 7).flag(False).number(1, 0, 3)
    seed.number(len(faults), 0, 2)
    for function, status, occurrence in faults:
        seed.number(function, 0, 4).number(status, 0, 7).flag(True).number(occurrence, 0, 3)
    seed.number(1, 0, 7).number(1, 0, 7)  # the configuration answers the same; the port as plugged
    if failing is None:
        seed.number(1, 0, 3)
    else:
        seed.number(0, 0, 3).number(failing[0], 0, 2).number(failing[1], 1, 60)
    seed.number(0, 0, 3)  # nothing scripted before the start
    return seed


def step(seed, name, *args, packet_size=64):
    seed.number(STEPS.index(name), 0, 16)
    if name == "packet":
        seed.number(len(args[0]), 0, packet_size).text(args[0])
    elif name == "fail-in":
        seed.number(args[0], 0, 7)
    elif name == "expect-out":
        seed.flag(True)
    elif name in ("delay", "advance"):
        seed.number(args[0], 0, 2000 if name == "delay" else 3000)
    elif name == "read":
        seed.number(args[0], 0, 1100)
    elif name == "write":
        seed.number(len(args[0]), 0, 1100).text(args[0])
    elif name == "timeouts":
        interval, multiplier, constant = args
        seed.number(interval, 0, 50).number(multiplier, 0, 5).number(constant, 0, 500).number(0, 0, 5).number(0, 0, 500)
    elif name == "sleep":
        seed.number(args[0], 2, 5).flag(args[1] if len(args) > 1 else False)
    elif name == "unplug":
        seed.flag(args[0])
    elif name == "control":
        control(seed, *args)
    elif name == "fail-allocation":
        seed.number(args[0], 0, 2).number(args[1], 1, 60)
    return seed


def steps(seed, *sequence, packet_size=64):
    for entry in sequence:
        step(seed, *entry, packet_size=packet_size)
    return seed.bytes()


def instrument(in_size, out_size=64):
    return [(0, 0, [(0x83, INTERRUPT, 8)]), (1, 0, [(0x01, BULK, out_size), (0x82, BULK, in_size)])]


DEVICE_SEEDS = {
    "bulk-in-of-no-bytes": steps(device(instrument(0)), ("timeouts", 0, 0, 50), ("read", 10), ("write", b"x"),
                                 ("settle",)),
    "bulk-in-of-8-bytes": steps(device(instrument(8)), ("timeouts", 0, 0, 50), ("packet", b"12345678"),
                                ("packet", b"9"), ("read", 100), ("settle",), packet_size=8),
    "bulk-out-of-no-bytes": steps(device(instrument(64, 0)), ("write", b"*IDN?\n"), ("settle",)),
    "full-speed-bulk-of-1023": steps(device(instrument(1023, 1023)), ("packet", bytes(1023)), ("read", 1100),
                                     ("write", bytes(1100)), ("settle",), packet_size=1023),
    "query-and-answer": steps(device(), ("timeouts", 0, 0, 200), ("write", b"*IDN?\n"), ("expect-out",),
                              ("packet", b"TESMO,TM-7,0001,1.50\n"), ("read", 64), ("settle",)),
    "stall-then-data": steps(device(), ("timeouts", 0, 0, 100), ("fail-in", STALL), ("read", 10),
                             ("packet", b"ok\n"), ("read", 10), ("settle",)),
    "empty-full-short-packets": steps(device(), ("timeouts", 5, 0, 300), ("packet", b""), ("packet", bytes(range(64))),
                                      ("packet", b"abc"), ("read", 100), ("settle",)),
    "silent-read-across-sleep": steps(device(), ("silence",), ("read", 8), ("sleep", 4, True), ("release",),
                                      ("packet", b"late\n"), ("settle",)),
    "unplug-under-read-with-handle": steps(device(), ("silence",), ("read", 8), ("write", b"MEAS?\n"),
                                           ("unplug", True)),
    "high-speed-rebalance-reenable": steps(device(high_speed=True, frames=True), ("packet", bytes(512)),
                                           ("read", 1000), ("rebalance",), ("reenable",), ("read", 1),
                                           packet_size=512),
    "refused-layout": steps(device("without-interface-1")),
    "select-configuration-fails": steps(device(faults=[(0, STALL, 1)]), ("read", 1)),
    "start-without-its-third-pool-block": steps(device(failing=(0, 3)), ("read", 1)),
    "read-without-an-irp": steps(device(), ("packet", b"data"), ("fail-allocation", 1, 1), ("read", 10), ("settle",)),
    "bulk-fails-once": steps(device(faults=[(2, 3, 1)]), ("timeouts", 0, 0, 50), ("packet", b"x"), ("read", 4),
                             ("control", "GET_COMMSTATUS", b"", 20), ("settle",)),
}


# ---- fuzz_program: the explorer's programs ----
APP_OPS = ["read", "ask", "write", "set-state", "set-timeouts", "clear-error", "purge", "transmit-char",
           "fuzz-control", "cancelled-control", "reopen", "pause"]
CONTROL_OPS = ["rebalance", "sleep-wake", "disable-enable", "unplug", "advance", "fail-allocation"]
KINDS = {"command": 1, "stream": 2, "loopback": 3}


def program(devices, steps, seed=1, depth=3):
    """devices: (kind, packet size); steps: (device, "app"|"companion"|"control", op, args...)."""
    out = Seed().number(depth, 1, 5).number(seed, 0, 2**64 - 1).number(len(devices), 1, 2)
    for kind, size in devices:
        out.number(KINDS[kind], 1, 3).flag(size == 512).number(1, 0, 7).number(1, 0, 3)
    highest = len(devices) - 1
    for device, thread, op, *args in steps:
        if highest:
            out.number(device, 0, highest)
        if thread == "control":
            out.number(0, 0, 7).number(CONTROL_OPS.index(op), 0, 5)
            if op == "fail-allocation":
                out.number(args[0], 0, 2).number(args[1], 1, 60)
            else:
                out.number(args[0] if args else 0, 0, 2_999_999)
        elif thread == "companion":
            out.number(1, 0, 7).number(["clear-error", "set-state", "cancelled-control"].index(op), 0, 2)
            out.number(args[0] if args else 0, 0, 3)
        else:
            out.number(2, 0, 7).number(APP_OPS.index(op), 0, 11)
            size = devices[device][1]
            if op == "read":
                out.number(args[0], 0, 4 * size)
            elif op == "write":
                out.number(args[0], 1, 700)
            elif op == "set-state":
                out.number(args[0], 0, 3)
            elif op == "set-timeouts":
                out.number(args[0], 0, 2).number(args[1], 0, 59)
            elif op == "purge":
                out.number(args[0], 1, 15)
    return out.bytes()


PROGRAM_SEEDS = {
    "command-ask-and-read": program([("command", 64)], [
        (0, "app", "set-timeouts", 0, 50), (0, "app", "ask"), (0, "app", "read", 64), (0, "app", "read", 64),
        (0, "app", "clear-error")]),
    "stream-purge-across-sleep": program([("stream", 512)], [
        (0, "app", "read", 2048), (0, "control", "sleep-wake"), (0, "app", "purge", 3), (0, "app", "read", 100)]),
    "loopback-with-companion-rebalance": program([("loopback", 64)], [
        (0, "app", "write", 100), (0, "companion", "clear-error"), (0, "app", "read", 100),
        (0, "companion", "cancelled-control"), (0, "control", "rebalance"), (0, "app", "read", 100)], seed=7),
    "two-ports-unplug-and-failed-allocation": program([("command", 64), ("stream", 64)], [
        (0, "app", "ask"), (1, "app", "read", 200), (1, "control", "unplug"), (0, "control", "fail-allocation", 0, 5),
        (0, "app", "reopen"), (0, "app", "ask"), (0, "app", "read", 64)], seed=42, depth=4),
}


def main():
    for target, seeds in (("fuzz_ioctl", IOCTL_SEEDS), ("fuzz_device", DEVICE_SEEDS), ("fuzz_program", PROGRAM_SEEDS)):
        folder = HERE / "corpus" / target
        folder.mkdir(parents=True, exist_ok=True)
        for name, data in seeds.items():
            (folder / name).write_bytes(data)


if __name__ == "__main__":
    main()
