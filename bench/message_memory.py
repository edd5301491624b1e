"""Peak memory of the tessarin command on single hostile messages, against
the rule the README gives: at most 30 MB + 15 x bytes + 250 x fields for
JSON Lines and 90 MB + 6 x bytes + 150 x fields for Parquet (pyarrow included).

    python bench/message_memory.py [--scale 0.1]

Each message is one file converted by one job; the peak resident set of the
command's process comes from wait4.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import subprocess
import sys
import tempfile

HEADER = b"MSH|^~\\&|A|B|C|D|20240101||ORU^R01|X|P|2.5\r"
MB = 1 << 20


def shapes(scale: float) -> dict[str, bytes]:
    many, big = int(999_000 * scale), int(60 * MB * scale)
    return {
        "one large field": HEADER + b"OBX|1|ED|||" + b"A" * big,
        "control characters": HEADER + b"OBX|1|ED|||" + b"\x01" * big,
        "empty fields": HEADER + b"OBX" + b"|" * many,
        "fields of 62 bytes": HEADER + b"OBX" + (b"|" + b"x" * 62) * many,
        "empty lines": HEADER + b"Z\r" * many,
    }


def fields_of(data: bytes) -> int:
    return 1 + sum(data.count(separator) for separator in (b"|", b"^", b"~", b"\r", b"\n"))


def peak_kib(args: list[str]) -> int:
    process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    if os.waitstatus_to_exitcode(status) not in (0, 1):
        raise RuntimeError(f"{args} failed")
    return usage.ru_maxrss


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0, help="message sizes as a share of the full ones")
    scale = parser.parse_args().scale
    command = [sys.executable, "-m", "tessarin_feeds", "convert", "--no-progress", "-j", "1"]
    print(f"{'message':20} {'MB':>6} {'fields':>9} {'JSONL MB':>9} {'rule':>6} {'Parquet MB':>11} {'rule':>6}")
    with tempfile.TemporaryDirectory() as folder:
        for name, data in shapes(scale).items():
            path = pathlib.Path(folder) / "m.hl7"
            path.write_bytes(data)
            fields = fields_of(data)
            found = [
                peak_kib([*command, str(path), "-o", str(pathlib.Path(folder) / f"out.{suffix}")]) / 1024
                for suffix in ("jsonl", "parquet")
            ]
            rules = [(30 * MB + 15 * len(data) + 250 * fields) / MB, (90 * MB + 6 * len(data) + 150 * fields) / MB]
            print(
                f"{name:20} {len(data) / MB:6.1f} {fields:9,} {found[0]:9.0f} {rules[0]:6.0f} {found[1]:11.0f} {rules[1]:6.0f}"
            )


if __name__ == "__main__":
    main()
