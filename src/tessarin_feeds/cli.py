"""The `tessarin` command: convert, validate and to-hl7.

Exit status: 0 when everything converted; 1 when a message failed or a stray
fragment, batch-count mismatch or truncated frame was found; 2 for a usage
error, an unreadable input or an unwritable output; 130 on Ctrl-C and 143 on
SIGTERM. Output files are written under a temporary name and renamed only
when complete.
"""

from __future__ import annotations

import argparse
import os
import signal
import stat
import sys
import time
from typing import BinaryIO, NoReturn

from . import stopping
from .model import Notice
from .outputs import GuardedOutput, Output, OutputError, OutputFile
from .pipeline import OutputFormat, Settings, WorkerCrashed, run
from .reader import MAX_FIELDS, MAX_MESSAGE_SIZE
from .sources import STDIN, STREAMED, InputError, check_paths, iter_sources
from .stopping import Terminated
from .summary import Tally, format_notice, format_summary

__all__ = ["main"]

PROG = "tessarin"
PARQUET_COMPRESSIONS = ("none", "snappy", "zstd", "lz4", "gzip")


class UsageError(Exception):
    """A bad command line: status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line, not argparse's usage block: the command may run unattended.
        raise UsageError(f"{message} (see '{self.prog} --help')")


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text}")
    return value


_SIZE_UNITS = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30}


def _size(text: str) -> int:
    """A byte count: a whole number, optionally with K, M or G (powers of 1024)."""
    unit = text[-1:].upper() if text[-1:].isalpha() else ""
    number = text[: len(text) - len(unit)]
    if unit not in _SIZE_UNITS or not number.isdigit() or int(number) < 1:
        raise argparse.ArgumentTypeError(f"not a size such as 500K, 64M or 1G: {text!r}")
    return int(number) * _SIZE_UNITS[unit]


def _encoding(text: str) -> str:
    from .charsets import codecs_for

    if codecs_for(text) is None:
        raise argparse.ArgumentTypeError(f"unknown character set (or not a superset of ASCII): {text!r}")
    return text


def _add_reading_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "paths",
        nargs="+",
        metavar="PATH",
        help="a file, a folder (searched recursively, hidden files skipped), or - for standard input",
    )
    parser.add_argument(
        "--glob",
        metavar="PATTERN",
        help="take only files in folders whose name matches PATTERN (with a /: the path under the folder)",
    )
    parser.add_argument(
        "--encoding",
        type=_encoding,
        metavar="NAME",
        help="decode every message with this character set (default: UTF-8, else MSH-18)",
    )
    parser.add_argument(
        "--encoding-errors",
        choices=("strict", "replace"),
        default="strict",
        help="'replace' puts U+FFFD for bytes that do not decode instead of failing the message",
    )
    parser.add_argument(
        "--max-message-size",
        type=_size,
        default=MAX_MESSAGE_SIZE,
        metavar="SIZE",
        help="a larger message is not read but fails with its size (default: 64M)",
    )
    parser.add_argument(
        "--max-fields",
        type=_positive,
        default=MAX_FIELDS,
        metavar="N",
        help="a message of more fields fails with their number; each |, ^, ~ and line end"
        " counts one (default: 1000000)",
    )
    parser.add_argument(
        "--jobs",
        "-j",
        type=_positive,
        default=None,
        metavar="N",
        help="threads or worker processes (default: one job, its native calls on a thread per"
        " core while other work leaves the cores free)",
    )
    parser.add_argument(
        "--progress",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="progress bar on standard error (default: when it is a terminal)",
    )


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return f"{PROG} {version('tessarin')}"
    except PackageNotFoundError:
        return f"{PROG} (version unknown: not installed as a package)"


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description="Convert whole HL7 v2 feeds to JSON Lines or Parquet, and back.")
    parser.add_argument("--version", action="version", version=_version())
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_Parser)

    convert = commands.add_parser(
        "convert",
        help="HL7 feeds to JSON Lines or Parquet",
        description="Convert every message of the PATHs, one output row per message.",
    )
    _add_reading_options(convert)
    convert.add_argument(
        "-o",
        "--output",
        metavar="OUT",
        help="output file; its suffix (.jsonl, .jsonl.gz, .parquet) sets the format (default: standard output)",
    )
    convert.add_argument("--format", choices=("jsonl", "parquet"), help="output format when OUT's suffix does not say")
    convert.add_argument(
        "--compression",
        choices=PARQUET_COMPRESSIONS,
        default="snappy",
        help="Parquet compression (default: snappy, as pyarrow, Spark and DuckDB write)",
    )
    convert.add_argument(
        "--validate", action="store_true", help="validate each message; a message that fails gets an error"
    )
    convert.add_argument(
        "--strict", action="store_true", help="validate strictly: version and message type too (implies --validate)"
    )
    convert.add_argument(
        "--no-escaping", action="store_true", help="keep HL7 escape sequences in the values as they stand"
    )

    validate = commands.add_parser(
        "validate",
        help="check messages against the validation rules",
        description="Print one line per message that fails validation, then a summary.",
    )
    _add_reading_options(validate)
    validate.add_argument("--strict", action="store_true", help="check the version and the message type too")
    validate.add_argument("--require-pid", action="store_true", help="a message without a PID segment fails")

    to_hl7 = commands.add_parser(
        "to-hl7",
        help="JSON Lines from convert (or a JSON list of records) back to HL7",
        description="Write one HL7 message per row of records.",
    )
    to_hl7.add_argument(
        "input", metavar="INPUT", help="JSON Lines from convert, a JSON file of one list of records, or -"
    )
    to_hl7.add_argument("-o", "--output", metavar="OUT", help="output file (default: standard output)")
    escaping = to_hl7.add_mutually_exclusive_group()
    escaping.add_argument(
        "--unescaped",
        action="store_true",
        help="write values as they stand (for records made with convert --no-escaping)",
    )
    escaping.add_argument(
        "--escape-all",
        action="store_true",
        help="escape as the module's JsonHl7.hl7_string does: spaces, tabs and MSH-1/MSH-2 too",
    )
    to_hl7.add_argument(
        "--encoding",
        type=_encoding,
        metavar="NAME",
        help="write every message in this character set (default: the one its MSH-18 declares, else UTF-8)",
    )
    to_hl7.add_argument("--mllp", action="store_true", help="frame each message as 0x0B ... 0x1C 0x0D")
    to_hl7.add_argument(
        "--line-end",
        choices=("cr", "lf", "crlf"),
        default="cr",
        help="segment terminator (default: cr, the standard's)",
    )

    # Live feeds over MLLP.
    from .live_options import add_listen_parser, add_send_parser

    add_listen_parser(commands, size=_size, positive=_positive)
    add_send_parser(commands, positive=_positive)
    return parser


# -- output --------------------------------------------------------------------


OUTPUT_SUFFIXES = (".jsonl", ".jsonl.gz", ".parquet")


def _is_device_or_pipe(path: str) -> bool:
    try:
        return not stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return False


def output_format_of(path: str | None, chosen: str | None) -> OutputFormat:
    """The output format from OUT's suffix, or --format; they must agree."""
    lowered = (path or "").lower()
    by_suffix: OutputFormat | None = None
    if lowered.endswith(".parquet"):
        by_suffix = "parquet"
    elif lowered.endswith(".jsonl.gz") or (lowered.endswith(".gz") and chosen == "jsonl"):
        by_suffix = "jsonl.gz"
    elif lowered.endswith(".jsonl"):
        by_suffix = "jsonl"
    if path is not None and by_suffix is None and chosen is None and not _is_device_or_pipe(path):
        # x.csv or x.parquet.gz must not quietly become JSON Lines.
        raise UsageError(
            f"cannot tell the output format from the name {path}: use {', '.join(OUTPUT_SUFFIXES)} or give --format"
        )
    if chosen is not None and by_suffix is not None and not by_suffix.startswith(chosen):
        raise UsageError(f"--format {chosen} does not match the output name {path}")
    output_format: OutputFormat = by_suffix or ("parquet" if chosen == "parquet" else "jsonl")
    if output_format == "parquet" and path is None:
        raise UsageError("Parquet output needs a file: give -o OUT.parquet")
    return output_format


