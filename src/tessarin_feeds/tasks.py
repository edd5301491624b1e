"""The work of one task: reading sources, converting or validating their
messages and encoding the rows, whether the task runs in this process or in
a worker. A run is cut into tasks in input order: small files go together,
and a large file (or standard input) is read here and cut into batches of
messages.
"""

from __future__ import annotations

import contextlib
import functools
import gzip
import os
import sys
import time
import zlib
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass, field, replace
from typing import BinaryIO, Literal, TypedDict, cast

import orjson

import tessarin

from ._columns import (
    build_feeds,
    build_files,
    convert_buffers,
    convert_file_pieces,
    convert_files,
    encode_records,
    feed_cut,
)
from ._columns import validate as validate_text
from .jsonl import encode_line_of_json, join_lines
from .model import Converted, Message, Notice
from .reader import FEED_START, GZIP_MAGIC, MAX_FIELDS, MAX_MESSAGE_SIZE, PieceState, SourceBroken, is_gzip
from .sources import STREAMED, FolderFiles, Source, flattened
from .summary import Tally, reason_of

Action = Literal["convert", "validate"]
OutputFormat = Literal["jsonl", "jsonl.gz", "parquet", "report"]

# A batch the parent sends to a worker: this many messages or bytes of text.
BATCH_MESSAGES = 1000
BATCH_TEXT = 1 << 20
# Small files sent to a worker together: at most this many (fewer tasks cost
# the parent less), and BATCH_TEXT bytes where sizes are known. A worker hands
# back the files it has not read once it has read WHOLE_TASK_TEXT bytes (held
# until the task ends), or STREAMED_TASK_TEXT bytes when each file's lines
# are encoded as it goes (a worker's lines wait in its memory for their turn).
BATCH_FILES = 512
WHOLE_TASK_TEXT = 4 << 20
STREAMED_TASK_TEXT = 16 << 20
# Messages converted and written as a task goes: this many bytes of them at a time.
FLUSH_BYTES = 256 << 10
# Files up to this size go to a worker whole; larger ones are split by the parent.
WHOLE_FILE_MAX = 4 << 20
# A gzip file may expand a hundredfold; only small ones go whole.
WHOLE_GZIP_MAX = 64 << 10
# A file of unknown size is read this far first: most are smaller.
FIRST_READ = 64 << 10
# What a file found in a folder counts for, before a worker has read it.
SIZE_GUESS = 8 << 10

READ_ERRORS = (OSError, EOFError, zlib.error)


@dataclass(frozen=True, slots=True)
class Settings:
    """What to do with every message; sent to the workers, so plain values only."""

    action: Action = "convert"
    output_format: OutputFormat = "jsonl"
    validate: bool = False
    strict: bool = False
    escaping: bool = True
    require_pid: bool = False  # validate action: rule 6, a PID segment
    charset: str | None = None
    encoding_errors: str = "strict"
    max_message_size: int = MAX_MESSAGE_SIZE
    max_fields: int = MAX_FIELDS
    # Threads of the native calls of a run in this process; a worker process uses one.
    threads: int = 1
    # Where the run chose its threads (no --jobs): fewer while they share a core.
    measured: ThreadChoice | None = field(default=None, compare=False)


# A run with its threads measured: how long the threads are watched before
# they are judged, the least cores they must have had to be kept, and how
# long one thread then runs before the threads are tried again.
WATCH_SECONDS = 0.05
KEEP_CORES = 1.25
ALONE_SECONDS = 0.5


@dataclass(slots=True)
class ThreadChoice:
    """The native threads a run's calls get, measured as the run goes: a
    second thread on a core that other work holds only shares it, and costs
    more than it saves (bench/jsonl.py), so while the process gets less than
    KEEP_CORES cores' time from its threads, its calls run on one, and the
    threads are tried again every ALONE_SECONDS. The output is the same for
    any choice."""

    most: int
    alone_until: float = 0.0
    wall: float = 0.0
    cpu: float = 0.0

    def threads(self) -> int:
        return 1 if time.perf_counter() < self.alone_until else self.most

    @contextlib.contextmanager
    def call(self, threads: int) -> Iterator[None]:
        """Times a native call on `threads` threads (the process's CPU time:
        what the other threads of the run did meanwhile counts too)."""
        wall, cpu = time.perf_counter(), time.process_time()
        yield
        if threads < 2:
            return
        self.wall += time.perf_counter() - wall
        self.cpu += time.process_time() - cpu
        if self.wall >= WATCH_SECONDS:
            if self.cpu < KEEP_CORES * self.wall:
                self.alone_until = time.perf_counter() + ALONE_SECONDS
            self.wall = self.cpu = 0.0


