"""Converting (or validating) sources to an output, in input order, in one
process or in worker processes.

Workers do all the heavy work: with many files each worker is given whole
files (their names: it finds their sizes), which it reads, splits, converts
and encodes, then writes to the output itself when its task's turn comes, in
input order; the parent walks the folders and copies nothing. A large file
(or standard input) is split by the parent and sent to workers in batches of
messages.
At most a few tasks per worker are in flight, so memory stays bounded
whatever the input.
"""

from __future__ import annotations

import itertools
import multiprocessing
import os
import shutil
import signal
import sys
import tempfile
import zlib
from collections import deque
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import Future, ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass, field
from typing import Literal, Protocol

import tessarin

from .jsonl import encode_line, join_lines
from .model import Converted, Message, Notice
from .sources import InputError, Source
from .summary import Tally, reason_of

__all__ = [
    "Settings",
    "Output",
    "TaskResult",
    "convert_message",
    "validate_message",
    "run",
    "WorkerCrashed",
]

Action = Literal["convert", "validate"]
Encoding = Literal["jsonl", "jsonl.gz", "parquet", "report"]

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
# Bytes per write call: writes of megabytes to a file (ext4 here) cost ten
# times the system time of the same bytes in pieces of this size.
WRITE_PIECE = 256 << 10
# Files up to this size go to a worker whole; larger ones are split by the parent.
WHOLE_FILE_MAX = 4 << 20
# A gzip file may expand a hundredfold; only small ones go whole.
WHOLE_GZIP_MAX = 64 << 10
# A file of unknown size is read this far first: most are smaller.
FIRST_READ = 64 << 10
# What a file found in a folder counts for, before a worker has read it.
SIZE_GUESS = 8 << 10
# Tasks in flight per worker: enough to keep workers busy while the parent writes.
WINDOW_PER_JOB = 3

READ_ERRORS = (OSError, EOFError, zlib.error)
# How long a stopped run waits for a worker to finish its task in hand.
STOP_GRACE_SECONDS = 30


class WorkerCrashed(Exception):
    """A worker process died (killed, or crashed in native code)."""


@dataclass(frozen=True, slots=True)
class Settings:
    """What to do with every message; sent to the workers, so plain values only."""

    action: Action = "convert"
    encoding_out: Encoding = "jsonl"
    validate: bool = False
    strict: bool = False
    escaping: bool = True
    require_pid: bool = False  # validate action: rule 6, a PID segment
    encoding: str | None = None
    encoding_errors: str = "strict"


class Output(Protocol):
    def write(self, batch: object, /) -> None: ...
    def close(self) -> None: ...


@dataclass(frozen=True, slots=True)
class SpooledPart:
    """Encoded bytes a worker left in a file, for the parent to append to the
    output with sendfile: the bytes never pass through the parent's memory."""

    path: str
    size: int


@dataclass(slots=True)
class TaskResult:
    """The encoded rows of one task and what was counted on the way."""

    payloads: list[object]
    tally: Tally
    read_error: str | None = None
    sources_done: int = 0
    # Sources of a whole-file task left for the parent, in order: from a file
    # too large to go whole (its size now known), or after a full task.
    handed_back: list[Source] = field(default_factory=list)
    # A worker's failed write to the output, for the parent to report.
    write_error: OSError | None = None


def convert_message(message: Message, settings: Settings) -> Converted:
    return Converted(message, *_records_or_error(message, settings))


def _records_or_error(message: Message, settings: Settings) -> tuple[list[dict[str, str]] | None, str | None]:
    if message.error is not None:
        return None, message.error
    try:
        converter = tessarin.Hl7Json(
            message.text,
            validation_enabled=settings.validate,
            strict_validation=settings.strict,
            escaping_enabled=settings.escaping,
        )
        return converter.hl7_json, None
    except Exception as error:  # the converter raises plain Exception; its text is the reason
        return None, str(error)