# -- progress ------------------------------------------------------------------


class Progress:
    """A tqdm bar on standard error: bytes done of the total with an ETA when
    every size is known, else messages and messages per second; sources
    done in its description either way."""

    def __init__(self, sources: int | None, total_bytes: int | None, enabled: bool) -> None:
        self._sources = sources
        self._done = 0
        self._messages = 0
        self._by_bytes = total_bytes is not None
        self._bar = None
        if enabled:
            from tqdm import tqdm  # type: ignore[import-untyped]

            tqdm.monitor_interval = 0  # no monitor thread: worker processes are forked
            unit = {"unit": "B", "unit_scale": True, "unit_divisor": 1024} if self._by_bytes else {"unit": "msg"}
            self._bar = tqdm(
                total=total_bytes,
                file=sys.stderr,
                leave=False,
                dynamic_ncols=True,
                desc=self._description(),
                mininterval=0.2,
                **unit,
            )

    def _description(self) -> str:
        sources = f"{self._done}/{self._sources if self._sources is not None else '?'} sources"
        return f"{sources}, {self._messages} messages" if self._by_bytes else sources

    def update(self, part: Tally, sources_done: int) -> None:
        self._done += sources_done
        self._messages += part.messages
        if self._bar is not None:
            self._bar.set_description_str(self._description(), refresh=False)
            self._bar.update(part.bytes_read if self._by_bytes else part.messages)

    def write(self, line: str) -> None:
        if self._bar is not None:
            self._bar.write(line, file=sys.stderr)
        else:
            print(line, file=sys.stderr)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None


