"""Checks USB captures (USBPcap, as tesmo-sim --pcap writes them) the way a
user opens them: tshark must read each with no warning of its own and no
expert warning, every completion must be paired with its submission, and
the bulk payload is given back for comparison with what a client wrote and
read.

usage: usb_capture_check.py FILE...   (exit 1 when a file fails)"""
import subprocess
import sys

FIELDS = ["frame.number", "usb.irp_info.direction", "usb.request_in", "usb.endpoint_address", "usb.transfer_type",
          "usb.capdata"]
BULK = "0x03"


def tshark(*args):
    done = subprocess.run(["tshark", *args], capture_output=True, text=True, timeout=60)
    # tshark says this of any run as root; it is not about the file.
    said = [line for line in done.stderr.splitlines() if not line.startswith("Running as user")]
    return done.returncode, done.stdout, said


class Capture:
    def __init__(self, path):
        self.path = path
        self.problems = []
        self.records = 0
        self.completions = 0
        self.paired = 0
        self.bulk_out = b""
        self.bulk_in = b""
        code, out, said = tshark("-r", path, "-T", "fields", "-E", "separator=|", *sum((["-e", f] for f in FIELDS), []))
        if code != 0 or said:
            self.problems.append(f"tshark: exit {code}: {' '.join(said)}")
        for line in out.splitlines():
            number, direction, request_in, endpoint, transfer, data = line.split("|")
            self.records += 1
            payload = bytes.fromhex(data.replace(":", ""))
            if direction == "0x01":
                self.completions += 1
                self.paired += bool(request_in)
                if not request_in:
                    self.problems.append(f"record {number}: a completion without its submission")
            if transfer == BULK and endpoint:
                is_in = int(endpoint, 16) & 0x80
                if direction == "0x00" and not is_in:
                    self.bulk_out += payload
                if direction == "0x01" and is_in:
                    self.bulk_in += payload
        code, out, said = tshark("-r", path, "-q", "-z", "expert,warn")
        warnings = [line for line in out.splitlines() if line.strip() and not line.startswith("=")]
        if said or warnings:
            self.problems.append("tshark's expert info: " + " ".join(said + warnings))
        if self.records == 0:
            self.problems.append("no records")

    def summary(self):
        share = 100.0 * self.paired / self.completions if self.completions else 100.0
        return f"{self.path}: {self.records} records, {share:.0f} % of {self.completions} completions paired"


def main(paths):
    failed = 0
    for path in paths:
        capture = Capture(path)
        print(capture.summary())
        for problem in capture.problems:
            print(f"  {problem}")
        failed += bool(capture.problems)
    print(f"{len(paths) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
