"""Serial clients nobody here wrote, against tesmo-sim's bridges: pyserial's
POSIX backend and socat on the pseudo-terminal, pyserial's rfc2217:// client
on the Telnet server (and a bare socket where pyserial offers no call); a
terminal session driven through a pipe; and a scenario file that must fail.
Every wait has a deadline; nothing sleeps.

usage: serial_clients_test.py TESMO_SIM [unittest arguments]"""
import os
import grp
import pathlib
import pty
import queue
import re
import select
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import unittest

import serial

sys.path.insert(0, str(pathlib.Path(__file__).parent))
import timeline_check  # noqa: E402
import usb_capture_check  # noqa: E402

TESMO_SIM = None
DEADLINE = 30  # seconds for any one thing to happen
IDENTITY = b"TESMO,Model 7,SN 000123,FW 1.5\n"
SCENARIOS = pathlib.Path(__file__).parent / "scenarios"
# Telnet: IAC SB COM-PORT-OPTION ... IAC SE
SET_LINESTATE_MASK_DATA_READY = bytes([255, 250, 44, 10, 1, 255, 240])
MASK_ACKNOWLEDGED = bytes([255, 250, 44, 110, 1, 255, 240])
NOTIFY_DATA_READY = bytes([255, 250, 44, 106, 1, 255, 240])