def _show_progress(choice: bool | None) -> bool:
    return sys.stderr.isatty() if choice is None else choice


# -- commands ------------------------------------------------------------------


def _measure(paths: list[str], pattern: str | None) -> tuple[int, int | None]:
    """The number of sources, and their bytes on disk when every size can be known."""
    count = 0
    total: int | None = 0
    for source in iter_sources(paths, pattern):
        count += 1
        if total is None:
            continue
        if source.path is None or source.size == STREAMED:
            total = None  # a stream: its size is known only at its end
            continue
        try:
            total += source.size if source.size is not None else os.stat(source.path).st_size
        except OSError:
            pass  # told when it is read
    return count, total


def _check_stdin(paths: list[str]) -> None:
    if STDIN in paths and sys.stdin.isatty():
        raise UsageError("standard input (-) is a terminal; pipe the messages in")


def new_output(path: str | None) -> OutputFile:
    """The output file, made whole or not at all: a stop signal waits until
    it is made, and then removes it."""
    target = None
    try:
        with stopping.deferred():
            target = OutputFile(path)
            stopping.checkpoint("output made")
    except BaseException:
        if target is not None:
            target.discard()
        raise
    return target


def refuse_inputs_as_output(output: str | None, inputs: list[str]) -> None:
    """A usage error when the output is one of the inputs, or lies in a folder
    being read: it would be read while written, or replaced by what was read."""
    if output is None or _is_device_or_pipe(output):
        return
    where = os.path.realpath(output)
    try:
        status: os.stat_result | None = os.stat(output)
    except OSError:
        status = None
    for path in inputs:
        if path == STDIN:
            continue
        try:
            same = status is not None and os.path.samestat(status, os.stat(path))
        except OSError:
            continue  # told when read
        inside = os.path.isdir(path) and where.startswith(os.path.join(os.path.realpath(path), ""))
        if same or inside:
            raise UsageError(
                f"the output {output} is {'an input' if same else 'inside the input folder ' + path}; write it elsewhere"
            )


def _feed(args: argparse.Namespace, settings: Settings, path: str | None, name: str) -> tuple[Tally, float]:
    """Run the pipeline into the output at `path`; the counts and the elapsed
    time. Any failure, a usage error included, removes the temporary output."""
    refuse_inputs_as_output(path, args.paths)
    target = new_output(path)
    try:
        return _feed_into(args, settings, target, name)
    except BaseException:
        target.discard()
        raise


def _feed_into(args: argparse.Namespace, settings: Settings, target: OutputFile, name: str) -> tuple[Tally, float]:
    _check_stdin(args.paths)
    check_paths(args.paths)
    start = time.monotonic()
    show = _show_progress(args.progress)
    # Only a progress bar needs the number of sources and their sizes up
    # front; counting walks the folders once more but keeps nothing.
    count, total_bytes = _measure(args.paths, args.glob) if show else (None, None)
    output: Output
    if settings.output_format == "parquet":
        try:
            from .parquet import ParquetOutput
        except ImportError as error:
            raise UsageError(str(error)) from None
        output = ParquetOutput(target.stream, compression=args.compression)
    else:
        from .jsonl import JsonlOutput

        output = JsonlOutput(target.stream)
    guarded = GuardedOutput(output, name)
    progress = Progress(count, total_bytes, show)

    def notice(found: Notice) -> None:
        progress.write(format_notice(found))

    skipped = unreadable = 0

    def skip(path: str, why: str) -> None:
        nonlocal skipped
        skipped += 1
        progress.write(f"{PROG}: {path}: {why}")

    def cannot_read(path: str, why: str) -> None:
        nonlocal unreadable
        unreadable += 1
        notice(Notice("read error", path, 0, why))

    try:
        tally = run(
            iter_sources(args.paths, args.glob, skip, cannot_read),
            settings,
            guarded,
            jobs=args.jobs,
            on_progress=progress.update,
            on_notice=notice,
        )
        tally.skipped = skipped
        tally.notice_counts["read error"] += unreadable
        stopping.checkpoint("closing")
        guarded.close()
        stopping.settle()
        stopping.checkpoint("committing")
        target.commit()
    except BaseException:
        guarded.abort()
        raise
    finally:
        progress.close()
    return tally, time.monotonic() - start


