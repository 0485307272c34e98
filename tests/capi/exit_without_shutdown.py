#!/usr/bin/env python3
"""A Python program that fails with an exception after plugging an
instrument, with the port open and a thread reading it, never reaches
tesmo_shutdown: the library has to shut the session down on the process's
way out. This runs such a program in a child interpreter and fails when the
child hangs (killed at a deadline), crashes, or ends other than as an
uncaught exception ends a program.

    exit_without_shutdown.py path/to/libtesmo_win32.so
"""
import subprocess
import sys

DEADLINE_SECONDS = 60

CHILD = r"""
import ctypes
import sys
import threading
from ctypes import byref, c_char_p, c_int32, c_int64, c_uint32, c_uint64, c_void_p, create_string_buffer

lib = ctypes.CDLL(sys.argv[1])


class Instrument(ctypes.Structure):  # tesmo_instrument
    _fields_ = [("struct_size", c_uint32), ("kind", c_int32), ("layout", c_int32), ("packet_size", c_uint32),
                ("frame_timing", c_int32), ("identity", c_char_p), ("latency", c_int64),
                ("bytes_per_second", c_uint64), ("burst_packets", c_uint32), ("running", c_int32),
                ("serial_number", c_char_p), ("line_end", c_int32), ("answers", c_char_p)]


lib.CreateFileA.restype = c_void_p
lib.CreateFileA.argtypes = [c_char_p, c_uint32, c_uint32, c_void_p, c_uint32, c_uint32, c_void_p]
lib.ReadFile.argtypes = [c_void_p, c_void_p, c_uint32, c_void_p, c_void_p]

assert lib.tesmo_boot(None) == 0
instrument, device = Instrument(), c_int32()
assert lib.tesmo_instrument_init(byref(instrument), 1) == 0
assert instrument.struct_size == ctypes.sizeof(Instrument), "Instrument's fields are not tesmo_instrument's"
assert lib.tesmo_plug(byref(instrument), byref(device), None) == 0
port = lib.CreateFileA(b"\\\\.\\COM3", 0xC0000000, 0, None, 3, 0, None)


def read_until_failure():
    buffer, got = create_string_buffer(16), c_uint32()
    while lib.ReadFile(port, buffer, 16, byref(got), None):
        pass


threading.Thread(target=read_until_failure, daemon=True).start()
assert lib.tesmo_clock_wait_for_timed_waiters(1) == 0
raise RuntimeError("the script fails with the session running")
"""


def main():
    try:
        child = subprocess.run([sys.executable, "-c", CHILD, sys.argv[1]], capture_output=True, text=True,
                               timeout=DEADLINE_SECONDS)
    except subprocess.TimeoutExpired:
        print(f"the child did not exit within {DEADLINE_SECONDS} s (killed)")
        return 1
    print(child.stderr)
    ended_by_the_exception = child.returncode == 1 and "RuntimeError: the script fails" in child.stderr
    shut_down = "shutting it down" in child.stderr
    if not (ended_by_the_exception and shut_down):
        print(f"the child ended with {child.returncode}; the library shut the session down: {shut_down}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