def threads_for(settings: Settings) -> tuple[int, contextlib.AbstractContextManager[None]]:
    """The threads of a run's next native call, and the context to make it in."""
    if settings.measured is None:
        return settings.threads, contextlib.nullcontext()
    threads = settings.measured.threads()
    return threads, settings.measured.call(threads)


class FeedOptions(TypedDict):
    """How the native feed functions convert each message."""

    validation_enabled: bool
    strict_validation: bool
    escaping_enabled: bool
    max_message_size: int
    max_fields: int


def feed_options(settings: Settings) -> FeedOptions:
    return FeedOptions(
        validation_enabled=settings.validate,
        strict_validation=settings.strict,
        escaping_enabled=settings.escaping,
        max_message_size=settings.max_message_size,
        max_fields=settings.max_fields,
    )


@dataclass(slots=True)
class TaskResult:
    """The encoded rows of one task and what was counted on the way."""

    payloads: list[object]
    tally: Tally
    sources_done: int = 0
    # Sources of a whole-file task left for the parent, in order: from a file
    # too large to go whole (its size now known), or after a full task.
    handed_back: list[Source] = field(default_factory=list)
    # A worker's failed write to the output, for the parent to report.
    write_error: OSError | None = None


def convert_message(message: Message, settings: Settings) -> Converted:
    return Converted(message, *_records_or_error(message, settings))


def _records_or_error(message: Message, settings: Settings) -> tuple[list[dict[str, str]] | None, str | None]:
    """The records, or why there are none; a message cut short has both."""
    if message.error is not None:
        return None, message.error
    # The command's rules, not Hl7Json's: README, "Validation by the command".
    if settings.validate and (failure := validate_text(message.text, strict_mode=settings.strict)) is not None:
        return None, _with_cut(message, failure)
    try:
        converter = tessarin.Hl7Json(message.text, escaping_enabled=settings.escaping)
        return converter.hl7_json, message.cut_short
    except Exception as error:  # the converter raises plain Exception; its text is the reason
        return None, _with_cut(message, str(error))


def _with_cut(message: Message, error: str) -> str:
    return error if message.cut_short is None else f"{message.cut_short}; {error}"


def validate_message(message: Message, settings: Settings) -> Converted:
    """A row with no records; `error` is the first rule that failed, or None."""
    if message.error is not None:
        return Converted(message, None, message.error)
    failure = validate_text(message.text, strict_mode=settings.strict, validate_required_fields=settings.require_pid)
    return Converted(message, None, message.cut_short if failure is None else _with_cut(message, failure))


def envelope_records(message: Message, settings: Settings) -> list[dict[str, str]] | None:
    """The records of the FHS and BHS lines that enclose the message, if any."""
    if not message.envelope:
        return None
    return [_envelope_record(line, settings.escaping) for line in message.envelope]


@functools.lru_cache(maxsize=64)
def _envelope_record(line: str, escaping: bool) -> dict[str, str]:
    # Every message of a batch shares its headers: each line is converted once.
    return tessarin.Hl7Json(line, escaping_enabled=escaping).hl7_json[0]


def encode_report(rows: Sequence[Converted]) -> bytes:
    """One line per failing message: source, index, byte offset, the rule's text."""
    lines = [
        f"{row.message.source}: message {row.message.index} at byte {row.message.offset}: {row.error}\n"
        for row in rows
        if row.error is not None
    ]
    return "".join(lines).encode("utf-8", "backslashreplace")


def process_messages(messages: Iterable[Message], settings: Settings, tally: Tally) -> object:
    """Convert (or validate) the messages, count them into `tally`, and encode the rows."""
    failures = tally.failures
    count = segments = converted = 0
    if settings.action == "convert" and settings.output_format in ("jsonl", "jsonl.gz"):
        # Records straight to their JSON text, natively: no record dicts on the
        # way. bench/dict_paths.py gives the same output by the dict path.
        batch_messages = messages if isinstance(messages, list) else list(messages)
        results, segments = encode_records(
            [message.text for message in batch_messages],
            [message.error for message in batch_messages],
            validation_enabled=settings.validate,
            strict_validation=settings.strict,
            escaping_enabled=settings.escaping,
            hl7_syntax=True,  # the command's rules, as _records_or_error
        )
        heads: dict[str, bytes] = {}
        lines = []
        for message, result in zip(batch_messages, results, strict=True):
            records_json: bytes | None
            if isinstance(result, str):  # not converted: why, as _records_or_error tells it
                records_json, error = None, result if message.error is not None else _with_cut(message, result)
            else:
                records_json, error = result, message.cut_short
            if error is not None:
                failures[reason_of(error, message.source)] += 1
            elif records_json is not None:
                converted += 1
            lines.append(encode_line_of_json(message, records_json, error, envelope_records(message, settings), heads))
        count = len(lines)
        payload: object = join_lines(lines, compress=settings.output_format == "jsonl.gz")
    elif settings.action == "convert" and settings.output_format == "parquet":
        # Straight to Arrow columns: no record dicts on the way.
        from .parquet import convert_to_batch, count_rows

        batch = convert_to_batch(
            messages if isinstance(messages, list) else list(messages),
            validation_enabled=settings.validate,
            strict_validation=settings.strict,
            escaping_enabled=settings.escaping,
            hl7_syntax=True,
        )
        count_rows(batch, tally)
        return batch
    elif settings.action == "validate":
        rows = [validate_message(message, settings) for message in messages]
        for row in rows:
            if row.error is not None:
                failures[reason_of(row.error, row.message.source)] += 1
            elif row.records is not None:
                converted += 1
            if row.records is not None:
                segments += len(row.records)
        count = len(rows)
        payload = encode_report(rows)
    else:
        raise ValueError(f"cannot convert to {settings.output_format}")
    tally.messages += count
    tally.segments += segments
    tally.converted += converted
    return payload