class Sim:
    """A tesmo-sim process with its output lines readable under a deadline."""

    def __init__(self, *args, stdin=subprocess.PIPE):
        self.process = subprocess.Popen([TESMO_SIM, *args], stdin=stdin, stdout=subprocess.PIPE,
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

    def finish(self, quit="quit"):
        """Quits and returns the exit code after the verifier's report."""
        self.command(quit)
        self.expect(r"== done: 0 verifier violation\(s\)")
        return self.process.wait(timeout=DEADLINE)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        if self.process.stdin:
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

    def test_an_instrument_of_your_own_answers_with_crlf(self):
        with tempfile.NamedTemporaryFile("w", suffix=".txt") as answers:
            answers.write("# my meter\nVOLT? => +12.50\n")
            answers.flush()
            sim, path = self.start_pty(f"command:eol=crlf:answers={answers.name}")
            done = subprocess.run(["socat", f"{path},raw,echo=0", "SYSTEM:echo 'VOLT?'; head -n 1 >&2"],
                                  capture_output=True, timeout=DEADLINE)
        self.assertEqual(done.stderr, b"+12.50\r\n")
        self.assertEqual(sim.finish(), 0)

    def test_x_shows_each_transfer_time_stamped_in_hex_and_text(self):
        sim, path = self.start_pty("-x")
        with serial.Serial(path, 9600, timeout=DEADLINE) as port:
            self.assertEqual(ask_line(port), IDENTITY)
        sim.expect(r"^> \[ *\d+\.\d{6} s\] 6 bytes to COM3$")
        sim.expect(r"^ 2a 49 44 4e 3f 0a {32}\*IDN\?\.$")
        sim.expect(r"^< \[ *\d+\.\d{6} s\] 31 bytes from COM3$")
        sim.expect(r"^ 54 45 53 4d 4f 2c 4d 6f 64 65 6c 20 37 2c 53 4e  TESMO,Model 7,SN$")
        self.assertEqual(sim.finish(), 0)

    def test_pace_gives_the_answer_at_the_line_speed_a_client_times_out_on(self):
        sim, path = self.start_pty("--pace")
        # 300 8N1: 30 characters a second, so the 31-byte answer takes
        # about a second, and a read with a shorter time-out gets part of it.
        with serial.Serial(path, 300, timeout=0.3) as port:
            port.write(b"*IDN?\n")
            sim.expect(r"COM3: termios 300 8N1 -> SetCommState done")
            first = port.read(len(IDENTITY))
            self.assertLess(len(first), len(IDENTITY))
            port.timeout = DEADLINE
            rest = port.read(len(IDENTITY) - len(first))
        self.assertEqual(first + rest, IDENTITY)
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

    def test_the_link_leads_to_a_working_pty_again_after_a_replug(self):
        directory = tempfile.TemporaryDirectory()
        self.addCleanup(directory.cleanup)
        link = pathlib.Path(directory.name) / "tesmo-com"
        sim = self.start("pty", "--link", str(link), "loopback")
        sim.expect(r"\(device 1\) is /dev/pts/\d+, linked from")
        sim.command("unplug")
        sim.expect(r"the instrument was removed; /dev/pts/\d+ hung up")
        sim.command("replug")
        second = sim.expect(r"^COM3 \(device 2\) is (/dev/pts/\d+), linked from").group(1)
        self.assertEqual(os.path.realpath(link), second)
        with serial.Serial(str(link), 115200, timeout=DEADLINE) as port:
            port.write(b"after the replug\n")
            self.assertEqual(port.readline(), b"after the replug\n")
        self.assertEqual(sim.finish(), 0)
        self.assertFalse(os.path.lexists(link), f"{link} outlived the session")


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


    def test_waiting_data_is_announced_with_notify_linestate(self):
        sim = self.start("rfc2217", "--port", "0")
        port = int(sim.expect(r"rfc2217://127\.0\.0\.1:(\d+)").group(1))
        with socket.create_connection(("127.0.0.1", port), timeout=DEADLINE) as client:
            client.sendall(SET_LINESTATE_MASK_DATA_READY + b"*IDN?\n")
            received = b""
            while IDENTITY not in received.replace(NOTIFY_DATA_READY, b""):
                chunk = client.recv(4096)
                self.assertTrue(chunk, f"the server hung up; it sent {received!r}")
                received += chunk
            self.assertIn(MASK_ACKNOWLEDGED, received)
            self.assertIn(NOTIFY_DATA_READY, received)
            self.assertLess(received.index(NOTIFY_DATA_READY), received.index(IDENTITY[:5]), received)
        sim.expect(r"COM3: client left")
        self.assertEqual(sim.finish(), 0)


def telnet_data(received):
    """The data bytes of what a COM-port-control server sent: its Telnet
    commands (IAC verb option, IAC SB ... IAC SE) left out, IAC IAC as one."""
    data, i = bytearray(), 0
    while i < len(received):
        if received[i] != 255:
            data.append(received[i])
            i += 1
        elif received[i + 1:i + 2] == b"\xff":
            data.append(255)
            i += 2
        elif received[i + 1:i + 2] == b"\xfa":
            i = received.index(b"\xff\xf0", i) + 2
        else:
            i += 3
    return bytes(data)


def receive_until(client, wanted):
    """The server's data from `client` until `wanted` is in it."""
    received = b""
    while wanted not in telnet_data(received):
        chunk = client.recv(4096)
        if not chunk:
            raise AssertionError(f"the server hung up before {wanted!r}; it sent {received!r}")
        received += chunk
    return telnet_data(received)


def receive_all(client):
    received = b""
    while chunk := client.recv(4096):
        received += chunk
    return received


class Rfc2217ClientsTest(SimTestCase):
    """Clients as they come on the first day: ones that leave before their
    answer, a second one while the port is served, nc with its input closed,
    a plain Telnet client's line ends, and modem lines."""

    def start_server(self, instrument="command"):
        sim = self.start("rfc2217", "--port", "0", instrument)
        port = int(sim.expect(r"rfc2217://127\.0\.0\.1:(\d+)").group(1))
        sim.expect("^ready")
        return sim, port

    def assert_served(self, sim, port):
        """A pyserial client after the others still gets its answer."""
        with serial.serial_for_url(f"rfc2217://127.0.0.1:{port}", 9600, timeout=DEADLINE) as client:
            sim.expect(r"COM3: client connected")
            client.write(b"*IDN?\n")
            self.assertEqual(client.readline(), IDENTITY)
        sim.expect(r"COM3: client left")

    def test_a_client_that_goes_before_its_answers_ends_only_itself(self):
        sim, port = self.start_server("command:latency=200")
        endings = {"closed": lambda s: s.close(),
                   "reset": lambda s: (s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0)),
                                       s.close())}
        for name, end in endings.items():
            with self.subTest(ending=name):
                client = socket.create_connection(("127.0.0.1", port), timeout=DEADLINE)
                sim.expect(r"COM3: client connected")
                client.sendall(b"*IDN?\nMEAS?\n*IDN?\n")
                end(client)
                sim.expect(r"COM3: client (left|gone)")
                self.assert_served(sim, port)
        self.assertEqual(sim.finish(), 0)

    def test_a_second_client_is_refused_at_once_and_the_first_is_still_served(self):
        sim, port = self.start_server()
        with serial.serial_for_url(f"rfc2217://127.0.0.1:{port}", 9600, timeout=DEADLINE) as first:
            sim.expect(r"COM3: client connected")
            with socket.create_connection(("127.0.0.1", port), timeout=DEADLINE) as second:
                self.assertIn(b"COM3 is in use by another client", receive_all(second))
            sim.expect(r"COM3: a second client refused")
            # One that leaves without reading the refusal.
            socket.create_connection(("127.0.0.1", port), timeout=DEADLINE).close()
            sim.expect(r"COM3: a second client refused")
            with self.assertRaises((serial.SerialException, OSError)):  # broken pipe, as the server hangs up
                serial.serial_for_url(f"rfc2217://127.0.0.1:{port}", 9600, timeout=DEADLINE)
            first.write(b"*IDN?\n")
            self.assertEqual(first.readline(), IDENTITY)
        sim.expect(r"COM3: client left")
        self.assert_served(sim, port)
        self.assertEqual(sim.finish(), 0)

    def test_nc_with_its_input_ended_gets_its_answer_and_leaves_none_behind(self):
        sim, port = self.start_server("command:latency=20")
        for options in (["-q1"], ["-N"]):
            for run in range(5):
                with self.subTest(options=options, run=run):
                    done = subprocess.run(["nc", *options, "127.0.0.1", str(port)], input=b"*IDN?\n",
                                          capture_output=True, timeout=DEADLINE)
                    self.assertIn(IDENTITY, telnet_data(done.stdout))
                    sim.expect(r"COM3: client left")
        # An answer that comes after its client has gone does not reach the next client.
        with socket.create_connection(("127.0.0.1", port), timeout=DEADLINE) as client:
            client.sendall(b"*IDN?\n")
            client.shutdown(socket.SHUT_RDWR)
        sim.expect(r"COM3: client (left|gone)")
        with socket.create_connection(("127.0.0.1", port), timeout=DEADLINE) as client:
            sim.expect(r"COM3: client connected")
            client.sendall(b"MEAS?\n")
            self.assertEqual(receive_until(client, b"\n"), b"+1.000000E+00\n")
        self.assertEqual(sim.finish(), 0)

    def test_a_plain_telnet_clients_line_ends_reach_the_instrument_as_lines(self):
        sim, port = self.start_server()
        with socket.create_connection(("127.0.0.1", port), timeout=DEADLINE) as client:
            # Enter as a Telnet client in its default mode sends it: CR NUL, and CR LF.
            client.sendall(b"*IDN?\r\0MEAS?\r\0*IDN?\r\n")
            answers = IDENTITY + b"+1.000000E+00\n" + IDENTITY
            self.assertEqual(receive_until(client, answers), answers)
        self.assertEqual(sim.finish(), 0)

    def test_modem_lines_are_acknowledged_and_fixed(self):
        sim, port = self.start_server()
        with serial.serial_for_url(f"rfc2217://127.0.0.1:{port}", 9600, timeout=DEADLINE) as client:
            for level in (False, True):  # a pulse, as scripts give on open
                client.dtr = level
                client.rts = level
            sim.expect(r"SET-CONTROL (DTR|RTS) o(n|ff): the driver has no modem lines .*; acknowledged without effect")
            self.assertEqual((client.cts, client.dsr, client.cd, client.ri), (True, True, True, False))
            client.write(b"*IDN?\n")
            self.assertEqual(client.readline(), IDENTITY)
        self.assertEqual(sim.finish(), 0)

    def test_the_idle_server_uses_no_cpu_after_its_clients_went(self):
        sim, port = self.start_server("loopback")
        for cycle in range(3):
            client = socket.create_connection(("127.0.0.1", port), timeout=DEADLINE)
            sim.expect(r"COM3: client connected")
            sim.command("unplug")
            client.close()
            sim.expect(r"COM3: client (disconnected|left|gone)")
            sim.command("replug")
            sim.expect(r"replug: device \d+ is COM\d+")
        before = cpu_seconds(sim.process.pid)
        with self.assertRaises(queue.Empty):  # half a second in which it has nothing to do or say
            sim.lines.get(timeout=0.5)
        self.assertLess(cpu_seconds(sim.process.pid) - before, 0.1)
        self.assertEqual(sim.finish(), 0)


