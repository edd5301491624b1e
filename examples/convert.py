"""Convert HL7 v2 message files to JSON Lines, one object per file.

Every file holds one message, with any line ends. Each output line is
{"file": NAME, "records": [...]} for a file that converts, or
{"file": NAME, "error": TEXT} for one that does not; a failure never stops
the run. Progress (for many files) and a one-line summary go to standard
error, so standard output stays pure JSON Lines.

    python examples/convert.py examples/
    python examples/convert.py --validate -o out.jsonl messages/ extra.hl7
"""

from __future__ import annotations

import argparse
import json
import pathlib
import sys
import time
from collections.abc import Iterable, Iterator
from typing import Any, TextIO

import tessarin

# Below this many files a progress bar is only noise.
PROGRESS_MIN_FILES = 20


def hl7_files(paths: Iterable[str], pattern: str = "*.hl7") -> Iterator[pathlib.Path]:
    """The files named, and the files under the folders named that match pattern."""
    for path in map(pathlib.Path, paths):
        if path.is_dir():
            yield from sorted(p for p in path.rglob(pattern) if p.is_file())
        else:
            yield path


def convert_message(
    name: str,
    data: bytes,
    *,
    validate: bool = False,
    strict: bool = False,
    escaping: bool = True,
) -> dict[str, Any]:
    """One output object for the whole content of one file."""
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        return {"file": name, "error": f"not UTF-8 text: {error}"}
    # A final line end would become an empty last segment, which validation
    # rejects; it ends the message, it is not a segment.
    text = text.rstrip("\r\n")
    if not text.strip():
        return {"file": name, "error": "empty file"}
    try:
        converter = tessarin.Hl7Json(
            text, validation_enabled=validate, strict_validation=strict, escaping_enabled=escaping
        )
        records = converter.hl7_json
    except Exception as error:  # the converter raises plain Exception; its text says what failed
        return {"file": name, "error": str(error)}
    return {"file": name, "records": records}


def to_json_line(result: dict[str, Any]) -> str:
    return json.dumps(result, ensure_ascii=False) + "\n"


class Progress:
    """A one-line progress bar, redrawn in place at most ten times a second."""

    def __init__(self, total: int, stream: TextIO, enabled: bool) -> None:
        self.total = total
        self.stream = stream
        self.enabled = enabled and total > 0
        self.last_draw = 0.0

    def update(self, done: int, failures: int) -> None:
        if not self.enabled:
            return
        now = time.monotonic()
        if done < self.total and now - self.last_draw < 0.1:
            return
        self.last_draw = now
        width = 30
        filled = width * done // self.total
        bar = "#" * filled + "." * (width - filled)
        self.stream.write(f"\r[{bar}] {done}/{self.total} files, {failures} failed")
        if done == self.total:
            self.stream.write("\n")
        self.stream.flush()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("paths", nargs="+", help="HL7 files, or folders searched for --glob")
    parser.add_argument("-o", "--output", help="write JSON Lines here instead of standard output")
    parser.add_argument("--glob", default="*.hl7", help="file pattern inside folders (default: *.hl7)")
    parser.add_argument("--validate", action="store_true", help="validate each message before converting")
    parser.add_argument("--strict", action="store_true", help="with --validate, check version and message type too")
    parser.add_argument("--no-escaping", action="store_true", help="keep HL7 escape sequences as they stand")
    parser.add_argument(
        "--progress",
        action=argparse.BooleanOptionalAction,
        default=None,
        help=f"progress bar on standard error (default: on a terminal, for {PROGRESS_MIN_FILES} files or more)",
    )
    args = parser.parse_args(argv)

    files = list(hl7_files(args.paths, args.glob))
    show_progress = args.progress
    if show_progress is None:
        show_progress = sys.stderr.isatty() and len(files) >= PROGRESS_MIN_FILES
    progress = Progress(len(files), sys.stderr, show_progress)

    out = open(args.output, "w", encoding="utf-8") if args.output else sys.stdout
    segments = failures = 0
    start = time.perf_counter()
    try:
        for done, path in enumerate(files, 1):
            try:
                data = path.read_bytes()
            except OSError as error:
                result: dict[str, Any] = {"file": str(path), "error": f"cannot read: {error.strerror or error}"}
            else:
                result = convert_message(
                    str(path), data, validate=args.validate, strict=args.strict, escaping=not args.no_escaping
                )
            if "error" in result:
                failures += 1
            else:
                segments += len(result["records"])
            out.write(to_json_line(result))
            progress.update(done, failures)
    finally:
        if out is not sys.stdout:
            out.close()
    elapsed = time.perf_counter() - start
    rate = len(files) / elapsed if elapsed > 0 else 0.0
    print(
        f"{len(files)} files, {segments} segments, {failures} failures, {rate:.0f} messages/s",
        file=sys.stderr,
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