def _read(
    feed: bytes | BinaryIO, source: Source, settings: Settings, on_notice: Callable[[Notice], None]
) -> Iterator[Message]:
    """The messages of a source's bytes or stream, read by the settings' rules."""
    from .reader import read_messages

    return read_messages(
        feed,
        name=source.name,
        encoding=settings.charset,
        encoding_errors=settings.encoding_errors,
        on_notice=on_notice,
        max_message_size=settings.max_message_size,
        max_fields=settings.max_fields,
    )


def _note_read_error(source: Source, error: BaseException, tally: Tally) -> None:
    """A source that cannot be read, or that broke off: told, counted, and
    the run goes on with the next source."""
    reason = error.strerror if isinstance(error, OSError) and error.strerror else str(error) or type(error).__name__
    tally.note_read_error(source.name, reason, error.offset if isinstance(error, SourceBroken) else 0)


def _goes_whole(size: int, head: bytes) -> bool:
    """Whether a file of `size` bytes that begins with `head` is read whole
    by a task, rather than in batches: the one rule, wherever it is asked."""
    return size <= WHOLE_FILE_MAX and (size <= WHOLE_GZIP_MAX or not is_gzip(head))


def _read_to_end(fd: int, data: bytes, size: int) -> bytes:
    parts = [data]
    while more := os.read(fd, max(size + 1 - len(data), FIRST_READ)):
        parts.append(more)
        size += len(more)  # grown since: keep going
    return b"".join(parts)


def _file_bytes(source: Source) -> bytes | Source:
    """The whole file; or the source with its size, when it is too large to go
    whole. A file of known size is read in one call (a short read of a regular
    file is its end), one of unknown size after a first small read."""
    assert source.path is not None
    fd = os.open(source.path, os.O_RDONLY | os.O_CLOEXEC)
    try:
        if source.size is not None:
            data = os.read(fd, source.size + 1)
            return data if len(data) <= source.size else _read_to_end(fd, data, len(data))
        data = os.read(fd, FIRST_READ)
        if len(data) < FIRST_READ:
            return data
        size = os.fstat(fd).st_size
        if not _goes_whole(size, data):
            return Source(source.name, source.path, size)
        return _read_to_end(fd, data, size)
    finally:
        os.close(fd)


def streams(settings: Settings) -> bool:
    """Whether a whole-file task can write each file's encoded rows as it goes:
    plain bytes, where the rows of a task need not be encoded together."""
    return settings.output_format == "jsonl" or settings.output_format == "report"


def convert_whole_files(
    sources: list[Source], settings: Settings, sink: Callable[[bytes], None] | None = None
) -> TaskResult:
    """Task: a few small files, each read whole, converted and encoded. With
    `sink` (only where `streams(settings)`), the rows go to it every
    FLUSH_BYTES of text, so memory holds little more than one file whatever
    the task holds; without, all messages are encoded together into the
    result. One result for all the files, as the work per task in the parent
    limits the speed-up."""
    if native_lines(settings):
        return _convert_whole_files_natively(sources, settings, sink)
    if parquet_natively(settings):
        return _convert_whole_files_to_rows(sources, settings)
    result = TaskResult([], Tally())
    # Files read and not yet converted: their bytes, or why they could not be read.
    files: list[tuple[Source, bytes | BaseException]] = []
    text = pending = 0
    limit = WHOLE_TASK_TEXT if sink is None else STREAMED_TASK_TEXT
    for number, source in enumerate(sources):
        if text >= limit:
            result.handed_back = sources[number:]
            break
        if sink is not None and pending >= FLUSH_BYTES:
            sink(_convert_files(files, settings, result.tally))  # type: ignore[arg-type]
            files, pending = [], 0
        data = b""
        try:
            found = _file_bytes(source)
            if isinstance(found, Source):
                result.handed_back = [found, *sources[number + 1 :]]
                break
            data = found
            files.append((source, data))
        except READ_ERRORS as error:
            files.append((source, error))
        text += len(data)
        pending += len(data)
        result.tally.bytes_read += len(data)
        result.sources_done += 1
    result.tally.sources = result.sources_done
    payload = _convert_files(files, settings, result.tally)
    if sink is None:
        result.payloads.append(payload)
    elif payload:
        sink(payload)  # type: ignore[arg-type]
    return result