def cpu_seconds(pid):
    fields = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class TermTest(SimTestCase):
    def test_a_piped_session_queries_replugs_and_shows_the_event_log(self):
        sim = self.start("term", "--echo")
        sim.expect(r"^COM3 \(device 1\) is open")
        sim.command("*IDN?")
        sim.expect(r"^\*IDN\?$")  # the local echo
        sim.expect("^" + re.escape(IDENTITY.decode()))
        sim.command("~unplug")
        sim.expect(r"^COM3: the instrument was removed and the port closed")
        sim.command("*IDN?")
        sim.expect(r"^not sent: the port is closed")
        sim.command("~replug")
        sim.expect(r"^COM3 \(device 2\) is open")  # the same instrument keeps its COM name
        sim.command("MEAS?")
        sim.expect(r"^\+1\.000000E\+00$")
        sim.command("~disable")
        sim.expect(r"^disable: refused: STATUS_DEVICE_BUSY \(0x80000011\): device busy: close the port first")
        sim.command("~log")
        sim.expect(r"^\s+\d+\s+Wr>\s+irp \d+: write of 6 bytes")  # the new device's log has the write
        self.assertEqual(sim.finish("~quit"), 0)


class ControlWhileOpenTest(SimTestCase):
    """Device commands that wait on the driver (its sleep and stop wait for
    USB to go quiet) while a client holds the port open and the bridge's read
    waits for the instrument: each returns, and the port answers after it."""

    STEPS = [("sleep 3", r"sleep S3: done", False), ("wake", r"wake: done", True),
             ("rebalance", r"rebalance: done", True), ("sleep 1", r"sleep S1: done", False),
             ("wake", r"wake: done", True)]

    def run_steps(self, sim, ask, prefix=""):
        self.assertEqual(ask(), IDENTITY)
        for command, done, answers in self.STEPS:
            sim.command(prefix + command)
            sim.expect(done)
            if answers:
                self.assertEqual(ask(), IDENTITY, f"no answer after {command}")

    def test_pty(self):
        sim = self.start("pty")
        path = sim.expect(r"COM3 \(device 1\) is (/dev/pts/\d+)").group(1)
        with serial.Serial(path, 9600, timeout=DEADLINE) as port:
            self.run_steps(sim, lambda: ask_line(port))
        self.assertEqual(sim.finish(), 0)

    def test_rfc2217_with_a_client_connected(self):
        sim = self.start("rfc2217", "--port", "0")
        port = sim.expect(r"rfc2217://127\.0\.0\.1:(\d+)").group(1)
        with serial.serial_for_url(f"rfc2217://127.0.0.1:{port}", 9600, timeout=DEADLINE) as client:
            sim.expect(r"COM3: client connected")
            self.run_steps(sim, lambda: ask_line(client))
        self.assertEqual(sim.finish(), 0)

    def test_term(self):
        sim = self.start("term")
        sim.expect(r"^COM3 \(device 1\) is open")

        def ask():
            sim.command("*IDN?")
            return sim.expect("^" + re.escape(IDENTITY.decode())).string.encode()

        self.run_steps(sim, ask, prefix="~")
        self.assertEqual(sim.finish("~quit"), 0)


