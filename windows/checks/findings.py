"""The result of one check: which check, whether it passed, and what it found."""

from dataclasses import dataclass


@dataclass(frozen=True)
class Finding:
    check: str
    passed: bool
    message: str

    def __str__(self):
        return "%-4s %-20s %s" % ("ok" if self.passed else "FAIL", self.check, self.message)


def passed(check, message):
    return Finding(check, True, message)


def failed(check, message):
    return Finding(check, False, message)