def convert_folder_files(
    files: FolderFiles, settings: Settings, sink: Callable[[bytes], None] | None = None
) -> TaskResult:
    """Task: files of one folder listed natively, as convert_whole_files
    converts them, to JSON Lines; their names go to the native reader
    together, with no object per file."""
    return _convert_whole_files_natively(files, settings, sink)


def _convert_whole_files_natively(
    sources: Sequence[Source], settings: Settings, sink: Callable[[bytes], None] | None
) -> TaskResult:
    """convert_whole_files with the files read, split and converted natively:
    the same flushes, hand-backs, notices and counts."""
    result = TaskResult([], Tally())
    tally = result.tally
    limit = WHOLE_TASK_TEXT if sink is None else STREAMED_TASK_TEXT
    items: list[tuple[bytes, bytes, int]] = []
    if isinstance(sources, FolderFiles):
        # (folder, head, names, first): names go whole, with where to start.
        folder = (os.fsencode(sources.folder), _head(sources.folder)[:-1], sources.names)
    else:
        items = [
            (_head(source.name), os.fsencode(source.path or ""), -1 if source.size is None else source.size)
            for source in sources
        ]
    pieces: list[bytes | memoryview] = []
    text = start = 0
    while start < len(sources):
        if text >= limit:
            result.handed_back = list(sources[start:])
            break
        threads, timed = threads_for(settings)
        with timed:
            converted, (done, read, handed_back) = convert_files(
                (*folder, start) if isinstance(sources, FolderFiles) else items[start:],
                **feed_options(settings),
                budget=FLUSH_BYTES * settings.threads if sink is not None else limit,
                limit=limit - text,
                first_read=FIRST_READ,
                whole_max=WHOLE_FILE_MAX,
                gzip_max=WHOLE_GZIP_MAX,
                threads=threads,
                views=True,
            )
        lines = _take_native_lines(sources, converted, settings, tally, first=start)
        text += read
        tally.bytes_read += read
        result.sources_done += done
        start += done
        if sink is None:
            pieces += lines
        else:  # the threads' views as they are, else one write per flush
            together = not all(isinstance(part, memoryview) for part in lines)
            for part in _payloads(lines, settings, together):
                sink(cast(bytes, part))
        if handed_back >= 0:
            source = sources[start]
            result.handed_back = [Source(source.name, source.path, handed_back), *sources[start + 1 :]]
            break
    tally.sources = result.sources_done
    if sink is None:
        result.payloads.append(_compressed(b"".join(pieces), settings))
    return result


def _convert_whole_files_to_rows(sources: list[Source], settings: Settings) -> TaskResult:
    """convert_whole_files to Parquet: the files read, split and built into
    Arrow rows in one native call, with the same hand-backs, notices, counts
    and rows as the reader's path."""
    from .parquet import take_rows

    result = TaskResult([], Tally())
    items = [
        (source.name.encode(), os.fsencode(source.path or ""), -1 if source.size is None else source.size)
        for source in sources
    ]
    built, (done, read, handed_back) = build_files(
        items,
        **feed_options(settings),
        limit=WHOLE_TASK_TEXT,
        first_read=FIRST_READ,
        whole_max=WHOLE_FILE_MAX,
        gzip_max=WHOLE_GZIP_MAX,
    )
    read_declined = functools.partial(_rows_by_reader, settings=settings, tally=result.tally)
    result.payloads.extend(take_rows(sources[:done], built, result.tally, read_declined))
    result.tally.bytes_read += read
    result.sources_done = result.tally.sources = done
    if handed_back >= 0:
        source = sources[done]
        result.handed_back = [Source(source.name, source.path, handed_back), *sources[done + 1 :]]
    elif done < len(sources):
        result.handed_back = sources[done:]
    return result


def _rows_by_reader(source: Source, data: bytes, settings: Settings, tally: Tally) -> object:
    """The rows of a file that a native call declined, read by the reader."""
    return process_messages(_read_files([(source, data)], settings, tally), settings, tally)


def _uncompressed(settings: Settings) -> Settings:
    """The settings for lines that the caller joins, then compresses as _compressed does."""
    return settings if settings.output_format == "jsonl" else replace(settings, output_format="jsonl")


def _compressed(lines: bytes, settings: Settings) -> bytes:
    """Lines as the output takes them: one gzip member for jsonl.gz, as join_lines makes."""
    return gzip.compress(lines, compresslevel=6, mtime=0) if lines and settings.output_format == "jsonl.gz" else lines