def validate_message(message: Message, settings: Settings) -> Converted:
    """A row with no records; `error` is the first rule that failed, or None."""
    if message.error is not None:
        return Converted(message, None, message.error)
    try:
        tessarin.Hl7Json(message.text).validate(settings.strict, settings.require_pid)
    except Exception as error:
        return Converted(message, None, str(error))
    return Converted(message, None, None)


def encode_report(rows: Sequence[Converted]) -> bytes:
    """One line per failing message: source, index, byte offset, the rule's text."""
    lines = [
        f"{row.message.source}: message {row.message.index} at byte {row.message.offset}: {row.error}\n"
        for row in rows
        if row.error is not None
    ]
    return "".join(lines).encode("utf-8", "backslashreplace")


def _encoder(settings: Settings) -> Callable[[Sequence[Converted]], object]:
    if settings.encoding_out == "jsonl":
        from .jsonl import encode_rows

        return encode_rows
    if settings.encoding_out == "jsonl.gz":
        from .jsonl import encode_rows_gzip

        return encode_rows_gzip
    if settings.encoding_out == "parquet":
        from .parquet import encode_rows as encode_parquet

        return encode_parquet
    return encode_report


def process_messages(messages: Iterable[Message], settings: Settings, tally: Tally) -> object:
    """Convert (or validate) the messages, count them into `tally`, and encode the rows."""
    step = validate_message if settings.action == "validate" else convert_message
    failures = tally.failures
    count = segments = 0
    if settings.action == "convert" and settings.encoding_out in ("jsonl", "jsonl.gz"):
        # Each message is encoded as soon as it is converted: only its line is kept.
        lines = []
        for message in messages:
            records, error = _records_or_error(message, settings)
            if error is not None:
                failures[reason_of(error, message.source)] += 1
            elif records is not None:
                segments += len(records)
            lines.append(encode_line(message, records, error))
        count = len(lines)
        payload: object = join_lines(lines, compress=settings.encoding_out == "jsonl.gz")
    else:
        rows = [step(message, settings) for message in messages]
        for row in rows:
            if row.error is not None:
                failures[reason_of(row.error, row.message.source)] += 1
            elif row.records is not None:
                segments += len(row.records)
        count = len(rows)
        payload = _encoder(settings)(rows)
    tally.messages += count
    tally.segments += segments
    return payload


def _read(source: Source, settings: Settings, on_notice: Callable[[Notice], None]) -> Iterator[Message]:
    from .reader import read_messages

    data = sys.stdin.buffer if source.path is None else source.path
    return read_messages(
        data,
        name=source.name,
        encoding=settings.encoding,
        encoding_errors=settings.encoding_errors,
        on_notice=on_notice,
    )


def _read_error(source: Source, error: BaseException) -> str:
    reason = error.strerror if isinstance(error, OSError) and error.strerror else str(error) or type(error).__name__
    return f"cannot read {source.name}: {reason}"


def _goes_whole_by_size(size: int, head: bytes) -> bool:
    if size > WHOLE_FILE_MAX:
        return False
    return size <= WHOLE_GZIP_MAX or not head.startswith(b"\x1f\x8b")


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
        if not _goes_whole_by_size(size, data):
            return Source(source.name, source.path, size)
        return _read_to_end(fd, data, size)
    finally:
        os.close(fd)


def streams(settings: Settings) -> bool:
    """Whether a whole-file task can write each file's encoded rows as it goes:
    plain bytes, where the rows of a task need not be encoded together."""
    return settings.encoding_out == "jsonl" or settings.encoding_out == "report"


