#!/usr/bin/python3
"""Reads the reasons that a test run printed for what it skipped, and checks them against the skips that
tests/allowed-skips.txt allows where it ran.
Usage: scripts/skips.py wine|windows FILE: prints each reason, allowed or not, and exits 1 when one is not
(or when FILE is missing)."""
import re
import sys
from pathlib import Path

ALLOWED = Path(__file__).resolve().parent.parent / "tests" / "allowed-skips.txt"


def reasons(output):
    """Every reason a run printed: a runner's "skipped: REASON" lines, and GoogleTest's skips, whose rows'
    reasons the fixture joins with "; " after "rows not run: "."""
    found = re.findall(r"^skipped: (.*?)\r?$", output, re.M)
    for message in re.findall(r": Skipped\r?\n(.*?)\r?$", output, re.M):
        found += message.removeprefix("rows not run: ").split("; ")
    return list(dict.fromkeys(found))


def unexcused(where, output):
    """The reasons in `output` that no entry for `where` allows."""
    entries = [line.split("\t") for line in ALLOWED.read_text().splitlines() if line and not line.startswith("#")]
    allowed = [entry[1] for entry in entries if entry[0] == where]
    return [reason for reason in reasons(output) if not any(reason.startswith(start) for start in allowed)]


if __name__ == "__main__":
    output = Path(sys.argv[2]).read_text(errors="replace")
    bad = unexcused(sys.argv[1], output)
    for reason in reasons(output):
        print(f"{'NOT ALLOWED' if reason in bad else 'allowed'}: {reason}")
    sys.exit(1 if bad else 0)