def _payloads(lines: list[bytes | memoryview], settings: Settings, together: bool = False) -> list[object]:
    """A native call's lines as the output takes them: for jsonl, the views
    themselves, written without a copy (their buffers serve later calls once
    written), or `together` in one payload; for jsonl.gz, one gzip member."""
    if settings.output_format == "jsonl" and not (together and len(lines) > 1):
        return [part for part in lines if part]
    joined = b"".join(lines)
    return [_compressed(joined, settings)] if joined else []


def _head(name: str) -> bytes:
    """The start of a line, '{"source":"NAME"'; a name orjson cannot write
    fails here as it fails in the reader's path."""
    return orjson.dumps({"source": name})[:-1]


def _convert_files(files: list[tuple[Source, bytes | BaseException]], settings: Settings, tally: Tally) -> object:
    """The encoded rows of whole files, in order; notices and counts go to `tally`."""
    if native_lines(settings):
        return _compressed(b"".join(convert_buffers_natively(files, settings, tally)), settings)
    return process_messages(_read_files(files, settings, tally), settings, tally)


def _read_files(files: list[tuple[Source, bytes | BaseException]], settings: Settings, tally: Tally) -> list[Message]:

    messages: list[Message] = []
    for source, data in files:
        if isinstance(data, BaseException):
            _note_read_error(source, data, tally)
            continue
        try:
            # Bytes in memory: a file of one plain message is cut at once.
            messages.extend(_read(data, source, settings, tally.note))
        except READ_ERRORS as error:
            # The messages read before the break stay; the next source is read.
            _note_read_error(source, error, tally)
    return messages


def native_lines(settings: Settings) -> bool:
    """Whether whole files go to JSON Lines natively: conversion to JSON Lines,
    with the charset chosen per message (a forced one is the reader's to apply)."""
    return settings.action == "convert" and settings.output_format in ("jsonl", "jsonl.gz") and settings.charset is None


def folders_by_name(settings: Settings) -> bool:
    """Whether a folder's plain files go to the native reader by name
    (FolderFiles): JSON Lines natively, uncompressed, so that where the tasks
    end (a folder's, not every BATCH_FILES files') changes no byte."""
    return native_lines(settings) and settings.output_format == "jsonl"


def parquet_natively(settings: Settings) -> bool:
    """Whether files and large files' pieces go to Parquet rows natively (parquet.py)."""
    return settings.action == "convert" and settings.output_format == "parquet" and settings.charset is None


def convert_buffers_natively(
    files: list[tuple[Source, bytes | BaseException]], settings: Settings, tally: Tally, threads: int = 1
) -> list[bytes]:
    """The files' JSON Lines (never compressed), split and converted in one
    native call without the interpreter lock; a file the native path declines
    (a rare shape: see _columns.convert_buffers) is read by the reader, with
    the same result, its lines put where the file stands."""
    buffers = [(_head(source.name), data if isinstance(data, bytes) else b"") for source, data in files]
    converted = convert_buffers(
        buffers,
        **feed_options(settings),
        threads=threads,
    )
    return cast(
        list[bytes],
        _take_native_lines([source for source, _ in files], converted, settings, tally, [data for _, data in files]),
    )


def _take_native_lines(
    sources: Sequence[Source],
    converted: tuple[
        bytes | list[memoryview],
        list[int],
        int,
        int,
        int,
        list[tuple[int, str | None, list[str] | None, list[tuple[int, int, bytes, int]] | None, bytes | int | None]],
    ],
    settings: Settings,
    tally: Tally,
    given: list[bytes | BaseException] | None = None,
    starts: list[PieceState] | None = None,
    *,
    first: int = 0,
) -> list[bytes | memoryview]:
    """The lines of a native call over `sources`, in order, with what it
    left to tell counted into `tally`: notices and failures of the files it
    took, files it could not read, and the lines of the files it declined,
    read by the reader and put where they stand. `given`: the files' bytes,
    or why they could not be read, when the caller read them; `starts`: the
    states the buffers start at, when they are pieces of one file; `first`:
    the call's first source in `sources`."""
    from .framing import notices_of_parts

    lines, ends, count, done, segments, special = converted
    tally.messages += count
    tally.converted += done
    tally.segments += segments
    unread = (
        [] if given is None else [(n, None, None, None, e) for n, e in enumerate(given) if not isinstance(e, bytes)]
    )
    if not special and not unread:
        return list(lines) if isinstance(lines, list) else [lines]
    if isinstance(lines, list):  # views: `ends` count through all of them
        lines = b"".join(lines)
    out: list[bytes | memoryview] = []
    plain = _uncompressed(settings)
    taken = 0  # of `lines`, given out
    for index, declined, errors, parts, data in sorted(special + unread, key=lambda event: event[0]):  # type: ignore[operator]
        source = sources[first + index]
        if isinstance(data, BaseException):
            _note_read_error(source, data, tally)
        elif isinstance(data, int):
            _note_read_error(source, OSError(data, os.strerror(data)), tally)
        elif declined is None:
            for notice in notices_of_parts(source.name, parts or []):
                tally.note(notice)
            for error in errors or []:
                tally.failures[reason_of(error, source.name)] += 1
        else:
            at = ends[index - 1] if index else 0
            out.append(lines[taken:at])
            taken = at
            whole = data if data is not None else cast(list[bytes], given)[index]
            if starts is None and is_gzip(whole):
                out.append(cast(bytes, process_messages(_read_files([(source, whole)], settings, tally), plain, tally)))
            else:  # a whole file reads as its one piece from the start
                out.append(
                    _declined_piece_lines(whole, source, FEED_START if starts is None else starts[index], plain, tally)
                )
    out.append(lines[taken:])
    return out