def convert_whole_files(
    sources: list[Source], settings: Settings, sink: Callable[[bytes], None] | None = None
) -> TaskResult:
    """Task: a few small files, each read whole, converted and encoded. With
    `sink` (only where `streams(settings)`), the rows go to it every
    FLUSH_BYTES of text, so memory holds little more than one file whatever
    the task holds; without, all messages are encoded together into the
    result. One result for all the files, as the work per task in the parent
    limits the speed-up."""
    from .reader import read_messages

    result = TaskResult([], Tally())
    messages: list[Message] = []
    text = pending = 0
    limit = WHOLE_TASK_TEXT if sink is None else STREAMED_TASK_TEXT
    for number, source in enumerate(sources):
        if text >= limit:
            result.handed_back = sources[number:]
            break
        if sink is not None and pending >= FLUSH_BYTES:
            sink(process_messages(messages, settings, result.tally))  # type: ignore[arg-type]
            messages, pending = [], 0
        try:
            data = _file_bytes(source)
            if isinstance(data, Source):
                result.handed_back = [data, *sources[number + 1 :]]
                break
            # Bytes in memory: a file of one plain message is cut at once.
            found = list(
                read_messages(
                    data,
                    name=source.name,
                    encoding=settings.encoding,
                    encoding_errors=settings.encoding_errors,
                    on_notice=result.tally.note,
                )
            )
        except READ_ERRORS as error:
            # The run stops at this source; none of its messages are written.
            result.read_error = _read_error(source, error)
            break
        messages += found
        text += len(data)
        pending += len(data)
        result.sources_done += 1
    result.tally.sources = result.sources_done
    payload = process_messages(messages, settings, result.tally)
    if sink is None:
        result.payloads.append(payload)
    elif payload:
        sink(payload)  # type: ignore[arg-type]
    return result


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
        return TaskResult([payload], tally, None, int(source_done))
    assert isinstance(payload, bytes)
    sink(payload)
    return TaskResult([], tally, None, int(source_done))


def _is_gzip(path: str) -> bool:
    try:
        with open(path, "rb") as file:
            return file.read(2) == b"\x1f\x8b"
    except OSError:
        return False  # the reader reports it


def _goes_whole(source: Source) -> bool:
    if source.path is None:
        return False
    if source.size is None:
        return True  # the worker looks, and hands it back if too large
    if source.size > WHOLE_FILE_MAX:
        return False
    return source.size <= WHOLE_GZIP_MAX or not _is_gzip(source.path)


@dataclass(slots=True)
class _Batcher:
    """Splits one source, read in this process, into tasks of bounded size."""

    source: Source
    settings: Settings
    pending: Tally = field(default_factory=Tally)

    def tasks(self) -> Iterator[tuple[list[Message], Tally, bool]]:
        """(messages, tally holding the notices met before them, source done)."""
        self.pending = Tally(sources=1)
        batch: list[Message] = []
        text = 0
        try:
            for message in _read(self.source, self.settings, self._note):
                batch.append(message)
                text += len(message.text)
                if len(batch) >= BATCH_MESSAGES or text >= BATCH_TEXT:
                    yield batch, self._take(), False
                    batch, text = [], 0
        except READ_ERRORS as error:
            raise InputError(_read_error(self.source, error)) from None
        yield batch, self._take(), True

    def _note(self, notice: Notice) -> None:
        self.pending.note(notice)

    def _take(self) -> Tally:
        tally, self.pending = self.pending, Tally()
        return tally


_STOP_SIGNALS = {signal.SIGINT, signal.SIGTERM}


def _start_worker() -> None:
    # Ctrl-C reaches the whole process group; the parent alone decides to stop.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, _STOP_SIGNALS)


def _stop_workers(executor: ProcessPoolExecutor) -> None:
    # Workers finish the task in hand (a bounded batch) and leave. One killed
    # while sending its result would leave the pool's manager thread waiting
    # for the rest of it, and the interpreter's exit waiting for that thread.
    processes = list((executor._processes or {}).values())
    executor.shutdown(wait=False, cancel_futures=True)
    for process in processes:
        process.join(timeout=STOP_GRACE_SECONDS)
    for process in processes:
        if process.is_alive():
            process.kill()