def ask_line(port):
    port.write(b"*IDN?\n")
    return port.readline()


class DaemonTest(SimTestCase):
    """The bridges without a console: started in the background from an
    interactive shell, with --no-console, or with no standard input."""

    def test_a_bridge_in_the_background_of_a_shell_is_not_stopped_by_typing(self):
        pid, terminal = pty.fork()
        if pid == 0:
            os.execvp("bash", ["bash", "--norc", "--noprofile", "-i"])
        shell = Terminal(self, pid, terminal)
        shell.type(f"PS1='$ '; bind 'set enable-bracketed-paste off' 2>/dev/null; {TESMO_SIM} pty &")
        shell.expect(rb"ready: type help")
        shell.type("echo typed at the shell")
        shell.expect(rb"\ntyped at the shell")
        shell.type("jobs")
        self.assertIn(b"Running", shell.expect(rb"\[1\]\+ +(Running|Stopped)[^\n]*"))
        shell.type("kill %1; wait")
        shell.expect(rb"== done: 0 verifier violation\(s\)")
        shell.type("exit")

    def test_no_console_and_no_standard_input(self):
        for name, extra, stdin in (("--no-console", ["--no-console"], subprocess.PIPE),
                                   ("stdin closed", [], subprocess.DEVNULL)):
            with self.subTest(name):
                sim = self.start_daemon(["pty", *extra], stdin)
                path = sim.expect(r"COM3 \(device 1\) is (/dev/pts/\d+)").group(1)
                sim.expect("^ready")
                with serial.Serial(path, 9600, timeout=DEADLINE) as port:
                    self.assertEqual(ask_line(port), IDENTITY)
                before = cpu_seconds(sim.process.pid)
                with self.assertRaises(queue.Empty):  # idle: it neither spins on its input nor says anything
                    sim.lines.get(timeout=0.5)
                self.assertLess(cpu_seconds(sim.process.pid) - before, 0.1)
                sim.process.terminate()
                sim.expect(r"== done: 0 verifier violation\(s\)")
                self.assertEqual(sim.process.wait(timeout=DEADLINE), 0)

    def start_daemon(self, args, stdin):
        sim = Sim(*args, stdin=stdin)
        self.addCleanup(sim.kill)
        return sim


