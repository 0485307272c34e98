"""Serial clients nobody here wrote, against tesmo-sim's bridges: pyserial's
POSIX backend and socat on the pseudo-terminal, pyserial's rfc2217:// client
on the Telnet server; and a scenario file that must fail. Every wait has a
deadline; nothing sleeps.

usage: serial_clients_test.py TESMO_SIM [unittest arguments]"""
import pathlib
import queue
import re
import socket
import subprocess
import sys
import threading
import unittest

import serial

TESMO_SIM = None
DEADLINE = 30  # seconds for any one thing to happen
IDENTITY = b"TESMO,Model 7,SN 000123,FW 1.5\n"
SCENARIOS = pathlib.Path(__file__).parent / "scenarios"


class Sim:
    """A tesmo-sim process with its output lines readable under a deadline."""

    def __init__(self, *args):
        self.process = subprocess.Popen([TESMO_SIM, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        text=True, bufsize=1)
        self.lines = queue.Queue()
        self.seen = []
        threading.Thread(target=self._collect, daemon=True).start()

    def _collect(self):
        for line in self.process.stdout:
            self.lines.put(line)
        self.lines.put(None)

    def expect(self, pattern):
        """The first match of `pattern` in a line from now on."""
        while True:
            line = self.lines.get(timeout=DEADLINE)
            if line is None:
                raise AssertionError(f"tesmo-sim ended without {pattern!r}; it said:\n{''.join(self.seen)}")
            self.seen.append(line)
            match = re.search(pattern, line)
            if match:
                return match

    def command(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()

    def finish(self):
        """Quits and returns the exit code after the verifier's report."""
        self.command("quit")
        self.expect(r"== done: 0 verifier violation\(s\)")
        return self.process.wait(timeout=DEADLINE)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.process.stdin.close()
        self.process.stdout.close()


class SimTestCase(unittest.TestCase):
    def start(self, *args):
        sim = Sim(*args)
        self.addCleanup(sim.kill)
        return sim


class PtyTest(SimTestCase):
    def start_pty(self, *instruments):
        sim = self.start("pty", *instruments)
        path = sim.expect(r"COM3 \(device 1\) is (/dev/pts/\d+)").group(1)
        sim.expect("^ready")
        return sim, path

    def test_pyserial_queries_and_its_settings_reach_the_port(self):
        sim, path = self.start_pty()
        with serial.Serial(path, 9600, bytesize=8, parity="N", stopbits=1, timeout=DEADLINE) as port:
            port.write(b"*IDN?\n")
            self.assertEqual(port.readline(), IDENTITY)
            # Linux's ptys refuse other character sizes and parity; the baud
            # rate and the stop bits they carry.
            port.baudrate = 19200
            port.stopbits = serial.STOPBITS_TWO
            port.write(b"MEAS?\n")
            sim.expect(r"COM3: termios 19200 8N2 -> SetCommState done; GetCommState: 19200 8N2")
            self.assertEqual(port.readline(), b"+1.000000E+00\n")
        self.assertEqual(sim.finish(), 0)

    def test_socat_exchanges_a_command_and_its_answer(self):
        sim, path = self.start_pty()
        # socat joins the pty to a shell that sends the command and reads the
        # answer line; the shell's end ends socat.
        done = subprocess.run(["socat", f"{path},raw,echo=0", "SYSTEM:echo '*IDN?'; head -n 1 >&2"],
                              capture_output=True, timeout=DEADLINE)
        self.assertEqual(done.stderr, IDENTITY)
        self.assertEqual(sim.finish(), 0)

    def test_removal_hangs_the_client_up_and_leaves_no_violation(self):
        sim, path = self.start_pty("loopback")
        with serial.Serial(path, 115200, timeout=DEADLINE) as port:
            port.write(b"echo\n")
            self.assertEqual(port.readline(), b"echo\n")
            sim.command("unplug")
            with self.assertRaises(serial.SerialException):
                port.read(1)
        sim.expect(r"COM3: the instrument was removed; /dev/pts/\d+ hung up")
        self.assertEqual(sim.finish(), 0)


class Rfc2217Test(SimTestCase):
    def test_pyserial_clients_take_turns_and_a_baud_change_reaches_the_port(self):
        sim = self.start("rfc2217", "--port", "0")
        port = sim.expect(r"rfc2217://127\.0\.0\.1:(\d+)").group(1)
        sim.expect("^ready")
        for baud in (9600, 19200):  # one client after the other
            with serial.serial_for_url(f"rfc2217://127.0.0.1:{port}", baud, timeout=DEADLINE) as client:
                sim.expect(r"COM3: client connected")
                client.write(b"*IDN?\n")
                self.assertEqual(client.readline(), IDENTITY)
                # pyserial waits for the server's answer, which is what
                # GetCommState reports, and fails when it differs.
                client.baudrate = baud * 2
                sim.expect(rf"SET-BAUDRATE {baud * 2} -> SetCommState; GetCommState: {baud * 2} 8N1")
                client.reset_input_buffer()
                sim.expect(r"PURGE-DATA 1 -> PurgeComm done")
            sim.expect(r"COM3: client left")
        self.assertEqual(sim.finish(), 0)


class ScenarioTest(unittest.TestCase):
    def test_a_late_answer_fails_the_run_at_its_line(self):
        done = subprocess.run([TESMO_SIM, "run", str(SCENARIOS / "answer-too-late.tsc")], capture_output=True,
                              text=True, timeout=DEADLINE)
        self.assertEqual(done.returncode, 1, done.stdout + done.stderr)
        self.assertIn('line 5: expect "TESMO" within 50 ms: FAILED: "TESMO" did not come within 50 ms; read: ""',
                      done.stdout)


if __name__ == "__main__":
    TESMO_SIM = sys.argv.pop(1)
    unittest.main()