def _pool(jobs: int) -> ProcessPoolExecutor:
    """Workers forked from this process at once: a fork costs milliseconds,
    where a fresh interpreter importing the converter costs a tenth of a
    second. No thread runs yet (the progress bar keeps no monitor thread),
    and nothing is buffered for output, which a worker would write again."""
    sys.stdout.flush()
    sys.stderr.flush()
    context = multiprocessing.get_context("fork")
    # A stop signal before a worker has set its handlers would raise in it.
    blocked = signal.pthread_sigmask(signal.SIG_BLOCK, _STOP_SIGNALS)
    try:
        executor = ProcessPoolExecutor(jobs, mp_context=context, initializer=_start_worker)
        executor.submit(int)  # with fork, the first task starts every worker
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
    return executor


def _spool_dir() -> str:
    # Memory-backed where there is one: parts live only until appended.
    shared = "/dev/shm"
    where = shared if os.path.isdir(shared) and os.access(shared, os.W_OK | os.X_OK) else None
    return tempfile.mkdtemp(prefix="tessarin-parts-", dir=where)


def _write_all(fd: int, data: bytes | memoryview) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view[:WRITE_PIECE]) :]


def _run_spooled(
    function: Callable[..., TaskResult], arguments: tuple[object, ...], spool: str, streamed: bool
) -> TaskResult:
    """In a worker: run the task, and leave its encoded bytes in a file of
    `spool`, written as the task goes where the rows are plain bytes."""
    fd, path = tempfile.mkstemp(dir=spool)
    written = 0

    def sink(data: bytes) -> None:
        nonlocal written
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view) :]
        written += len(data)

    try:
        if streamed:
            result = function(*arguments, sink=sink)
        else:
            result = function(*arguments)
            if all(isinstance(payload, bytes) for payload in result.payloads):
                sink(b"".join(result.payloads))  # type: ignore[arg-type]
            else:
                os.unlink(path)
                return result  # Parquet batches travel pickled
    finally:
        os.close(fd)
    result.payloads = [SpooledPart(path, written)]
    return result


# A worker writes its task's bytes to the output itself when the turn is its
# task's ticket: tickets follow input order, so the parent copies nothing.
# The turn is set by the worker that wrote last (to the next ticket) or by
# the parent, when everything before a ticket is written. PAUSED (after a
# task handed sources back, whose output comes before the tasks in flight)
# makes the workers leave their bytes in part files for the parent instead.
PAUSED = 1 << 62


@dataclass(frozen=True, slots=True)
class _Turns:
    fd: int
    turn: "multiprocessing.sharedctypes.Synchronized[int]"
    changed: "multiprocessing.synchronize.Condition"

    def begin(self, ticket: int) -> None:
        """In the parent, when all before `ticket` is written: it may write."""
        with self.changed:
            if self.turn.value < ticket or self.turn.value == PAUSED:
                self.turn.value = ticket
                self.changed.notify_all()

    def pause(self) -> None:
        with self.changed:
            self.turn.value = PAUSED
            self.changed.notify_all()


# Set in the parent before the workers are forked; they inherit it.
_turns: _Turns | None = None