# A file or piece declined for one message in it (a charset only Python's
# codecs read, say) is halved at a place to cut until the half that holds it is
# this small: the reader reads that part, the native path the rest.
DECLINED_PART = 16 << 10


def _declined_piece_lines(data: bytes, source: Source, state: PieceState, plain: Settings, tally: Tally) -> bytes:
    """The JSON Lines of a piece that the native path declined, as the
    reader gives them, with counts and notices into `tally`."""
    cut, after = feed_cut(data[: len(data) // 2], state, False) if len(data) > DECLINED_PART else (0, state)
    if cut == 0:
        return cast(bytes, process_messages(list(_read_piece(data, source, state, plain, tally.note)), plain, tally))
    return _piece_lines(data[:cut], source, state, plain, tally) + _piece_lines(data[cut:], source, after, plain, tally)


def _piece_lines(data: bytes, source: Source, state: PieceState, plain: Settings, tally: Tally) -> bytes:
    """The JSON Lines of a piece that starts at `state`: natively, or where
    the native path declines it, as _declined_piece_lines reads it."""
    converted = convert_buffers([(_head(source.name), data, state)], **feed_options(plain))
    special = converted[5]
    if special and special[0][1] is not None:
        return _declined_piece_lines(data, source, state, plain, tally)
    return b"".join(_take_native_lines([source], converted, plain, tally))


def convert_batch(
    messages: list[Message],
    settings: Settings,
    tally: Tally,
    source_done: bool,
    sink: Callable[[bytes], None] | None = None,
) -> TaskResult:
    """Task: messages the parent has read. With `sink`, the encoded rows go to it."""
    payload = process_messages(messages, settings, tally)
    if sink is None:
        return TaskResult([payload], tally, int(source_done))
    assert isinstance(payload, bytes)
    sink(payload)
    return TaskResult([], tally, int(source_done))


def convert_piece(
    source: Source,
    data: bytes,
    state: PieceState,
    settings: Settings,
    tally: Tally,
    source_done: bool,
    sink: Callable[[bytes], None] | None = None,
) -> TaskResult:
    """Task: a piece of a large file that the parent has cut (_Pieces), to
    JSON Lines or Parquet rows natively; or, where the native path declines
    it, by the reader."""
    if settings.output_format == "parquet":
        from .parquet import take_rows

        def read_declined(source: Source, whole: bytes) -> object:
            return process_messages(list(_read_piece(whole, source, state, settings, tally.note)), settings, tally)

        built = build_feeds([(source.name.encode(), data, state)], **feed_options(settings))
        return TaskResult(take_rows([source], built, tally, read_declined, [data]), tally, int(source_done))
    plain = _uncompressed(settings)
    payload = _compressed(_piece_lines(data, source, state, plain, tally), settings)
    if sink is None:
        return TaskResult([payload], tally, int(source_done))
    sink(payload)
    return TaskResult([], tally, int(source_done))


def _read_piece(
    data: bytes,
    source: Source,
    state: PieceState,
    settings: Settings,
    on_notice: Callable[[Notice], None],
    broken: str | None = None,
) -> Iterator[Message]:
    from .reader import read_piece

    return read_piece(
        data,
        source.name,
        state,
        encoding_errors=settings.encoding_errors,
        on_notice=on_notice,
        max_message_size=settings.max_message_size,
        max_fields=settings.max_fields,
        broken=broken,
    )


# A large file is cut into pieces of about this many bytes; a piece that has
# grown to PIECE_MAX with no place to cut (a huge message) hands the rest of
# the file to the reader, whose memory stays flat whatever the message.
PIECE_BYTES = BATCH_TEXT
PIECE_MAX = 4 * BATCH_TEXT
# Messages this large on average convert at about the speed of copying them:
# a second thread then costs more than it saves (bench/jsonl.py), so the
# rest of their file goes on one.
LARGE_MESSAGE = 64 << 10


@dataclass(slots=True)
class _Pieces:
    """Cuts one large regular file, read in this process, into pieces of bytes
    that begin with a message (_columns.feed_cut), for convert_piece; from
    `start` on, where _FilePieces left it (its source then counted)."""

    source: Source
    settings: Settings
    start: PieceState | None = None

    def tasks(self) -> Iterator[Task]:
        from .reader import read_rest

        assert self.source.path is not None
        tally = Tally(sources=1 if self.start is None else 0)
        state = FEED_START if self.start is None else self.start
        carried = b""
        try:
            stream = open(self.source.path, "rb", buffering=0)
            if state[0]:
                stream.seek(state[0])
        except READ_ERRORS as error:
            _note_read_error(self.source, error, tally)
            # The progress bar counts the file whole, as the reader's path does.
            tally.bytes_read = max((self.source.size or 0) - state[0], 0)
            yield convert_batch, ([], self.settings, tally, True)
            return
        with stream:
            while True:
                try:
                    chunk = stream.read(PIECE_BYTES)
                except OSError as error:
                    # What was read stays; its open message is cut short there.
                    reason = error.strerror or str(error)
                    messages = list(_read_piece(carried, self.source, state, self.settings, tally.note, broken=reason))
                    _note_read_error(self.source, SourceBroken(reason, state[0] + len(carried)), tally)
                    # The progress bar counts the file whole, as the reader's path does.
                    tally.bytes_read = max((self.source.size or 0) - state[0], 0)
                    yield convert_batch, (messages, self.settings, tally, True)
                    return
                data = carried + chunk if carried else chunk
                cut, after = feed_cut(data, state, not chunk)
                if cut or not chunk:
                    tally.bytes_read = cut
                    yield convert_piece, (self.source, data[:cut], state, self.settings, tally, not chunk)
                    if not chunk:
                        return
                    tally, state, carried = Tally(), after, data[cut:]
                else:
                    carried = data
                if len(carried) > PIECE_MAX:
                    break
            # A message too long to hold: the reader takes the rest, in batches of messages.
            batcher = _Batcher(self.source, self.settings, tally)
            rest = read_rest(
                stream,
                carried,
                self.source.name,
                state,
                encoding_errors=self.settings.encoding_errors,
                on_notice=batcher._note,
                max_message_size=self.settings.max_message_size,
                max_fields=self.settings.max_fields,
            )
            for messages, pending, done in batcher.tasks((stream, rest), reported=state[0]):
                yield convert_batch, (messages, self.settings, pending, done)


# What convert_file_pieces tells of the rest of the file.
PIECES_MORE, PIECES_END = 0, 1


@dataclass(slots=True)
class _FilePieces:
    """One large regular file read, cut and converted natively, a few pieces
    per call (side by side with threads), for a run in this process: the
    pieces are _Pieces' own, and no byte passes through Python. Where the
    native reading stops short (no place to cut, a failed read), _Pieces
    goes on from there, as it would have."""

    source: Source
    settings: Settings

    def tasks(self) -> Iterator[Task]:
        assert self.source.path is not None
        settings = self.settings
        head, path = _head(self.source.name), os.fsencode(self.source.path)
        # One piece a call to jsonl.gz: a gzip member per piece, as convert_piece writes them.
        wide = 1 if settings.output_format == "jsonl.gz" else 2 * settings.threads
        # The first call on one thread, as one job makes it: its pieces tell
        # whether the messages are small enough for the threads to pay.
        small = False
        state, tally, carried = FEED_START, Tally(sources=1), 0
        while True:
            threads, timed = threads_for(settings) if small else (1, contextlib.nullcontext())
            pieces = wide if threads > 1 else min(wide, 2)
            with timed:
                converted, starts, end, _, carried = convert_file_pieces(
                    head,
                    path,
                    state,
                    **feed_options(settings),
                    pieces=pieces,
                    piece_bytes=PIECE_BYTES,
                    max_piece=PIECE_MAX,
                    carried=carried,
                    threads=threads,
                    views=True,
                )
            count = len(starts) - 1
            lines = _take_native_lines([self.source] * count, converted, settings, tally, starts=starts[:-1])
            tally.bytes_read = starts[-1][0] - state[0]
            state = starts[-1]
            small = tally.bytes_read < LARGE_MESSAGE * max(converted[2], 1)
            yield _delivered, (TaskResult(_payloads(lines, settings), tally, int(end == PIECES_END)),)
            del converted, lines  # their buffers serve the next call once written
            if end != PIECES_MORE:
                break
            tally = Tally()
        if end != PIECES_END:
            yield from _Pieces(self.source, settings, start=state).tasks()


def _delivered(result: TaskResult, sink: Callable[[bytes], None] | None = None) -> TaskResult:
    """Task: one whose work is done, its rows to `sink` if given."""
    if sink is not None:
        for payload in result.payloads:
            sink(cast(bytes, payload))
        result.payloads = []
    return result


def _first_bytes(path: str) -> bytes:
    """The bytes that tell a gzip file."""
    try:
        with open(path, "rb") as file:
            return file.read(len(GZIP_MAGIC))
    except OSError:
        return b""  # the reader reports it


def _in_pieces(source: Source) -> bool:
    """A regular file, not gzip: cut into pieces of bytes for the native path."""
    return source.path is not None and source.size not in (None, STREAMED) and not is_gzip(_first_bytes(source.path))


def _source_goes_whole(source: Source) -> bool:
    if source.path is None or source.size == STREAMED:
        return False
    if source.size is None:
        return True  # the task looks (_file_bytes), and hands it back if too large
    size = source.size
    return _goes_whole(size, _first_bytes(source.path) if WHOLE_GZIP_MAX < size <= WHOLE_FILE_MAX else b"")


@dataclass(slots=True)
class _Batcher:
    """Splits one source, read in this process, into tasks of bounded size."""

    source: Source
    settings: Settings
    pending: Tally = field(default_factory=Tally)

    def tasks(
        self, resumed: tuple[BinaryIO, Iterator[Message]] | None = None, reported: int = 0
    ) -> Iterator[tuple[list[Message], Tally, bool]]:
        """(messages, tally holding the notices met before them, source done).
        `resumed`: the open stream and its messages from where _Pieces left
        off, after `reported` bytes (self.pending then holds what is counted)."""
        if resumed is None:
            self.pending = Tally(sources=1)
        batch: list[Message] = []
        text = 0
        try:
            # Read as a stream, whatever the source: a pipe named as a path
            # too, so memory stays flat and every limit applies.
            with _open_stream(self.source) if resumed is None else contextlib.nullcontext(resumed[0]) as stream:
                messages = _read(stream, self.source, self.settings, self._note) if resumed is None else resumed[1]
                for message in messages:
                    batch.append(message)
                    text += len(message.text)
                    if len(batch) >= BATCH_MESSAGES or text >= BATCH_TEXT:
                        position = _position(stream)
                        self.pending.bytes_read, reported = max(position - reported, 0), max(position, reported)
                        yield batch, self._take(), False
                        batch, text = [], 0
        except READ_ERRORS as error:
            _note_read_error(self.source, error, self.pending)
        if self.source.size is not None and self.source.size > reported:
            self.pending.bytes_read = self.source.size - reported
        yield batch, self._take(), True

    def _note(self, notice: Notice) -> None:
        self.pending.note(notice)

    def _take(self) -> Tally:
        tally, self.pending = self.pending, Tally()
        return tally


def _open_stream(source: Source) -> contextlib.AbstractContextManager[BinaryIO]:
    if source.path is None:
        return contextlib.nullcontext(sys.stdin.buffer)  # not ours to close
    # Unbuffered: a read of a pipe returns what has come, and tell() is the file's own.
    return cast(contextlib.AbstractContextManager[BinaryIO], open(source.path, "rb", buffering=0))


def _position(stream: BinaryIO) -> int:
    try:
        return stream.tell()
    except OSError:
        return 0  # a pipe: the bar counts messages


Deliver = Callable[[TaskResult], None]
Task = tuple[Callable[..., TaskResult], tuple[object, ...]]


def cut_into_tasks(sources: Iterable[Source | FolderFiles], settings: Settings, here: bool = False) -> Iterator[Task]:
    """The run cut into tasks, in input order: small files together (one task
    per file would cost more in messaging than converting them does), other
    sources read here and sent in batches of messages. `here`: the tasks run
    in this process, so a large file is read and converted natively as it
    is cut (_FilePieces). FolderFiles are a task each where folders_by_name,
    and otherwise go as their sources."""
    files: list[Source] = []
    size = 0
    if not folders_by_name(settings):
        sources = flattened(sources)
    for source in sources:
        if isinstance(source, FolderFiles):
            if files:
                yield convert_whole_files, (files, settings)
                files, size = [], 0
            yield convert_folder_files, (source, settings)
            continue
        if _source_goes_whole(source):
            files.append(source)
            size += source.size or 0  # None: a file from a folder, size unknown
            if size >= BATCH_TEXT or len(files) >= BATCH_FILES:
                yield convert_whole_files, (files, settings)
                files, size = [], 0
            continue
        if files:
            yield convert_whole_files, (files, settings)
            files, size = [], 0
        if _in_pieces(source) and (native_lines(settings) or parquet_natively(settings)):
            yield from (_FilePieces if here and native_lines(settings) else _Pieces)(source, settings).tasks()
            continue
        for messages, tally, done in _Batcher(source, settings).tasks():
            yield convert_batch, (messages, settings, tally, done)
    if files:
        yield convert_whole_files, (files, settings)