class Terminal:
    """The master side of a pseudo-terminal with a program on it."""

    def __init__(self, test, pid, fd):
        self.test, self.pid, self.fd, self.seen = test, pid, fd, b""
        test.addCleanup(self.close)

    def type(self, line):
        os.write(self.fd, line.encode() + b"\n")

    def expect(self, pattern):
        while not (match := re.search(pattern, self.seen)):
            ready, _, _ = select.select([self.fd], [], [], DEADLINE)
            chunk = os.read(self.fd, 4096) if ready else b""
            if not chunk:
                raise AssertionError(f"no {pattern!r} on the terminal; it showed:\n{self.seen.decode(errors='replace')}")
            self.seen += chunk
        self.seen = self.seen[match.end():]
        return match.group(0)

    def close(self):
        try:
            os.kill(self.pid, signal.SIGKILL)
            os.waitpid(self.pid, 0)
        except (ProcessLookupError, ChildProcessError):
            pass
        os.close(self.fd)


class PtyAccessTest(SimTestCase):
    def test_mode_and_group_let_another_user_open_the_pty(self):
        directory = tempfile.TemporaryDirectory()
        self.addCleanup(directory.cleanup)
        link = pathlib.Path(directory.name) / "com"
        sim = self.start("pty", "--mode", "0660", "--group", "nogroup", "--link", str(link))
        path = sim.expect(r"COM3 \(device 1\) is (/dev/pts/\d+)").group(1)
        info = os.stat(path)
        self.assertEqual((info.st_mode & 0o7777, grp.getgrgid(info.st_gid).gr_name), (0o660, "nogroup"))
        self.assertEqual(grp.getgrgid(os.lstat(link).st_gid).gr_name, "nogroup")
        # A user of that group (not the owner) opens it and is answered.
        client = ("import serial, sys; s = serial.Serial(sys.argv[1], 9600, timeout=30); s.write(b'*IDN?\\n');"
                  " sys.stdout.buffer.write(s.readline())")
        done = subprocess.run(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", sys.executable,
                               "-c", client, path], capture_output=True, timeout=DEADLINE)
        self.assertEqual(done.stdout, IDENTITY, done.stderr)
        self.assertEqual(sim.finish(), 0)


