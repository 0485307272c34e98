"""How much of the high-speed bus's bulk limit (13 x 512 bytes a 125 us
microframe: 53,248,000 bytes/s) a client gets through tesmo-sim's bridges
from a streaming instrument with frame timing, measured over the wall clock
the bridges' emulated clock follows. A figure, not a test: the machine's
load moves it (run it on the release build).

usage: bridge_throughput.py TESMO_SIM [SECONDS]"""
import os
import re
import socket
import subprocess
import sys
import termios
import time

LIMIT = 53_248_000
INSTRUMENT = "stream:512:frames"


def measure(sim, args, connect, seconds):
    process = subprocess.Popen([sim, *args, INSTRUMENT], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                               bufsize=1)
    read = connect(process.stdout.readline())
    total, start = 0, time.monotonic()
    while time.monotonic() - start < seconds:
        total += len(read())
    elapsed = time.monotonic() - start
    process.stdin.write("quit\n")
    process.stdin.flush()
    process.communicate(timeout=60)
    return total / elapsed


def pty_client(line):
    fd = os.open(re.search(r"(/dev/pts/\d+)", line).group(1), os.O_RDONLY | os.O_NOCTTY)
    attributes = termios.tcgetattr(fd)
    attributes[3] = 0  # raw: no line editing, no echo
    termios.tcsetattr(fd, termios.TCSANOW, attributes)
    return lambda: os.read(fd, 1 << 20)


def telnet_client(line):
    client = socket.create_connection(("127.0.0.1", int(re.search(r":(\d+)$", line.strip()).group(1))))
    return lambda: client.recv(1 << 20)


def main():
    sim = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 3
    for name, args, connect in (("pty", ["pty"], pty_client), ("rfc2217", ["rfc2217", "--port", "0"], telnet_client)):
        rate = measure(sim, args, connect, seconds)
        print(f"{name:8} {INSTRUMENT}: {rate / 1e6:6.2f} MB/s, {100 * rate / LIMIT:5.1f} % of the bulk limit")


if __name__ == "__main__":
    main()
