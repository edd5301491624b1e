"""Worker processes: tasks converted in parallel, their output written in
input order.

Workers are forked at once. Each converts its task, then writes the bytes to
the output itself when its task's turn comes, so the parent walks the
folders and copies nothing; where that cannot be (no descriptor to share, or
the turns paused) a worker leaves its bytes in a part file that the parent
appends. At most a few tasks per worker are in flight, so memory stays
bounded whatever the input.
"""

from __future__ import annotations

import itertools
import multiprocessing
import os
import shutil
import signal
import sys
import tempfile
import time
from collections import deque
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import Future, ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass

from . import stopping
from .outputs import Output
from .sources import Source
from .tasks import Deliver, Settings, Task, TaskResult, cut_into_tasks, streams

# Bytes per write call: writes of megabytes to a file (ext4 here) cost ten
# times the system time of the same bytes in pieces of this size.
WRITE_PIECE = 256 << 10
# Tasks in flight per worker: enough to keep workers busy while the parent writes.
WINDOW_PER_JOB = 3
# How long a stopped run waits for a worker to finish its task in hand.
STOP_GRACE_SECONDS = 30


class WorkerCrashed(Exception):
    """A worker process died (killed, or crashed in native code)."""


@dataclass(frozen=True, slots=True)
class SpooledPart:
    """Encoded bytes a worker left in a file, for the parent to append to the
    output with sendfile: the bytes never pass through the parent's memory."""

    path: str
    size: int


_STOP_SIGNALS = {signal.SIGINT, signal.SIGTERM}


def _start_worker(parent: int) -> None:
    # Ctrl-C reaches the whole process group; the parent alone decides to stop.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, _STOP_SIGNALS)
    # A worker whose parent died however suddenly goes too: it would wait
    # forever on the task queue, whose write end it holds itself.
    _die_with_parent()
    if os.getppid() != parent:
        os._exit(1)


def _die_with_parent() -> None:
    if not sys.platform.startswith("linux"):
        return
    try:
        import ctypes

        libc = ctypes.CDLL(None, use_errno=True)
        PR_SET_PDEATHSIG = 1
        libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
    except (OSError, AttributeError):
        pass  # no prctl: the parent's stop still ends the workers


def _stop_workers(executor: ProcessPoolExecutor) -> None:
    # Workers finish the task in hand (a bounded batch) and leave. One killed
    # while sending its result would leave the pool's manager thread waiting
    # for the rest of it, and the interpreter's exit waiting for that thread.
    processes = list((executor._processes or {}).values())
    executor.shutdown(wait=False, cancel_futures=True)
    deadline = time.monotonic() + STOP_GRACE_SECONDS
    for process in processes:
        process.join(timeout=max(deadline - time.monotonic(), 0))
    # The entry point ends a stopped process itself: the pool's manager thread
    # may wait forever for the rest of a killed worker's result.
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
    # A stop signal before a worker has set its handlers would raise in it;
    # one in the parent waits until the pool is whole, so it can be stopped.
    with stopping.deferred():
        blocked = signal.pthread_sigmask(signal.SIG_BLOCK, _STOP_SIGNALS)
        try:
            executor = ProcessPoolExecutor(jobs, mp_context=context, initializer=_start_worker, initargs=(os.getpid(),))
            stopping.checkpoint("pool start")
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
        _write_all(fd, data)
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
    turn: multiprocessing.sharedctypes.Synchronized[int]
    changed: multiprocessing.synchronize.Condition

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


def append_part(output: Output, part: SpooledPart) -> None:
    try:
        fd = os.open(part.path, os.O_RDONLY | os.O_CLOEXEC)
        try:
            output.write_from(fd, part.size)
        finally:
            os.close(fd)
    finally:
        os.unlink(part.path)


def run_in_workers(
    sources: Iterable[Source], settings: Settings, deliver: Deliver, jobs: int, direct_fd: int | None
) -> None:
    global _turns
    spool = _spool_dir()
    streamed = streams(settings)
    context = multiprocessing.get_context("fork")
    turns = None
    if direct_fd is not None and settings.output_format != "parquet":
        turns = _Turns(direct_fd, context.Value("q", 0, lock=False), context.Condition())
    tickets = itertools.count()
    executor: ProcessPoolExecutor | None = None
    try:
        _turns = turns
        limit = jobs * WINDOW_PER_JOB

        def submit(
            function: Callable[..., TaskResult], arguments: tuple[object, ...]
        ) -> tuple[Future[TaskResult], int]:
            assert executor is not None
            with stopping.deferred():  # a task is queued whole or not at all
                stopping.checkpoint("submit")
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
                run_tasks(cut_into_tasks(result.handed_back, settings))

        try:
            executor = _pool(jobs)
            run_tasks(cut_into_tasks(sources, settings))
        except BaseException:
            if turns is not None:
                turns.pause()  # waiting workers leave their bytes in part files, not the output
            if executor is not None:
                with stopping.deferred():
                    stopping.checkpoint("stopping workers")
                    _stop_workers(executor)
            raise
        executor.shutdown(wait=True)
    finally:
        _turns = None
        shutil.rmtree(spool, ignore_errors=True)


def _result(future: Future[TaskResult]) -> TaskResult:
    try:
        return future.result()
    except BrokenProcessPool:
        raise WorkerCrashed("a worker process died while converting") from None