class UsageTest(unittest.TestCase):
    """What the commands say to a mistake on their command line, and --help."""

    MISTAKES = [
        (["rfc2217", "--port", "abc"], "--port abc: not a port number from 0 to 65535"),
        (["rfc2217", "--port", "70000"], "--port 70000: not a port number"),
        (["pty", "--link", "/nonexistent/folder/com"], "the folder /nonexistent/folder/ does not exist"),
        (["pty", "comand"], 'unknown instrument kind "comand"'),
        (["pty", "--mode", "999"], "--mode 999: not an octal mode"),
        (["pty", "--group", "no-such-group-here"], "no such group"),
        (["term", "--eol", "nl"], "--eol nl: cr, lf or crlf"),
        (["term", "command:latency=soon"], "latency= takes milliseconds"),
        (["explore", "--devices", "9"], "--devices 9: not a whole number from 1 to 8"),
        (["demo", "--frobnicate"], "unknown option --frobnicate"),
        (["run"], "takes one scenario FILE"),
        (["nosuch"], 'unknown command "nosuch"'),
    ]

    def test_a_mistake_is_named_and_exits_2(self):
        for args, message in self.MISTAKES:
            with self.subTest(" ".join(args)):
                done = subprocess.run([TESMO_SIM, *args], capture_output=True, text=True, timeout=DEADLINE,
                                      stdin=subprocess.DEVNULL)
                self.assertEqual(done.returncode, 2, done.stdout + done.stderr)
                self.assertIn(message, done.stderr)

    def test_a_scenario_file_with_a_mistyped_instrument_exits_2(self):
        with tempfile.NamedTemporaryFile("w", suffix=".tsc") as scenario:
            scenario.write("plug comand\n")
            scenario.flush()
            done = subprocess.run([TESMO_SIM, "run", scenario.name], capture_output=True, text=True,
                                  timeout=DEADLINE)
        self.assertEqual(done.returncode, 2, done.stdout + done.stderr)
        self.assertIn('line 1: plug: unknown instrument kind "comand"', done.stderr)

    def test_every_command_explains_its_options_and_exit_codes(self):
        for command in ("demo", "pty", "rfc2217", "term", "run", "logdump", "explore"):
            with self.subTest(command):
                done = subprocess.run([TESMO_SIM, command, "--help"], capture_output=True, text=True,
                                      timeout=DEADLINE)
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertIn(f"usage: tesmo-sim {command}", done.stdout)
                self.assertIn("exit codes: 0", done.stdout)


