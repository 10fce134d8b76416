"""Runs `mypy --strict` on a file and checks that it reports exactly the errors the file marks.

    python expect_errors.py FILE [mypy options]

A line that should fail ends with `# E: <message>  [<code>]`, as mypy prints it; mypy's notes
are ignored. Exits 1 on any missing or unexpected error, or if the file marks none.
"""
import re
import subprocess
import sys
from pathlib import Path

MARK = "  # E: "
REPORTED = re.compile(r"^(?P<file>[^:]+):(?P<line>\d+): error: (?P<message>.*)$")


def expected_errors(path):
    errors = set()
    for number, line in enumerate(Path(path).read_text().splitlines(), start=1):
        if MARK in line:
            errors.add((number, line.split(MARK, 1)[1]))
    return errors


def reported_errors(path, options):
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", *options, path],
                            capture_output=True, text=True)
    if result.returncode not in (0, 1):  # 2: mypy itself failed
        sys.exit(f"mypy failed (exit {result.returncode}):\n{result.stdout}{result.stderr}")
    errors = set()
    for line in result.stdout.splitlines():
        match = REPORTED.match(line)
        if match:
            errors.add((int(match["line"]), match["message"]))
    return errors


def main(path, *options):
    expected = expected_errors(path)
    if not expected:
        sys.exit(f"{path} marks no expected error")
    reported = reported_errors(path, options)
    for label, errors in (("missing", expected - reported), ("unexpected", reported - expected)):
        for line, message in sorted(errors):
            print(f"{label}: {path}:{line}: {message}")
    if expected != reported:
        sys.exit(1)
    print(f"{path}: mypy --strict reports the {len(expected)} expected errors and no other")


if __name__ == "__main__":
    main(*sys.argv[1:])
