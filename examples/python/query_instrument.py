#!/usr/bin/env python3
"""Drives the instrument on COM3 from Python through the C ABI library
(libtesmo_win32.so): boots the emulated system, plugs in the command/answer
instrument, opens COM3 with the Win32 API, sets 9600 8N1, asks *IDN? and
MEAS?, and shuts down. Exits non-zero when anything fails or the verifier
found something.

    query_instrument.py [path/to/libtesmo_win32.so]
"""
import ctypes
import sys
from ctypes import (POINTER, Structure, byref, c_char_p, c_int32, c_int64, c_uint8, c_uint16, c_uint32,
                    c_uint64, c_void_p, create_string_buffer)

lib = ctypes.CDLL(sys.argv[1] if len(sys.argv) > 1 else "libtesmo_win32.so")


class BootOptions(Structure):  # tesmo_boot_options
    _fields_ = [("struct_size", c_uint32), ("auto_advance_clock", c_int32), ("verifier_mode", c_int32),
                ("watchdog_ms", c_uint32), ("driver_image", c_char_p), ("controlled_schedule", c_int32),
                ("schedule_depth", c_uint32), ("schedule_seed", c_uint64)]


class Instrument(Structure):  # tesmo_instrument
    _fields_ = [("struct_size", c_uint32), ("kind", c_int32), ("layout", c_int32), ("packet_size", c_uint32),
                ("frame_timing", c_int32), ("identity", c_char_p), ("latency", c_int64),
                ("bytes_per_second", c_uint64), ("burst_packets", c_uint32), ("running", c_int32),
                ("serial_number", c_char_p), ("line_end", c_int32), ("answers", c_char_p)]


class Dcb(Structure):  # DCB, x64 layout; the flag bits kept as one word
    _fields_ = [("DCBlength", c_uint32), ("BaudRate", c_uint32), ("flags", c_uint32), ("wReserved", c_uint16),
                ("XonLim", c_uint16), ("XoffLim", c_uint16), ("ByteSize", c_uint8), ("Parity", c_uint8),
                ("StopBits", c_uint8), ("XonChar", c_uint8), ("XoffChar", c_uint8), ("ErrorChar", c_uint8),
                ("EofChar", c_uint8), ("EvtChar", c_uint8), ("wReserved1", c_uint16)]


class CommTimeouts(Structure):
    _fields_ = [(name, c_uint32) for name in ("ReadIntervalTimeout", "ReadTotalTimeoutMultiplier",
                                              "ReadTotalTimeoutConstant", "WriteTotalTimeoutMultiplier",
                                              "WriteTotalTimeoutConstant")]


TESMO_INSTRUMENT_COMMAND = 1
TESMO_CLOCK_WALL = 2
GENERIC_READ_WRITE = 0x80000000 | 0x40000000
OPEN_EXISTING = 3
INVALID_HANDLE_VALUE = c_void_p(-1).value

lib.tesmo_result_text.restype = c_char_p
lib.CreateFileA.restype = c_void_p
lib.CreateFileA.argtypes = [c_char_p, c_uint32, c_uint32, c_void_p, c_uint32, c_uint32, c_void_p]
for name in ("ReadFile", "WriteFile"):
    getattr(lib, name).argtypes = [c_void_p, c_void_p, c_uint32, POINTER(c_uint32), c_void_p]
for name in ("GetCommState", "SetCommState", "SetCommTimeouts", "CloseHandle"):
    getattr(lib, name).argtypes = [c_void_p] + ([c_void_p] if name != "CloseHandle" else [])


def check(result, what):
    if result != 0:
        raise RuntimeError(f"{what}: {lib.tesmo_result_text(result).decode()}")


def win32(ok, what):
    if not ok:
        raise RuntimeError(f"{what} failed with error {lib.GetLastError()}")


def command(port, text):
    written = c_uint32()
    win32(lib.WriteFile(port, text, len(text), byref(written), None), "WriteFile")
    answer = b""
    while not answer.endswith(b"\n"):
        chunk, got = create_string_buffer(256), c_uint32()
        win32(lib.ReadFile(port, chunk, 256, byref(got), None), "ReadFile")
        if got.value == 0:
            break
        answer += chunk.raw[:got.value]
    print(f"{text!r} -> {answer!r}")
    return answer


def main():
    # The wall clock: a script's time limits pass in real time, whatever its
    # threads (Python's own, a worker, a sleep) do between calls.
    options = BootOptions()
    check(lib.tesmo_boot_options_init(byref(options)), "tesmo_boot_options_init")
    options.auto_advance_clock = TESMO_CLOCK_WALL
    check(lib.tesmo_boot(byref(options)), "tesmo_boot")
    try:
        instrument = Instrument()
        check(lib.tesmo_instrument_init(byref(instrument), TESMO_INSTRUMENT_COMMAND), "tesmo_instrument_init")
        device, status = c_int32(), c_int32()
        check(lib.tesmo_plug(byref(instrument), byref(device), byref(status)), "tesmo_plug")

        port = lib.CreateFileA(b"\\\\.\\COM3", GENERIC_READ_WRITE, 0, None, OPEN_EXISTING, 0, None)
        win32(port != INVALID_HANDLE_VALUE, "CreateFileA")
        dcb = Dcb(DCBlength=ctypes.sizeof(Dcb))
        win32(lib.GetCommState(port, byref(dcb)), "GetCommState")
        dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits = 9600, 8, 0, 0
        win32(lib.SetCommState(port, byref(dcb)), "SetCommState")
        win32(lib.SetCommTimeouts(port, byref(CommTimeouts(0, 0, 1000, 0, 0))), "SetCommTimeouts")
        identity = command(port, b"*IDN?\n")
        measurement = command(port, b"MEAS?\n")
        win32(lib.CloseHandle(port), "CloseHandle")
    finally:
        violations = c_uint32()
        check(lib.tesmo_shutdown(byref(violations)), "tesmo_shutdown")
    print(f"{violations.value} verifier violation(s)")
    ok = identity.startswith(b"TESMO,") and measurement.endswith(b"E+00\n") and violations.value == 0
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