class CaptureTest(SimTestCase):
    """USB captures as Wireshark reads them: tshark reads each with no
    warning, pairs every completion with its submission, and the bulk
    payload is what the client wrote and read."""

    def setUp(self):
        directory = tempfile.TemporaryDirectory()
        self.addCleanup(directory.cleanup)
        self.folder = pathlib.Path(directory.name)

    def assert_clean(self, path):
        capture = usb_capture_check.Capture(str(path))
        self.assertEqual(capture.problems, [], capture.summary())
        self.assertEqual(capture.paired, capture.completions)
        return capture

    def test_the_bulk_payload_is_what_a_pty_client_wrote_and_read(self):
        pcap = self.folder / "pty.pcap"
        sim = self.start("pty", "--pcap", str(pcap))
        path = sim.expect(r"COM3 \(device 1\) is (/dev/pts/\d+)").group(1)
        with serial.Serial(path, 9600, timeout=DEADLINE) as port:
            port.write(b"*IDN?\n")
            read = port.readline()
            port.write(b"MEAS?\n")
            read += port.readline()
        self.assertEqual(sim.finish(), 0)
        capture = self.assert_clean(pcap)
        self.assertEqual(capture.bulk_out, b"*IDN?\nMEAS?\n")
        self.assertEqual(capture.bulk_in, read)
        self.assertEqual(read, IDENTITY + b"+1.000000E+00\n")

    def test_the_demo_and_explorer_runs(self):
        demo = subprocess.run([TESMO_SIM, "demo", "--pcap", str(self.folder / "demo.pcap")], capture_output=True,
                              timeout=DEADLINE * 4)
        self.assertEqual(demo.returncode, 0, demo.stdout)
        self.assertGreater(self.assert_clean(self.folder / "demo.pcap").completions, 0)
        explore = subprocess.run([TESMO_SIM, "explore", "--runs", "5", "--seed", "40", "--pcap", str(self.folder)],
                                 capture_output=True, timeout=DEADLINE * 4)
        self.assertEqual(explore.returncode, 0, explore.stdout)
        captures = sorted(self.folder.glob("seed-*.pcap"))
        self.assertEqual(len(captures), 5)
        for path in captures:
            with self.subTest(path.name):
                self.assert_clean(path)


class TimelineTest(SimTestCase):
    """The timeline as trace viewers read it: the schema, every thread's
    slices nested, every flow joined, every request's life ended; PnP and
    power sequences on it."""

    def setUp(self):
        directory = tempfile.TemporaryDirectory()
        self.addCleanup(directory.cleanup)
        self.folder = pathlib.Path(directory.name)

    def check(self, path):
        events, problems = timeline_check.problems_of(str(path))
        self.assertEqual(problems, [])
        return events

    def test_the_demo(self):
        path = self.folder / "demo.json"
        done = subprocess.run([TESMO_SIM, "demo", "--timeline", str(path)], capture_output=True, timeout=DEADLINE * 4)
        self.assertEqual(done.returncode, 0, done.stdout)
        events = self.check(path)
        names = {event["name"] for event in events}
        self.assertTrue({"IoCallDriver READ", "IoCallDriver WRITE", "completion routine", "PnP plug-in (node 1)",
                         "node 1: started", "PnP unplug (node 1)"} <= names, names)
        self.assertTrue(any(event["ph"] == "f" for event in events))

    def test_a_pty_session_through_sleep_and_rebalance(self):
        path = self.folder / "pty.json"
        sim = self.start("pty", "--timeline", str(path))
        port_path = sim.expect(r"COM3 \(device 1\) is (/dev/pts/\d+)").group(1)
        with serial.Serial(port_path, 9600, timeout=DEADLINE) as port:
            for command, done in (("sleep 3", "sleep S3: done"), ("wake", "wake: done"),
                                  ("rebalance", "rebalance: done")):
                sim.command(command)
                sim.expect(done)
            self.assertEqual(ask_line(port), IDENTITY)
        self.assertEqual(sim.finish(), 0)
        names = {event["name"] for event in self.check(path)}
        self.assertTrue({"power: system sleep S3 (every node)", "power: system wake S0 (every node)",
                         "PnP rebalance (node 1)", "IoCallDriver POWER SET_POWER"} <= names, names)


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