class _TaskBuffer:
    """A task's bytes, held until its turn in memory kept from task to task:
    freeing megabytes after each task and faulting them in again for the next
    costs more system time than the whole copy."""

    def __init__(self) -> None:
        self._data = bytearray(BUFFER_STEP)
        self.size = 0

    def append(self, chunk: bytes) -> None:
        end = self.size + len(chunk)
        if end > len(self._data):
            self._data.extend(bytes(-(-end // BUFFER_STEP) * BUFFER_STEP - len(self._data)))
        self._data[self.size : end] = chunk
        self.size = end

    def view(self) -> memoryview:
        return memoryview(self._data)[: self.size]


BUFFER_STEP = 1 << 20
_buffer: _TaskBuffer | None = None


def _run_direct(
    function: Callable[..., TaskResult], arguments: tuple[object, ...], ticket: int, spool: str, streamed: bool
) -> TaskResult:
    """In a worker: run the task, and write its bytes to the output once its
    turn comes, as they are encoded from then on; until then they wait in
    memory, or go to a part file when the turn has passed the task (the
    parent appends that). Waiting for the turn blocks only at the end, so the
    task is converted while the tasks before it are written."""
    global _buffer
    turns = _turns
    assert turns is not None
    buffer = _buffer = _buffer or _TaskBuffer()
    buffer.size = 0
    failed: list[OSError] = []
    holds_turn = False

    def write(data: bytes | memoryview) -> None:
        # Nothing more once the run is stopping (it paused the turns) or a write failed.
        if not failed and turns.turn.value == ticket:
            try:
                _write_all(turns.fd, data)
            except OSError as error:
                failed.append(error)

    def sink(chunk: bytes) -> None:
        nonlocal holds_turn
        if not holds_turn and turns.turn.value == ticket:
            holds_turn = True  # only this task's end passes the turn on
            write(buffer.view())
            buffer.size = 0
        if holds_turn:
            write(chunk)
        else:
            buffer.append(chunk)

    if streamed:
        result = function(*arguments, sink=sink)
    else:
        result = function(*arguments)
        for payload in result.payloads:
            buffer.append(payload)  # type: ignore[arg-type]
    if not holds_turn:
        with turns.changed:
            turns.changed.wait_for(lambda: turns.turn.value >= ticket)
            holds_turn = turns.turn.value == ticket
        if not holds_turn:
            result.payloads = [_spool_part(spool, buffer.view())]
            return result
    write(buffer.view())
    with turns.changed:
        if turns.turn.value == ticket:  # not paused by a stopping run meanwhile
            turns.turn.value = PAUSED if result.handed_back else ticket + 1
        turns.changed.notify_all()
    result.payloads = []
    result.write_error = failed[0] if failed else None
    return result


def _spool_part(spool: str, data: memoryview) -> SpooledPart:
    fd, path = tempfile.mkstemp(dir=spool)
    try:
        _write_all(fd, data)
    finally:
        os.close(fd)
    return SpooledPart(path, len(data))


def _append_part(output: Output, part: SpooledPart) -> None:
    try:
        fd = os.open(part.path, os.O_RDONLY | os.O_CLOEXEC)
        try:
            write_from = getattr(output, "write_from", None)
            if write_from is not None:
                write_from(fd, part.size)
            else:
                output.write(os.pread(fd, part.size, 0))
        finally:
            os.close(fd)
    finally:
        os.unlink(part.path)


Deliver = Callable[[TaskResult], None]
Task = tuple[Callable[..., TaskResult], tuple[object, ...]]


def _tasks(sources: Iterable[Source], settings: Settings) -> Iterator[Task]:
    """The run cut into tasks, in input order: small files together (one task
    per file would cost more in messaging than converting them does), other
    sources read here and sent in batches of messages."""
    files: list[Source] = []
    size = 0
    for source in sources:
        if _goes_whole(source):
            files.append(source)
            size += source.size or 0
            if size >= BATCH_TEXT or len(files) >= BATCH_FILES:
                yield convert_whole_files, (files, settings)
                files, size = [], 0
            continue
        if files:
            yield convert_whole_files, (files, settings)
            files, size = [], 0
        for messages, tally, done in _Batcher(source, settings).tasks():
            yield convert_batch, (messages, settings, tally, done)
    if files:
        yield convert_whole_files, (files, settings)


def _run_here(
    sources: Iterable[Source], settings: Settings, deliver: Deliver, sink: Callable[[bytes], None] | None
) -> None:
    for function, arguments in _tasks(sources, settings):
        result = function(*arguments, sink=sink)
        deliver(result)
        if result.handed_back:
            _run_here(result.handed_back, settings, deliver, sink)


def _run_pool(
    sources: Iterable[Source], settings: Settings, deliver: Deliver, jobs: int, direct_fd: int | None
) -> None:
    global _turns
    spool = _spool_dir()
    streamed = streams(settings)
    context = multiprocessing.get_context("fork")
    turns = None
    if direct_fd is not None and settings.encoding_out != "parquet":
        turns = _Turns(direct_fd, context.Value("q", 0, lock=False), context.Condition())
    tickets = itertools.count()
    try:
        _turns = turns
        executor = _pool(jobs)
        limit = jobs * WINDOW_PER_JOB

        def submit(function: Callable[..., TaskResult], arguments: tuple[object, ...]) -> tuple[Future[TaskResult], int]:
            if turns is None:
                return executor.submit(_run_spooled, function, arguments, spool, streamed), -1
            ticket = next(tickets)
            return executor.submit(_run_direct, function, arguments, ticket, spool, streamed), ticket

        def run_tasks(tasks: Iterator[Task]) -> None:
            window: deque[tuple[Future[TaskResult], int]] = deque()
            for function, arguments in tasks:
                window.append(submit(function, arguments))
                while len(window) >= limit:
                    finish(*window.popleft())
            while window:
                finish(*window.popleft())
            if turns is not None:
                # The next ticket may come after tasks in flight in an outer window.
                turns.pause()

        def finish(future: Future[TaskResult], ticket: int) -> None:
            if turns is not None:
                turns.begin(ticket)
            result = _result(future)
            deliver(result)
            if result.handed_back:
                # Their output comes next: ahead of the tasks already in flight.
                run_tasks(_tasks(result.handed_back, settings))

        try:
            run_tasks(_tasks(sources, settings))
        except BaseException:
            if turns is not None:
                turns.pause()  # waiting workers leave their bytes in part files, not the output
            _stop_workers(executor)
            raise
        executor.shutdown(wait=True)
    finally:
        _turns = None
        shutil.rmtree(spool, ignore_errors=True)


def _write_failed(output: Output, error: OSError) -> None:
    """A worker's write error, raised as the output's own write would raise it."""
    failed = getattr(output, "write_failed", None)
    if failed is not None:
        failed(error)
    raise error


def _result(future: Future[TaskResult]) -> TaskResult:
    try:
        return future.result()
    except BrokenProcessPool:
        raise WorkerCrashed("a worker process died while converting") from None


def run(
    sources: Iterable[Source],
    settings: Settings,
    output: Output,
    *,
    jobs: int = 1,
    on_progress: Callable[[Tally, int], None] | None = None,
    on_notice: Callable[[Notice], None] | None = None,
) -> Tally:
    """Convert every source into `output`, in input order; the counts of the run.

    `on_progress(part, sources_done)` follows each written part; `on_notice`
    is called for each notice worth showing, in input order. A source that
    cannot be read raises InputError."""
    total = Tally()

    def deliver(result: TaskResult) -> None:
        if result.write_error is not None:
            _write_failed(output, result.write_error)
        for payload in result.payloads:
            if isinstance(payload, SpooledPart):
                _append_part(output, payload)
            else:
                output.write(payload)
        if result.read_error is not None:
            raise InputError(result.read_error)
        if on_notice is not None:
            for notice in result.tally.notices:
                on_notice(notice)
        total.add(result.tally)
        if on_progress is not None:
            on_progress(result.tally, result.sources_done)

    # Whole-file tasks run here write each file's rows at once.
    sink = output.write if streams(settings) else None
    if jobs <= 1:
        _run_here(sources, settings, deliver, sink)
        return total
    # A few small files convert faster than worker processes start.
    pending = iter(sources)
    first: list[Source] = []
    size = 0
    for source in pending:
        first.append(source)
        size += source.size if source.size is not None else SIZE_GUESS
        if size >= BATCH_TEXT or source.path is None:
            direct = getattr(output, "direct_fd", None)
            direct_fd = direct() if direct is not None else None
            _run_pool(itertools.chain(first, pending), settings, deliver, jobs, direct_fd)
            return total
    _run_here(first, settings, deliver, sink)
    return total


def default_jobs() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on every platform
        return os.cpu_count() or 1