def command_convert(args: argparse.Namespace) -> int:
    settings = Settings(
        action="convert",
        output_format=output_format_of(args.output, args.format),
        validate=args.validate or args.strict,
        strict=args.strict,
        escaping=not args.no_escaping,
        charset=args.encoding,
        encoding_errors=args.encoding_errors,
        max_message_size=args.max_message_size,
        max_fields=args.max_fields,
    )
    tally, elapsed = _feed(args, settings, args.output, args.output or "standard output")
    print(format_summary(tally, elapsed), file=sys.stderr)
    return 0 if tally.clean else 1


def command_validate(args: argparse.Namespace) -> int:
    settings = Settings(
        action="validate",
        output_format="report",
        strict=args.strict,
        require_pid=args.require_pid,
        charset=args.encoding,
        encoding_errors=args.encoding_errors,
        max_message_size=args.max_message_size,
        max_fields=args.max_fields,
    )
    tally, elapsed = _feed(args, settings, None, "standard output")
    print(format_summary(tally, elapsed, segments=False), file=sys.stderr)
    return 0 if tally.clean else 1


def command_to_hl7(args: argparse.Namespace) -> int:
    from .hl7_output import read_rows, write_messages

    start = time.monotonic()
    if args.input == STDIN:
        _check_stdin([STDIN])
        source: BinaryIO = sys.stdin.buffer
        name = "<stdin>"
    else:
        name = args.input
        if os.path.isdir(name):
            raise InputError(f"cannot read {name}: it is a folder")
        try:
            source = open(name, "rb")
        except OSError as error:
            raise InputError(f"cannot read {name}: {error.strerror or error}") from None
    refuse_inputs_as_output(args.output, [args.input])
    target = new_output(args.output)
    try:
        with source:
            counts = write_messages(
                read_rows(source, name),
                target.stream,
                escaping="none" if args.unescaped else "all" if args.escape_all else "hl7",
                line_end=args.line_end,
                mllp=args.mllp,
                charset=args.encoding,
                on_problem=lambda line: print(f"{PROG}: {line}", file=sys.stderr),
            )
        stopping.settle()
        target.commit()
    except BrokenPipeError:
        raise
    except OSError as error:
        target.discard()
        raise OutputError(f"cannot write {args.output or 'standard output'}: {error.strerror or error}") from None
    except BaseException:
        target.discard()
        raise
    elapsed = time.monotonic() - start
    lines = [
        f"rows: {counts.rows}",
        f"messages written: {counts.written}",
        f"rows with an error (no message): {counts.had_error}",
        f"rows cut short (written as read): {counts.cut_short}",
        f"failed messages: {sum(counts.failures.values())}",
    ]
    lines += [f"  {count:>6}  {reason}" for reason, count in counts.failures.most_common()]
    lines.append(f"elapsed: {elapsed:.2f} s")
    print("\n".join(lines), file=sys.stderr)
    return 0 if counts.clean else 1


def command_live(args: argparse.Namespace) -> int:
    from . import listen, send

    return listen.command_listen(args) if args.command == "listen" else send.command_send(args)


COMMANDS = {
    "convert": command_convert,
    "validate": command_validate,
    "to-hl7": command_to_hl7,
    "listen": command_live,
    "send": command_live,
}


# -- entry point ---------------------------------------------------------------


def main(argv: list[str] | None = None) -> int:
    previous = stopping.install()
    try:
        args = build_parser().parse_args(argv)
        return COMMANDS[args.command](args)
    except (UsageError, InputError, OutputError, WorkerCrashed) as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except Terminated:
        print(f"{PROG}: terminated", file=sys.stderr)
        return 143
    except BrokenPipeError:
        # The reader of standard output went away (| head): stop quietly, as
        # other commands do, without Python's complaint at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 128 + signal.SIGPIPE
    finally:
        stopping.restore(previous)


if __name__ == "__main__":
    sys.exit(main())
